#include "certs/find_param.h"

#include "stores/cert_ident.h"
#include "stores/data_blob.h"

void AUTO_CERTFINDPARAM::Clear() {
  storeMask = 0;
  issuer.clear();
  subjectCN.clear();
  email.clear();
  thumbprintText.clear();
  FreeBlob(thumbprint);
  startCert = nullptr;
  multiSelect = false;
  skipValidity = false;
  searchAllStores = false;
  results.clear();
}

void SetCertIdentifier(const std::string& identifier, _TAGCERTFINDPARAM& params) {
  FreeBlob(params.thumbprint);
  if (identifier.find('@') != std::string::npos) {
    params.email = identifier;
  } else if (HexToThumbprint(identifier, params.thumbprint)) {
    params.thumbprintText = identifier;
  } else {
    params.subjectCN = identifier;
  }
}
