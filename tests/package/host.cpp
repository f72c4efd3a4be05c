// A host built against the unpacked packages: it links libvexor.so.1 and libvexorcsp.so.1,
// makes an operation object, initialises it, and has a signing by an unknown signer fail the
// way the README tells library users it does: as a CryptoOperations exception carrying the
// result code, caught here across the library boundary.
#include <cstdio>
#include <sstream>

#include "vexor/vexor.h"

int main(int argc, char** argv) {
  IVexor* obj = nullptr;
  if (CreateObjectInstance(&obj) != 0 || obj == nullptr) return 1;
  const int32_t rc = obj->Init(argc > 1 ? argv[1] : ".", nullptr, CERT_SYSTEM_STORE_CURRENT_USER);
  CertPartyParam nobody;
  nobody.email = "nobody@example.org";
  std::istringstream in("a document");
  std::ostringstream out;
  int32_t signed_rc = 0;
  bool raised = false;
  try {
    signed_rc = obj->sign_stream_d(nobody, in, out, VEXOR_FORMAT_PKCS7);
    std::printf("signing by an unknown signer returned %d instead of raising\n", signed_rc);
  } catch (const CryptoOperations::baseCryptoException& e) {
    signed_rc = e.code();
    raised = true;
  }
  const bool text = !obj->GetErrorText(signed_rc).empty();
  DestroyObjectInstance(&obj);
  std::printf("interface %d, Init %d, unknown signer %d\n", GetIVersion(), rc, signed_rc);
  return rc == 0 && raised && signed_rc != 0 && text ? 0 : 1;
}
