#include "messages/parties.h"

#include "call/failure.h"
#include "call/result_codes.h"
#include "certs/cert_time.h"
#include "certs/find_param.h"
#include "certs/search.h"
#include "certs/signer_cache.h"
#include "certs/validity.h"
#include "stores/cert_ident.h"
#include "certs/instance_context.h"
#include "stores/store_set.h"

std::string PartyIdentifier(const CertPartyParam& party) {
  if (!party.subjectCN.empty()) return party.subjectCN;
  if (!party.thumbprint.empty()) return party.thumbprint;
  return party.email;
}

void FindParams(InstanceContext& ctx, const CertPartyParam& party, unsigned long storeMask,
                _TAGCERTFINDPARAM& params) {
  params.storeMask = storeMask;
  params.issuer = ctx.services.issuerText;
  params.subjectCN = party.subjectCN;
  params.email = party.email;
  params.thumbprintText = party.thumbprint;
}

int32_t CheckCertExpiry(PCCERT_CONTEXT cert, InstanceContext& ctx) {
  if (ctx.options.SkipCheckCertValid) {
    ctx.log().Log("Проверка валидности сертификата отключена настройками, поэтому все сертификаты считаются валидными!");
    return RC_OK;
  }
  if (ctx.options.SkipCheckTimeRemains) {
    ctx.log().Log("Проверка срока действия сертификата отключена настройками");
    return RC_OK;
  }
  if (cert == nullptr || cert->pCertInfo == nullptr) return RC_CERT_NOT_IN_STORE;
  // With a host callback the host decides; the library computes nothing itself then.
  if (VexorCallBack* cb = ctx.callback()) return cb->OnCertExpiry(cert);
  long long days = 0;
  if (!WholeDaysFromNow(cert->pCertInfo->NotAfter, days) || days <= 0) return RC_CERT_INVALID;
  return RC_OK;
}

namespace {

// What decides the signer a search finds, besides the store's contents.
std::string SignerKey(const _TAGCERTFINDPARAM& params, const InstanceContext& ctx) {
  std::string key;
  for (const std::string* part : {&params.subjectCN, &params.email, &params.thumbprintText, &params.issuer}) {
    key += std::to_string(part->size());
    key += ':';
    key += *part;
  }
  key += ctx.options.SkipCheckCertValid ? '1' : '0';
  return key;
}

}  // namespace

int32_t FindSigner(InstanceContext& ctx, const CertPartyParam& party, auto_cert& cert) {
  const std::string who = PartyIdentifier(party);
  SignerCache* cache = ctx.shared.signers;
  if (cache != nullptr && !ctx.stores.Has(CST_MY)) {
    if (HCERTSTORE kept = cache->PersonalStore(ctx.services.storeLocation)) ctx.stores.Adopt(CST_MY, kept);
  }
  if (const int32_t rc = ctx.stores.Open(CST_MY); rc != RC_OK)
    return ReportFailure(ctx, rc, "Не удалось загрузить хранилище CST_MY");
  AUTO_CERTFINDPARAM params;
  FindParams(ctx, party, CST_MY, params);
  const std::string key = cache != nullptr ? SignerKey(params, ctx) : std::string();
  if (cache != nullptr) {
    // The signer found before, as long as the store still holds it and it is still valid.
    cert.reset(cache->Find(key, ctx.stores.Get(CST_MY)));
    if (cert && !params.skipValidity && !CertIsValid(ctx, cert.get())) cert.reset();
  }
  if (!cert) {
    if (FindCertInStores(&params, cert.put(), ctx) != RC_OK || !cert)
      return ReportFailure(ctx, RC_CERT_NOT_IN_STORE,
                           "Не удалось найти действительный сертификат отправителя: %s (%s)", who.c_str(), "");
    if (cache != nullptr) cache->Keep(key, cert.get());
  }
  if (CheckCertExpiry(cert.get(), ctx) != RC_OK)
    return ReportFailure(ctx, RC_CANCELLED_CERT_EXPIRY,
                         "Действие отменено абонентом, т.к. срок действия личного сертификата %s заканчивается",
                         who.c_str());
  ctx.log().Log("\r\n--------------- Подпись ---------------\r\nСертификат подписи: %s\r\n",
                GetCertShortDescription(cert.get(), &ctx.log()).c_str());
  return RC_OK;
}
