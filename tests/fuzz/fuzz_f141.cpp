// libFuzzer target: the "141" readers on hostile bytes - a detached signature (every field up
// to the signature check: the certificate below is in My, so a signature naming it gets
// past the store lookup to the key blob, the algorithm and the signature) and an encrypted
// message's head (up to the recipient's key, which no store here holds). The first byte
// picks the reader; the rest is the signature or the message.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "messages/f141/encryption.h"
#include "messages/f141/signature.h"
#include "support/bindata.h"
#include "tests/common/standalone_call.h"
#include "vexor/exceptions.h"

namespace {

// A self-signed GOST R 34.10-2001 certificate (CN=Seed 141, valid until 2126) whose key made
// the committed seeds; the key itself was thrown away.
const char kSeedCertificate[] =
    "308201c530820172a00302010202143ffadd90a7ee6350af02b1e6069a0e9da17f286e300a06062a8503020203050030"
    "2f310b3009060355040613025255310d300b060355040a0c0446757a7a3111300f06035504030c085365656420313431"
    "3020170d3236313230363135343135335a180f32313236313131323135343135335a302f310b30090603550406130252"
    "55310d300b060355040a0c0446757a7a3111300f06035504030c0853656564203134313063301c06062a850302021330"
    "1206072a85030202230106072a850302021e0103430004409694075defce1c7f254042d141178b6f13bbb8d9b2903ef3"
    "bc2df7e02db687c978a488bbd3a2446c2fb71ec7becbdcdc8434fec98e238f8a6d48403755407b41a360305e301d0603"
    "551d0e04160414d4377c3389615f367ae0786d9df3ed3b8242829e301f0603551d23041830168014d4377c3389615f36"
    "7ae0786d9df3ed3b8242829e300f0603551d130101ff040530030101ff300b0603551d0f0404030203a8300a06062a85"
    "030202030500034100e97382cf890f36887be6c35e8f44ae1bffe3f2c6521266c9f21356695fa15ec93719e59123fd31"
    "d6ad0b776182c650f211263fbe9ab2689bfa983a6d26363835";

// The platform's home (the replay driver makes one; else a folder of this process) with the
// certificate in My.
bool PrepareHome() {
  if (std::getenv("VEXOR_CSP_HOME") == nullptr) {
    char templ[] = "/tmp/vexor-fuzz-f141-XXXXXX";
    if (mkdtemp(templ) == nullptr) return false;
    setenv("VEXOR_CSP_HOME", templ, 1);
  }
  CBinData der;
  if (!der.FromHex(kSeedCertificate)) return false;
  HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "My");
  if (my == nullptr) return false;
  const BOOL added = CertAddEncodedCertificateToStore(my, X509_ASN_ENCODING, der.data(), der.size(),
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(my, 0);
  return added != FALSE;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = PrepareHome();
  if (!ready || size < 1 || size > 1 << 16) return 0;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  test_common::StandaloneCall call;
  call.options.RaiseErrors = 0;
  InstanceContext ctx = call.Make();
  try {
    if (data[0] % 2 == 0) {
      std::istringstream content("");
      SignerCheckList list;
      list.items.emplace_back();
      list.items[0].subjectCN = "Seed";
      Check141(ctx, in, content, list);
    } else {
      std::ostringstream out;
      Decrypt141(ctx, in, out);
    }
  } catch (const CryptoOperations::baseCryptoException&) {
    // a report that raises is an answer, not a crash
  }
  return 0;
}
