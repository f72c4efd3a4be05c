// libFuzzer target: the GOST provider's key-blob readers, PKCS#8 import and the key-container
// file reader on hostile bytes. The first byte picks the path; the rest is the blob.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/stat.h>

#include "vexor/platform.h"

namespace {

struct Fixture {
  HCRYPTPROV prov = 0;
  HCRYPTKEY ephemeral = 0, agreement = 0;
  Fixture() {
    // Containers go to a home of the fuzzer's own unless the runner gave one.
    static char home[] = "/tmp/vexor-fuzz-XXXXXX";
    if (std::getenv("VEXOR_CSP_HOME") == nullptr) setenv("VEXOR_CSP_HOME", mkdtemp(home), 1);
    CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT);
    HCRYPTKEY peer = 0;
    CryptGenKey(prov, CALG_DH_EL_EPHEM, 0, &ephemeral);
    CryptGenKey(prov, CALG_DH_EL_EPHEM, 0, &peer);
    BYTE blob[200];
    DWORD len = sizeof(blob);
    CryptExportKey(peer, 0, PUBLICKEYBLOB, 0, blob, &len);
    CryptImportKey(prov, blob, len, ephemeral, 0, &agreement);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture f;
  if (size < 2 || size > 4096) return 0;
  const BYTE* blob = data + 1;
  const DWORD len = DWORD(size - 1);
  HCRYPTKEY key = 0;
  switch (data[0] % 6) {
    case 0:
      CryptImportKey(f.prov, blob, len, 0, 0, &key);
      break;
    case 1:
      CryptImportKey(f.prov, blob, len, f.ephemeral, 0, &key);
      break;
    case 2:
      CryptImportKey(f.prov, blob, len, f.agreement, 0, &key);
      break;
    case 3:
      CryptImportPKCS8ToContainerA("fuzz", blob, len, nullptr, 0);
      break;
    case 5: {
      // A container file as it lies on disk, opened with a PIN so the encrypted form is read too.
      const std::string keys = std::string(std::getenv("VEXOR_CSP_HOME")) + "/keys";
      mkdir(keys.c_str(), 0700);
      const std::string file = keys + "/fuzzed.key";
      std::ofstream(file, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(blob), len);
      chmod(file.c_str(), 0600);
      HCRYPTPROV container = 0;
      if (CryptAcquireContextA(&container, "fuzzed", nullptr, PROV_GOST_2001_DH, CRYPT_SILENT)) {
        static const char pin[] = "1234";
        CryptSetProvParam(container, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(pin), 0);
        CryptGetUserKey(container, AT_KEYEXCHANGE, &key);
        CryptReleaseContext(container, 0);
      }
      break;
    }
    default: {
      // A SubjectPublicKeyInfo split into parameters and key at the second byte.
      const DWORD cut = blob[0] % len;
      CERT_PUBLIC_KEY_INFO info{};
      char oid[] = "1.2.643.2.2.19";
      info.Algorithm.pszObjId = oid;
      info.Algorithm.Parameters = {cut, const_cast<BYTE*>(blob)};
      info.PublicKey = {len - cut, const_cast<BYTE*>(blob + cut), 0};
      CryptImportPublicKeyInfo(f.prov, X509_ASN_ENCODING, &info, &key);
    }
  }
  if (key != 0) {
    BYTE out[256];
    DWORD out_len = sizeof(out);
    CryptExportKey(key, 0, PUBLICKEYBLOB, 0, out, &out_len);
    CryptDestroyKey(key);
  }
  return 0;
}
