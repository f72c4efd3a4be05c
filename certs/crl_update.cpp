#include "certs/crl_update.h"

#include <chrono>
#include <cstring>
#include <set>
#include <strings.h>
#include <vector>

#include "certs/chain.h"
#include "certs/cert_time.h"
#include "certs/crl_check_cache.h"
#include "certs/crl_trust.h"
#include "certs/http_get.h"
#include "certs/import.h"
#include "call/result_codes.h"
#include "stores/auto_handle.h"
#include "stores/cert_ident.h"
#include "certs/instance_context.h"
#include "stores/store_set.h"
#include "support/bindata.h"
#include "text/text.h"
#include "support/ini_sections.h"
#include "support/log.h"
#include "support/read_sized.h"

namespace {

constexpr char kDistributionPointsOid[] = "2.5.29.31";

// A wide text (UTF-16) in the library's code page, at most `limit` bytes.
std::string WideToCp1251(LPCWSTR wide, size_t limit) {
  std::string text_cp = wide != nullptr ? text::Utf16ToCp1251(wide) : std::string();
  if (text_cp.size() > limit) text_cp.resize(limit);
  return text_cp;
}

// The URL addresses of the certificate's full-name distribution points, each handed to
// `take`; `point` is told the number of names of each full-name point before its addresses.
template <class Take, class Point>
void ForEachAddress(PCCERT_CONTEXT cert, CallLog* log, size_t limit, Take take, Point point) {
  const CERT_INFO& info = *cert->pCertInfo;
  for (DWORD i = 0; i < info.cExtension; ++i) {
    const CERT_EXTENSION& ext = info.rgExtension[i];
    if (log != nullptr) log->LogExt("Нашли расширение : %s", ext.pszObjId);
    if (strcasecmp(ext.pszObjId, kDistributionPointsOid) != 0) continue;
    const std::vector<BYTE> buffer = ReadSized<DWORD>(
        [&](BYTE* out, DWORD& len) {
          return CryptDecodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, kDistributionPointsOid, ext.Value.pbData,
                                   ext.Value.cbData, 0, out, &len) != FALSE;
        },
        sizeof(CRL_DIST_POINTS_INFO));
    if (buffer.empty()) continue;
    const auto* points = reinterpret_cast<const CRL_DIST_POINTS_INFO*>(buffer.data());
    for (DWORD p = 0; p < points->cDistPoint; ++p) {
      const CRL_DIST_POINT_NAME& name = points->rgDistPoint[p].DistPointName;
      if (name.dwDistPointNameChoice != CRL_DIST_POINT_FULL_NAME) continue;
      const CERT_ALT_NAME_INFO& names = name.FullName;
      point(names.cAltEntry);
      for (DWORD n = 0; n < names.cAltEntry; ++n) {
        if (names.rgAltEntry[n].dwAltNameChoice != CERT_ALT_NAME_URL) continue;
        take(WideToCp1251(names.rgAltEntry[n].pwszURL, limit));
      }
    }
  }
}

bool IsHttp(const std::string& address) {
  return strncasecmp(address.c_str(), "http://", 7) == 0 || strncasecmp(address.c_str(), "https://", 8) == 0;
}

// Whether a list is current: issued before now and valid after now.
bool IsCurrent(PCCRL_CONTEXT crl) {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return CompareFileTime(&crl->pCrlInfo->ThisUpdate, &now) < 0 && CompareFileTime(&crl->pCrlInfo->NextUpdate, &now) > 0;
}

// Where a downloaded list goes that no host takes: the store file, which every later check
// of any process reads, else My. The store file is saved.
HCERTSTORE DownloadTarget(InstanceContext& ctx) {
  if (HCERTSTORE sst = ctx.stores.Get(CST_SST)) return sst;
  return ctx.stores.Get(CST_MY);
}

// Saves the lists of the call's image of the store file (read when the call began) into the
// file as it is now, by the usual rule: a newer list of the same issuer key replaces older
// ones. Saving the image itself would undo what another process saved since.
int32_t SaveListsToStoreFile(HCERTSTORE image, InstanceContext& ctx) {
  return ctx.stores.ChangeFileAsItIsNow([&](HCERTSTORE now) {
    const CrlStores issuers(ctx, image);
    for (PCCRL_CONTEXT c = CertEnumCRLsInStore(image, nullptr); c != nullptr; c = CertEnumCRLsInStore(image, c)) {
      if (auto_cert issuer = FindCrlIssuer(c, issuers)) StoreAuthenticCrl(now, c, issuer.get());
    }
  });
}

int32_t SaveIfStoreFile(HCERTSTORE store, InstanceContext& ctx) {
  if (store != nullptr && store == ctx.stores.Get(CST_SST)) return SaveListsToStoreFile(store, ctx);
  return RC_OK;
}

}  // namespace

int32_t CertAddCRLInStoreFromURLEx(HCERTSTORE target, const std::string& address, InstanceContext& ctx) {
  CallLog& log = ctx.log();
  CTraceScope scope(log.traceLog(), "IVexorImpl::CertAddCRLInStoreFromURLEx");
  if (!IsHttp(address)) {
    log.Log("Нет поддержки обработки URL: \"%s\"!", address.c_str());
    return RC_URL_UNSUPPORTED;
  }
  log.Log("Попытка соединения для обновления CRL c %s ...", address.c_str());
  const int32_t deadline = ctx.options.CRLDownloadTimeout > 0 ? ctx.options.CRLDownloadTimeout : kDefaultCrlDownloadTimeout;
  const HttpResponse response = HttpGet(address, std::chrono::seconds(deadline));
  if (!response.request.empty()) {
    std::string request;
    for (char c : response.request)
      if (c != '\r') request += c;
    log.Log("Запрос: %s", request.c_str());
  }
  // Without a credentials dialog an answer that asks for one is a failed download.
  if (!response.transferred || response.status == 401 || response.status == 407) {
    const std::string reason =
        response.transferred ? "HTTP " + std::to_string(response.status) : text::Utf8ToCp1251(response.error);
    log.Log("Не удалось соединиться с URL \"%s\", причина: \"%s\"!", address.c_str(), reason.substr(0, 1023).c_str());
    return RC_CRL_UPDATE;
  }
  if (response.status != 200) log.Log("Не удалось загрузить CRL для URL \"%s\"", address.c_str());
  log.Log("Загружаем CRL по адресу \"%s\"", address.c_str());
  if (response.body.empty()) {
    log.Log("Не удалось загрузить CRL");
    return RC_OK;
  }
  int32_t rc;
  try {
    const CBinData data(response.body.data(), static_cast<uint32_t>(response.body.size()));
    std::vector<BYTE> crl = DecodeCertOrCRL(data, true, ctx);
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(crl.size()), crl.data()};
    // A list no known issuer signed goes nowhere, not even to the host.
    if (const int32_t refused = RefuseUnknownCrl(blob, ctx, target); refused != RC_OK) return refused;
    uint32_t host_result = 0;
    VexorCallBack* cb = ctx.callback();
    if (cb != nullptr && cb->OnAddCertOrCRL(blob, kItemCrl, &host_result))
      rc = static_cast<int32_t>(host_result);
    else
      rc = AddCertOrCRLToStoreEx(target, blob, kItemCrl, ctx);
  } catch (const CryptoOperations::baseCryptoException& e) {
    log.Log("Произошло исключение: %s", e.what());
    return e.code();
  } catch (const std::exception& e) {
    log.Log("Произошло исключение: %s", text::Utf8ToCp1251(e.what()).c_str());
    return RC_SYSTEM_ERROR;
  } catch (...) {
    log.Log("Произошло исключение: Неизвестная ошибка");
    return RC_SYSTEM_ERROR;
  }
  if (rc == RC_OK)
    log.Log("CRL расположенный по адресу \"%s\" был успешно добавлен в хранилище сертификатов", address.c_str());
  else
    log.Log("CRL расположенный по адресу \"%s\" не удалось добавить в хранилище сертификатов", address.c_str());
  return rc;
}

int32_t ProcessCRLAddress(HCERTSTORE target, const std::string& address, InstanceContext& ctx) {
  CrlCheckCache* cache = ctx.shared.crlCache;
  int32_t result = 0;
  if (cache != nullptr && cache->Recent(address, result)) {
    ctx.log().Log("CRL c URL: \"%s\" обрабатывался менее %d минут назад!", address.c_str(), CrlCheckCache::kMinutes);
    return result;
  }
  result = CertAddCRLInStoreFromURLEx(target, address, ctx);
  if (cache != nullptr) cache->Store(address, result);
  return result;
}

int32_t _CertUpdateCRLs(PCCERT_CONTEXT cert, InstanceContext& ctx) {
  CallLog& log = ctx.log();
  CTraceScope scope(log.traceLog(), "IVexorImpl::_CertUpdateCRLs");
  if (ctx.options.SkipUpdateCRL) {
    log.Log("Обновление CRL'я отключено настройками");
    return RC_OK;
  }
  if (cert == nullptr) return RC_CERT_NOT_FOUND;
  std::set<std::string> addresses;
  ForEachAddress(cert, &log, 1023, [&](const std::string& address) { addresses.insert(address); }, [](DWORD) {});
  log.Log("Найдено уникальных URLs для загрузки: %d", static_cast<int>(addresses.size()));

  auto_store root(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, ctx.services.storeLocation, u"Root"));
  if (!root) {
    log.Log("Не удалось открыть хранилище корневых сертификатов");
    return RC_STORE_OPEN;
  }
  auto_cert issuer(CertFindCertificateInStore(root.get(), X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME,
                                              &cert->pCertInfo->Issuer, nullptr));
  if (!issuer) {
    log.Log("Не удалось получить сертификат %s в доверенных корневых", GetCertDisplayName(cert, true).c_str());
    issuer = GetCertIssuerFromChain(cert, ctx);
    if (!issuer) {
      log.Log("Не удалось получить сертификат %s", GetCertDisplayName(cert, true).c_str());
      CertCloseStore(root.release(), CERT_CLOSE_STORE_FORCE_FLAG);
      return RC_CERT_NOT_FOUND;
    }
  }
  if (VexorCallBack* cb = ctx.callback()) {
    int count = 0;
    bool all_current = true;
    PCCRL_CONTEXT crl = nullptr;
    while (cb->OnGetCRL(issuer.get(), &crl, 1) && crl != nullptr) {
      ++count;
      all_current = all_current && IsCurrent(crl);
    }
    if (count > 0 && all_current) {
      log.Log("Обновление CRL для сертификата %s не требуется", GetCertDisplayName(cert).c_str());
      CertCloseStore(root.release(), CERT_CLOSE_STORE_FORCE_FLAG);
      return RC_OK;
    }
    if (count == 0)
      log.Log("Не нашли CRL для сертификата %s в хранилище", GetCertDisplayName(cert).c_str());
    else
      log.Log("Нашли %d CRL для сертификата %s в хранилище", count, GetCertDisplayName(cert).c_str());
  } else {
    log.Log("Не нашли CRL для сертификата %s в хранилище", GetCertDisplayName(cert).c_str());
  }
  // A current list of the issuer in a store - downloaded earlier, by this process or
  // another - is what a download would bring.
  if (IssuerHasCurrentCrl(issuer.get(), CrlStores(ctx, cert->hCertStore))) {
    log.Log("Обновление CRL для сертификата %s не требуется", GetCertDisplayName(cert).c_str());
    CertCloseStore(root.release(), CERT_CLOSE_STORE_FORCE_FLAG);
    return RC_OK;
  }

  HCERTSTORE target = DownloadTarget(ctx);
  bool any = false;
  for (const std::string& address : addresses) {
    log.Log("Соединение c URL : %s", address.c_str());
    if (ProcessCRLAddress(target, address, ctx) == RC_OK) any = true;
  }
  if (any) SaveIfStoreFile(target, ctx);
  CertCloseStore(root.release(), CERT_CLOSE_STORE_FORCE_FLAG);
  if (!any) {
    log.Log("Не удалось обновить ни одного CRL");
    return RC_CRL_UPDATE;
  }
  return RC_OK;
}

int32_t UpdateStoreCRLs(HCERTSTORE store, HCERTSTORE target, InstanceContext& ctx) {
  CallLog& log = ctx.log();
  if (ctx.options.SkipUpdateCRL) {
    log.Log("Обновление CRL'ля отключено настройками!");
    return RC_OK;
  }
  if (store == nullptr) return RC_OK;
  CINISectionStore processed;
  int count = 0;
  for (PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, nullptr);
       cert != nullptr; cert = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, cert)) {
    ForEachAddress(cert, nullptr, 1024, [&](const std::string& address) {
      log.Log("URL: %s", address.c_str());
      std::string key;
      for (char c : address)
        if (c != '=') key += c;
      if (processed.GetInt("CRL", key, 0) == 1) return;
      processed.SetInt("CRL", key, 1, 1);
      ProcessCRLAddress(target, address, ctx);
      ++count;
    }, [&](DWORD names) { log.Log("URLs: %d", static_cast<int>(names)); });
  }
  if (count == 0) return RC_OK;
  if (ctx.shared.crlCache != nullptr) ctx.shared.crlCache->MarkForcedUpdate();
  if (target == ctx.stores.Get(CST_SST)) return SaveListsToStoreFile(target, ctx);
  return ctx.stores.SaveFile(target);
}

int32_t CertUpdateCRLs(InstanceContext& ctx) {
  if (ctx.options.SkipUpdateCRLInInit) {
    ctx.log().Log("Принудительное обновление CRL для SST отключено");
    return RC_OK;
  }
  if (const int32_t rc = ctx.stores.Open(CST_SST); rc != RC_OK) return rc;
  HCERTSTORE store = ctx.stores.Get(CST_SST);
  const int32_t rc = UpdateStoreCRLs(store, store, ctx);
  if (rc != RC_OK) ctx.log().Log("IVexorImpl::CertUpdateCRLs => Не удалось обновить CRL для хранилища SST!");
  return rc;
}
