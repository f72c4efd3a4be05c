// Key objects behind HCRYPTKEY: own GOST R 34.10-2001 private keys (a container's exchange
// key or an ephemeral one), public keys, agreement keys (own private + peer public + UKM,
// evaluated when a key is exported or imported under them) and GOST 28147-89 session keys.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/provider/gost_cipher.h"
#include "platform/provider/gost_key.h"
#include "platform/provider/provider.h"
#include "vexor/platform.h"

namespace vexorcsp {

enum class KeyKind { kPrivate, kPublic, kAgreement, kSession };

struct Key {
  KeyKind kind = KeyKind::kSession;
  ALG_ID alg = 0;  // for agreement keys: the export algorithm
  ProviderRef provider;
  std::mutex mu;  // guards what follows
  EvpPkeyPtr pkey;  // own private key (private and agreement keys) or the public key
  EvpPkeyPtr peer;  // agreement keys: the other party's public key
  bool public_exported = false;  // an ephemeral key whose public part left the provider
  gost89::Iv iv{};               // session keys: the IV; agreement keys: the UKM
  SecretBytes secret;            // session keys: 32 bytes
  std::string cipher_oid;        // session keys: the GOST 28147-89 parameter set
  DWORD mode = CRYPT_MODE_CFB;
  bool exportable = false;
  std::unique_ptr<gost89::GammaStream> stream;  // CFB / CNT state until the final call
};
using KeyRef = std::shared_ptr<Key>;

KeyRef LookupKey(HCRYPTKEY h);

}  // namespace vexorcsp
