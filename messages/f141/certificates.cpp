#include "messages/f141/certificates.h"

#include <cstdlib>
#include <cstring>

#include "call/failure.h"
#include "der/gost_key_kind.h"
#include "certs/find_param.h"
#include "certs/search.h"
#include "call/result_codes.h"
#include "certs/instance_context.h"
#include "messages/parties.h"

namespace f141 {

int32_t RequireGost2001Key(InstanceContext& ctx, PCCERT_CONTEXT cert) {
  const char* oid = cert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
  der::GostKeyKind kind;
  if (der::GostKeyKindOfOid(oid, kind) && kind == der::GostKeyKind::k2001) return RC_OK;
  ctx.log().Log("Сертификат не прошел проверку по KeyAlgID, текущий KeyAlgID равен \"%s\"!", oid != nullptr ? oid : "");
  return ReportFailure(ctx, RC_CERT_INVALID, "Сертификат забракован проверкой по алгоритму");
}

bool FindParty(InstanceContext& ctx, const CertPartyParam& party, auto_cert& cert) {
  AUTO_CERTFINDPARAM params;
  FindParams(ctx, party, kStores, params);
  return FindCertInStores(&params, cert.put(), ctx) == RC_OK && cert;
}

bool FindByThumbprint(InstanceContext& ctx, const std::vector<uint8_t>& thumbprint, auto_cert& cert) {
  if (thumbprint.size() != 20) return false;
  AUTO_CERTFINDPARAM params;
  params.storeMask = kStores;
  params.issuer = ctx.services.issuerText;
  params.thumbprint.pbData = static_cast<BYTE*>(std::malloc(thumbprint.size()));  // the record frees it
  if (params.thumbprint.pbData == nullptr) return false;
  std::memcpy(params.thumbprint.pbData, thumbprint.data(), thumbprint.size());
  params.thumbprint.cbData = static_cast<DWORD>(thumbprint.size());
  return FindCertInStores(&params, cert.put(), ctx) == RC_OK && cert;
}

}  // namespace f141
