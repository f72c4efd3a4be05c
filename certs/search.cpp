#include "certs/search.h"

#include <algorithm>
#include <cstring>

#include "certs/cert_time.h"
#include "certs/text_case.h"
#include "certs/validity.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "stores/auto_handle.h"
#include "stores/cert_ident.h"
#include "stores/data_blob.h"
#include "certs/instance_context.h"
#include "stores/store_ids.h"
#include "stores/store_set.h"
#include "text/text.h"
#include "support/format.h"
#include "support/text.h"

namespace {

const char kBadParams[] = "При вызове функции поиска сертификата один из параметров задан неверно!";
// GOST R 34.10-2001 keys (and the CryptoPro arcs around them) and GOST R 34.10-2012 keys.
const char* const kGostKeyPrefixes[] = {"1.2.643.2.2.", "1.2.643.7.1.1.1."};

bool HasGostKey(PCCERT_CONTEXT cert, std::string& oid) {
  const char* p = cert->pCertInfo != nullptr ? cert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId : nullptr;
  oid = p != nullptr ? p : "";
  for (const char* prefix : kGostKeyPrefixes)
    if (oid.compare(0, std::strlen(prefix), prefix) == 0) return true;
  return false;
}

// The candidates one store search collects; each holds its own reference.
class Candidates {
 public:
  void Add(PCCERT_CONTEXT cert) { list_.push_back(cert); }
  const vector_cert& list() const { return list_; }

 private:
  vector_cert list_;
};

enum class Mode { kEmail, kThumbprint, kName };

// Applies filters a to f of one store search to a certificate; true when it survives.
bool PassesStoreFilters(PCCERT_CONTEXT cert, Mode mode, const _TAGCERTFINDPARAM& p, InstanceContext& ctx) {
  CallLog& log = ctx.log();
  if (mode == Mode::kName) {
    const std::string cn = GetCertCommonName(cert);
    if (!Cp1251EqualNoCase(cn, p.subjectCN)) {
      log.LogExt("Cертификат не прошел проверку на CN, должен быть \"%s\", а в сертификате указан \"%s\"!",
                 p.subjectCN.c_str(), cn.c_str());
      return false;
    }
  }
  std::string oid;
  if (!HasGostKey(cert, oid)) {
    log.Log("Сертификат не прошел проверку по KeyAlgID, текущий KeyAlgID равен \"%s\"!", oid.c_str());
    log.LogExt("Сертификат забракован проверкой по алгоритму");
    return false;
  }
  if (!p.issuer.empty()) {
    const std::string issuer = Cp1251Lower(NameToX500String(cert->pCertInfo->Issuer, true));
    if (issuer.find(Cp1251Lower(p.issuer)) == std::string::npos) {
      log.Log("Сертификат не прошел проверку по Root CN!");
      log.LogExt("Сертификат забракован проверкой по CN корневого сертификата %s", p.issuer.c_str());
      return false;
    }
  }
  if (mode != Mode::kThumbprint && p.thumbprint.cbData != 0 && p.thumbprint.pbData != nullptr) {
    AUTO_CRYPT_DATA_BLOB thumb;
    if (!CertGetThumb(cert, thumb, &log)) {
      log.LogExt("Сертификат будет пропущен - не удалось получить отпечаток");
      return false;
    }
    const DWORD n = std::min(p.thumbprint.cbData, thumb.cbData);
    if (std::memcmp(p.thumbprint.pbData, thumb.pbData, n) != 0) {
      log.LogExt("Сертификат будет пропущен - отпечатки найденного и искомого не совпадают");
      return false;
    }
  }
  if (!p.skipValidity && !CertIsValid(ctx, cert)) {
    log.LogExt("Сертификат забракован проверкой на валидность");
    return false;
  }
  return true;
}

// The host's own search: candidates come one by one through OnCertFindEx.
void SearchThroughHost(VexorCallBack& cb, _TAGCERTFINDPARAM& p, InstanceContext& ctx, Candidates& found) {
  CallLog& log = ctx.log();
  PCCERT_CONTEXT cert = std::exchange(p.startCert, nullptr);
  log.LogExt("VexorCallBack->OnCertFindEx: Поиск во внешнем хранилище...");
  bool more = cb.OnCertFindEx(&p, &cert);
  while (more && cert != nullptr) {
    log.LogExt("VexorCallBack->OnCertFindEx: Нашли сертификат: \"%s\".", GetCertDisplayName(cert).c_str());
    std::string oid;
    if (!HasGostKey(cert, oid)) {
      log.LogExt("Сертификат забракован проверкой по алгоритму");
    } else if (!p.skipValidity && !CertIsValid(ctx, cert)) {
      log.LogExt("Сертификат забракован проверкой на валидность");
    } else {
      found.Add(cert);
      log.LogExt("Сохранили найденный сертификат в списке");
    }
    log.LogExt("VexorCallBack->OnCertFindEx: Поиск во внешнем хранилище...");
    more = cb.OnCertFindEx(&p, &cert);
  }
  if (found.list().empty())
    log.LogExt("VexorCallBack->OnCertFindEx: Сертификат не найден");
  else
    log.LogExt("VexorCallBack->OnCertFindEx: Поиск во внешнем хранилище завершен");
}

// Enumerates the store with the search the record asks for.
void SearchInStore(HCERTSTORE store, _TAGCERTFINDPARAM& p, InstanceContext& ctx, unsigned long id,
                   Candidates& found) {
  CallLog& log = ctx.log();
  Mode mode = Mode::kName;
  DWORD find_type = CERT_FIND_SUBJECT_STR_A;
  const void* find_para = p.subjectCN.c_str();

  std::string email = p.email;
  CERT_RDN_ATTR attr{};
  CERT_RDN rdn{1, &attr};
  char email_oid[] = szOID_RSA_emailAddr;
  AUTO_CRYPT_DATA_BLOB converted;
  CRYPT_HASH_BLOB hash{0, nullptr};

  if (!p.email.empty()) {
    mode = Mode::kEmail;
    attr.pszObjId = email_oid;
    attr.dwValueType = CERT_RDN_IA5_STRING;
    attr.Value.cbData = static_cast<DWORD>(email.size());
    attr.Value.pbData = reinterpret_cast<BYTE*>(email.data());
    find_type = CERT_FIND_SUBJECT_ATTR;
    find_para = &rdn;
  } else if ((p.thumbprint.cbData != 0 && p.thumbprint.pbData != nullptr) ||
             HexToThumbprint(TrimBlanks(p.thumbprintText), converted)) {
    mode = Mode::kThumbprint;
    hash = p.thumbprint.cbData != 0 ? p.thumbprint : converted;
    find_type = CERT_FIND_SHA1_HASH;
    find_para = &hash;
    std::string hex;
    ThumbprintToHex(hash, hex);
    log.Log("Поиск сертификата будет производиться по отпечатку : \"%s\".", hex.c_str());
  }

  // The find call releases the certificate it continues from; until then it is ours, so a
  // filter that raises leaks nothing.
  auto_cert cur(std::exchange(p.startCert, nullptr));
  for (;;) {
    PCCERT_CONTEXT next = CertFindCertificateInStore(store, kStoreEncoding, 0, find_type, find_para, cur.release());
    if (next == nullptr) break;
    cur.reset(next);
    log.LogExt("Нашли сертификат: \"%s\".", GetCertDisplayName(next).c_str());
    if (PassesStoreFilters(next, mode, p, ctx)) {
      found.Add(next);
      log.LogExt("Сохранили найденный сертификат в списке");
    }
  }
  const std::string reason = SystemErrorTextShort(GetLastError());
  if (!found.list().empty())
    log.LogExt("::CertFindCertificateInStore: Поиск в хранилище (%s) завершен (%s)", GetStoreName(id).c_str(),
               reason.c_str());
  else
    log.LogExt("::CertFindCertificateInStore: Сертификат не найден (%s)", reason.c_str());
}

// Picks the candidate that became valid last (the first of equals), fills the results in
// multi-select mode and hands out a reference to the choice.
int32_t Select(const Candidates& found, _TAGCERTFINDPARAM& p, InstanceContext& ctx, PCCERT_CONTEXT* cert) {
  CallLog& log = ctx.log();
  const vector_cert& list = found.list();
  if (list.empty()) {
    log.LogExt("Нет найденных сертификатов");
    return RC_CERT_NOT_FOUND;
  }
  size_t chosen = 0;
  if (list.size() == 1) {
    log.LogExt("Найден один сертифкат");
  } else {
    log.LogExt("Найдено %d сертифкатов", static_cast<int>(list.size()));
    double chosen_date = 0;
    bool chosen_ok = FileTimeToLocalDate(list[0]->pCertInfo->NotBefore, chosen_date);
    for (size_t i = 1; i < list.size(); ++i) {
      double date = 0;
      // A date that cannot be converted never wins, and a choice without one is never replaced.
      if (!chosen_ok || !FileTimeToLocalDate(list[i]->pCertInfo->NotBefore, date)) continue;
      if (date > chosen_date) {
        chosen = i;
        chosen_date = date;
      }
    }
    if (!p.multiSelect)
      log.Log("Из %d сертификатов, был выбран сертификат старший по дате выпуска, который действителен с %s.",
              static_cast<int>(list.size()), FormatLocalTime(list[chosen]->pCertInfo->NotBefore).c_str());
  }
  if (!p.multiSelect) {
    log.Log("Из множества сертификатов выбран: \"%s\".", GetCertDisplayName(list[chosen]).c_str());
  } else {
    std::string text = Format(text::Utf8ToCp1251("При множественном выборе сертификатов, было выбрано сертификатов %d\r\n").c_str(),
                              static_cast<int>(list.size()));
    for (size_t i = 0; i < list.size(); ++i) {
      p.results.push_back(list[i]);
      text += Format("%d. %s\r\n", static_cast<int>(i + 1), GetCertShortDescription(list[i], &log).c_str());
    }
    log.LogText(text);
  }
  *cert = CertDuplicateCertificateContext(list[chosen]);
  return RC_OK;
}

}  // namespace

int32_t FindCertInStore(HCERTSTORE store, _TAGCERTFINDPARAM* params, PCCERT_CONTEXT* cert, InstanceContext& ctx,
                        unsigned long id) {
  if (params == nullptr || cert == nullptr) return ReportFailure(ctx, RC_SYSTEM_ERROR, kBadParams);
  Candidates found;
  VexorCallBack* cb = ctx.callback();
  if (cb != nullptr && store == nullptr)
    SearchThroughHost(*cb, *params, ctx, found);
  else if (store != nullptr)
    SearchInStore(store, *params, ctx, id, found);
  return Select(found, *params, ctx, cert);
}

int32_t FindCertInStores(_TAGCERTFINDPARAM* params, PCCERT_CONTEXT* cert, InstanceContext& ctx) {
  if (params == nullptr || params->storeMask == 0 || cert == nullptr)
    return ReportFailure(ctx, RC_SYSTEM_ERROR, kBadParams);
  CallLog& log = ctx.log();
  params->results.clear();

  const bool use_sst = ctx.options.UseSST != 0;
  auto_cert result;
  int32_t rc = RC_CERT_NOT_FOUND;
  bool earlier_success = false;
  for (unsigned long id : {CST_MY, CST_SST, CST_EXTERNAL, CST_ROOT}) {
    if (id == CST_SST && !use_sst) continue;
    if ((params->storeMask & id) != id) continue;
    HCERTSTORE store = ctx.stores.Get(id);
    if (store == nullptr && ctx.callback() == nullptr) {
      log.Log("При поиске сертификата в хранилищах не удалось получить хэндл для хранилища \"%s\"!",
              GetStoreName(id).c_str());
      continue;
    }
    PCCERT_CONTEXT found = nullptr;
    rc = FindCertInStore(store, params, &found, ctx, id);
    if (found != nullptr) result.reset(found);
    if (rc == RC_OK) log.Log("Сертификат(ы) был(и) найден(ы) в хранилище \"%s\".", GetStoreName(id).c_str());
    if (id == CST_MY && rc == RC_OK) break;
    if (params->searchAllStores && rc == RC_OK) {
      earlier_success = true;
      continue;
    }
    if (rc == RC_CERT_NOT_FOUND) continue;
    break;
  }
  if (rc == RC_CERT_NOT_FOUND && earlier_success) rc = RC_OK;
  if (rc == RC_OK) *cert = result.release();
  return rc;
}
