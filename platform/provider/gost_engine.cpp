// Loads the GOST engine by its file in OpenSSL's engines directory, so the platform works
// whatever the user's OpenSSL configuration says.
#include "platform/provider/gost_engine.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/sha.h>

namespace vexorcsp {
namespace {

ENGINE* LoadByPath(const std::string& so_path) {
  ENGINE* e = ENGINE_by_id("dynamic");
  if (e == nullptr) return nullptr;
  if (!ENGINE_ctrl_cmd_string(e, "SO_PATH", so_path.c_str(), 0) ||
      !ENGINE_ctrl_cmd_string(e, "ID", "gost", 0) ||
      !ENGINE_ctrl_cmd_string(e, "LOAD", nullptr, 0)) {
    ENGINE_free(e);
    return nullptr;
  }
  return e;
}

// OpenSSL's engines directory as it was built, e.g. ENGINESDIR: "/usr/lib/.../engines-3".
std::string EnginesDir() {
  const char* dir = std::getenv("OPENSSL_ENGINES");
  if (dir != nullptr && *dir != '\0') return dir;
  std::string text = OpenSSL_version(OPENSSL_ENGINES_DIR);
  const size_t open = text.find('"');
  const size_t close = text.rfind('"');
  if (open == std::string::npos || close <= open) return {};
  return text.substr(open + 1, close - open - 1);
}

ENGINE* LoadEngine() {
  OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_ENGINE_DYNAMIC, nullptr);
  ENGINE* e = ENGINE_by_id("gost");
  if (e == nullptr) {
    ERR_clear_error();
    e = LoadByPath(EnginesDir() + "/gost.so");
  }
  if (e == nullptr) return nullptr;
  if (!ENGINE_init(e)) {
    ENGINE_free(e);
    return nullptr;
  }
  ENGINE_free(e);  // the functional reference from ENGINE_init keeps it alive
  // Register the engine's methods so GOST keys, digests and ciphers are found by NID.
  ENGINE_register_pkey_asn1_meths(e);
  ENGINE_register_pkey_meths(e);
  ENGINE_register_digests(e);
  ENGINE_register_ciphers(e);
  ENGINE_set_default(e, ENGINE_METHOD_PKEY_METHS | ENGINE_METHOD_PKEY_ASN1_METHS |
                            ENGINE_METHOD_DIGESTS | ENGINE_METHOD_CIPHERS);
  return e;
}

}  // namespace

ENGINE* GostEngine() {
  static ENGINE* engine = LoadEngine();
  return engine;
}

// OpenSSL's SHA-1 routines rather than a fetched EVP_MD: the first fetch of a process sets up
// the default provider's whole algorithm table (about 4 million instructions, more than the
// rest of a one-shot signature's own work).
bool Sha1(const void* data, size_t size, unsigned char out[20]) {
  SHA_CTX ctx;
  return SHA1_Init(&ctx) == 1 && SHA1_Update(&ctx, data, size) == 1 && SHA1_Final(out, &ctx) == 1;
}

}  // namespace vexorcsp
