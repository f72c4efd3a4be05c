// The key container PIN for commands that use a private key. The platform takes it from
// $VEXOR_CSP_PIN when a container asks for one; the tool fills that in from --pin-file, or
// asks on the terminal (without echo) when a key the command may use needs a PIN and none
// was given.
#pragma once

#include "tools/vexor/args.h"
#include "vexor/platform.h"

class Session;

// `signer`: the certificate whose key the command uses; null when any key of My may be the
// one (decryption). 0, or the exit status of a --pin-file that cannot be read.
int ProvidePin(const Args& args, PCCERT_CONTEXT signer);
