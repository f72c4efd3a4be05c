#include "certs/chain.h"

#include <cstring>
#include <exception>

#include "certs/crl_check.h"
#include "certs/crl_trust.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "stores/cert_ident.h"
#include "certs/instance_context.h"
#include "stores/store_set.h"
#include "text/text.h"
#include "support/format.h"
#include "support/log.h"

namespace {

constexpr DWORD kChainParaSize = 16;

[[noreturn]] void Raise(int32_t code, const std::string& text) {
  throw CryptoOperations::baseCryptoException(code, text);
}

std::string Utf8Format(const char* fmt, const std::string& a, const std::string& b = std::string()) {
  return Format(text::Utf8ToCp1251(fmt).c_str(), a.c_str(), b.c_str());
}

// Whether a current list of an issuer of the certificate names it, where no chain could be
// built: each certificate of the call's stores with the certificate's issuer name whose key
// verifies the certificate's signature counts as its issuer, and only the lists that key
// signed are read. Failures of the lookup count as not revoked, as the chain failure does.
bool RevokedWithoutChain(PCCERT_CONTEXT cert, InstanceContext& ctx) {
  const CrlStores stores(ctx, cert->hCertStore);
  for (HCERTSTORE store : stores.handles()) {
    DWORD flags = CERT_STORE_SIGNATURE_FLAG;
    for (PCCERT_CONTEXT issuer = CertGetIssuerCertificateFromStore(store, cert, nullptr, &flags); issuer != nullptr;
         issuer = CertGetIssuerCertificateFromStore(store, cert, issuer, &flags)) {
      const bool signer = (flags & CERT_STORE_SIGNATURE_FLAG) == 0;
      flags = CERT_STORE_SIGNATURE_FLAG;
      // A self-signed certificate is not its own revoker, as no chain walk makes it one.
      if (!signer || (issuer->cbCertEncoded == cert->cbCertEncoded &&
                      std::memcmp(issuer->pbCertEncoded, cert->pbCertEncoded, cert->cbCertEncoded) == 0))
        continue;
      _TAGCERTVALIDPARAM link;
      try {
        CertCheckCRL(CST_ALL, issuer, cert, link, ctx);
      } catch (...) {
        link.code = RC_CRL_CHECK;
      }
      if (link.code == RC_CERT_INVALID) {
        CertFreeCertificateContext(issuer);
        return true;
      }
    }
  }
  return false;
}

}  // namespace

std::string ChainStatusText(DWORD status) {
  switch (status) {
    case 0x0: return "No error found for this certificate or chain.";
    case 0x1: return "This certificate or one of the certificates in the certificate chain is not time-valid.";
    case 0x2: return "Certificates in the chain are not properly time-nested.";
    case 0x4:
      return "Trust for this certificate or one of the certificates in the certificate chain has been revoked.";
    case 0x8:
      return "The certificate or one of the certificates in the certificate chain does not have a valid signature.";
    case 0x10: return "The certificate or certificate chain is not valid in its proposed usage.";
    case 0x20: return "The certificate or certificate chain is based on an untrusted root.";
    case 0x40:
      return "The revocation status of the certificate or one of the certificates in the certificate chain is "
             "unknown.";
    case 0x80:
      return "One of the certificates in the chain was issued by a certification authority that the original "
             "certificate had certified.";
    case 0x10000: return "The certificate chain is not complete.";
    case 0x20000: return "A CTL used to create this chain was not time-valid.";
    case 0x40000: return "A CTL used to create this chain did not have a valid signature.";
    case 0x80000: return "A CTL used to create this chain is not valid for this usage.";
    default: return "The unknown status code!";
  }
}

void GetCertChain(PCCERT_CONTEXT cert, CertChainList& chains, InstanceContext& ctx) {
  CallLog& log = ctx.log();
  CTraceScope scope(log.traceLog(), "IVexorImpl::GetCertChain");
  chains.clear();

  // The current user's engine with every store of the call as an issuer store, so that an
  // intermediate found anywhere in the set (the store file, the host's store) links.
  const CrlStores stores(ctx, nullptr);
  std::vector<HCERTSTORE> issuers(stores.handles());
  CERT_CHAIN_ENGINE_CONFIG config{};
  config.cbSize = sizeof(config);
  config.dwFlags = CERT_CHAIN_CACHE_END_CERT;
  config.cAdditionalStore = static_cast<DWORD>(issuers.size());
  config.rghAdditionalStore = issuers.data();
  auto_engine engine;
  if (!CertCreateCertificateChainEngine(&config, engine.put()))
    Raise(RC_CHAIN_BUILD, Utf8Format("Не удалось проинициализировать движок цепочек сертификатов (%s)",
                                     SystemErrorTextLong(GetLastError())));
  log.LogExt("Инициировали движок цепочки сертификатов");

  const std::string name = GetCertDisplayName(cert);
  CERT_CHAIN_PARA para{};
  para.cbSize = kChainParaSize;
  auto_chain chain;
  if (!CertGetCertificateChain(engine.get(), cert, nullptr, ctx.stores.Get(CST_MY), &para, 0, nullptr, chain.put()))
    Raise(RC_CHAIN_BUILD, Utf8Format("Не удалось построить цепочку для сертификата \"%s\"(%s)", name,
                                     SystemErrorTextLong(GetLastError())));
  log.LogExt("Построили цепочку сертификатов");

  const DWORD status = chain.get()->TrustStatus.dwErrorStatus;
  if (status != 0)
    Raise(RC_CHAIN_BUILD, Utf8Format("При проверке цепочки сертификата \"%s\" были выявлены следующие ошибки \"%s\"",
                                     name, ChainStatusText(status)));

  for (DWORD i = 0; i < chain.get()->cChain; ++i) {
    const CERT_SIMPLE_CHAIN* simple = chain.get()->rgpChain[i];
    auto built = std::make_shared<CertChain>();
    for (DWORD j = 0; simple != nullptr && j < simple->cElement; ++j) {
      PCCERT_CONTEXT element = simple->rgpElement[j]->pCertContext;
      log.Log("Сертификат \"%s\"(%d) поставщик \"%s\", в цепочке %d!", GetCertDisplayName(element).c_str(),
              static_cast<int>(j), GetCertDisplayName(element, true).c_str(), static_cast<int>(i + 1));
      built->certs.push_back(element);
    }
    chains.push_back(std::move(built));
  }
}

auto_cert GetCertIssuerFromChain(PCCERT_CONTEXT cert, InstanceContext& ctx) {
  CallLog& log = ctx.log();
  CTraceScope scope(log.traceLog(), "IVexorImpl::GetCertIssuerFromChain");
  CertChainList chains;
  try {
    GetCertChain(cert, chains, ctx);
  } catch (const CryptoOperations::baseCryptoException& e) {
    log.LogText(e.what());
    return auto_cert();
  }
  if (chains.empty() || chains[0]->certs.size() < 2) return auto_cert();
  log.Log("Всего нашли %d цепочку для сертификата \"%s\"", static_cast<int>(chains.size()),
          GetCertDisplayName(cert).c_str());
  return auto_cert(CertDuplicateCertificateContext(chains[0]->certs[1]));
}

void CertCheckChain(PCCERT_CONTEXT cert, _TAGCERTVALIDPARAM& verdict, InstanceContext& ctx) {
  CallLog& log = ctx.log();
  CTraceScope scope(log.traceLog(), "IVexorImpl::CertCheckChain");
  const std::string name = GetCertDisplayName(cert);
  verdict.Reset();

  CertChainList chains;
  bool built = false;
  try {
    GetCertChain(cert, chains, ctx);
    if (chains.empty() || chains[0]->certs.size() < 2)
      Raise(RC_CHAIN_BUILD, text::Utf8ToCp1251("Не найдено ни одной цепочки доверия"));
    built = true;
  } catch (const CryptoOperations::baseCryptoException& e) {
    verdict.code = static_cast<unsigned long>(e.code());
    verdict.text = e.what();
  } catch (const std::exception& e) {
    verdict.code = RC_CHAIN_BUILD;
    verdict.text = e.what();
  } catch (...) {
    verdict.code = RC_CHAIN_BUILD;
    verdict.text = text::Utf8ToCp1251("Проверка цепочки сертификата: Неизвестная ошибка");
  }

  if (built) {
    log.Log("Всего нашли %d цепочку для сертификата \"%s\"", static_cast<int>(chains.size()), name.c_str());
    log.LogExt("Проверяем CRL");
    const vector_cert& links = chains[0]->certs;
    try {
      // Each link against the lists of every store and of the host at once, so that one
      // source without a list does not hide another's. The first inconclusive link is the
      // one the verdict tells of; a revoked link ends the walk.
      for (size_t i = 0; i + 1 < links.size(); ++i) {
        log.LogExt("Проверим CRL для текущего хранилища сертификата");
        log.LogExt("Проверим CRL для внешнего хранилища сертификатов");
        _TAGCERTVALIDPARAM link;
        CertCheckCRL(CST_ALL, links[i + 1], links[i], link, ctx);
        if (link.code == RC_CERT_INVALID) {
          verdict = link;
          break;
        }
        if (verdict.code == 0) verdict.code = link.code;
        verdict.updateNeeded |= link.updateNeeded;
      }
    } catch (const std::exception& e) {
      verdict.code = RC_CRL_CHECK;
      verdict.text = *e.what() != '\0' ? e.what() : text::Utf8ToCp1251("Проверка CRL сертификата: Неизвестная ошибка");
    } catch (...) {
      verdict.code = RC_CRL_CHECK;
      verdict.text = text::Utf8ToCp1251("Проверка CRL сертификата: Неизвестная ошибка");
    }
    if (verdict.code == RC_CERT_INVALID) log.LogExt("Сертификат отозван");
  }

  if (verdict.code != 0 && verdict.text.empty()) verdict.text = ResultText(static_cast<int32_t>(verdict.code));
  if (verdict.code == RC_CHAIN_BUILD) {
    log.Log("Не удалось построить цепочку для сертификата \"%s\"(%s), принудительно продолжим", name.c_str(),
            verdict.text.c_str());
    verdict.Reset();
    // An untrusted or incomplete chain is forgiven; a revocation is not.
    if (RevokedWithoutChain(cert, ctx)) {
      log.LogExt("Сертификат отозван");
      verdict.code = RC_CERT_INVALID;
      verdict.text = ResultText(RC_CERT_INVALID);
    }
  } else if (verdict.code == RC_CRL_MISSING) {
    log.Log("Отсутствует CRL для сертификата \"%s\"(%s), принудительно продолжим", name.c_str(),
            verdict.text.c_str());
  }
}
