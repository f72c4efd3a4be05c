// The key container PIN for commands that use a private key. The platform takes it from
// $VEXOR_CSP_PIN when a container asks for one; the tool fills that in from --pin-file, or
// asks on the terminal (without echo) when a key the command may use needs a PIN and none
// was given.
#pragma once

#include <string>

#include "tools/vexor/args.h"
#include "vexor/platform.h"

class Session;

// Whether the PIN may have to be asked on the terminal: no --pin-file, no $VEXOR_CSP_PIN, and a
// terminal to ask on. Only then is a key looked at before the command runs.
bool MayAskForPin(const Args& args);

// `signer`: the certificate whose key the command uses; null when any key of My may be the
// one (decryption). 0, or the exit status of a --pin-file that cannot be read.
int ProvidePin(const Args& args, PCCERT_CONTEXT signer);

// The PIN that protects a key being installed: --pin, else the first line of --pin-file, else
// $VEXOR_CSP_PIN, else asked twice on the terminal. --no-pin stores the key unprotected (the
// PIN is then empty). 0, or the exit status of a refusal, printed: 49 with no PIN source and
// no terminal, for --no-pin together with --pin or --pin-file, for an empty PIN and for two
// answers that differ; 4 for a --pin-file that cannot be read.
int InstallPin(const Args& args, std::string& pin);
