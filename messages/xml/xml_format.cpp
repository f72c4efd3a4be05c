// The XML format's row: signing, verification and encryption of whole documents, done by
// the sibling XML library; this side chooses the certificates, reads the document into
// memory, writes the result and reports failures.
#include <exception>
#include <vector>

#include "certs/crl_check.h"
#include "certs/find_param.h"
#include "certs/search.h"
#include "certs/validity.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/formats.h"
#include "messages/parties.h"
#include "messages/stream_io.h"
#include "messages/xml/xml_library.h"
#include "stores/auto_handle.h"
#include "stores/cert_ident.h"
#include "certs/instance_context.h"
#include "stores/store_set.h"
#include "text/text.h"
#include "support/format.h"

namespace {

constexpr unsigned long kEncryptStores = CST_MY | CST_EXTERNAL;

// The whole stream in memory; false (reported) for a stream that cannot tell its length.
bool ReadDocument(InstanceContext& ctx, std::istream& in, std::vector<char>& document, int32_t& rc) {
  const int64_t length = ProbeStreamLength64(in);
  if (length < 0) {
    rc = ReportFailureWithReason(ctx, RC_BAD_PARAMETER, "Ошибка данных: поток пуст");
    return false;
  }
  // The XML library takes no longer document: refused before it is read, never cut.
  if (length > VEXORXML_MAX_DOCUMENT) {
    rc = ReportFailure(ctx, RC_OUT_OF_MEMORY, "Размер данных превышает максимальнодопустимый");
    return false;
  }
  document.assign(static_cast<size_t>(length), 0);
  in.clear();
  in.seekg(0, std::ios::beg);
  in.read(document.data(), static_cast<std::streamsize>(length));
  if (in.bad()) {  // a failed read is not a shorter document
    rc = ReportFailure(ctx, RC_MSG_UPDATE, "Ошибка чтения блока данных из потока");
    return false;
  }
  document.resize(static_cast<size_t>(in.gcount()));
  return true;
}

int32_t SignXml(InstanceContext& ctx, const CertPartyParam& party, std::istream& in, std::ostream& out) {
  auto_cert cert;
  if (const int32_t rc = FindSigner(ctx, party, cert)) return rc;

  std::vector<char> document;
  int32_t rc = RC_OK;
  if (!ReadDocument(ctx, in, document, rc)) return rc;
  XmlResult result;
  rc = GetXmlLibrary().sign(document.data(), static_cast<int>(document.size()), cert.get(),
                            ctx.options.ShowUICSP ? 0 : 1, &result.data, &result.length);
  if (rc != 0) return ReportFailureWithReason(ctx, rc, "Не удалось подписать XML документ!");
  out.write(static_cast<const char*>(result.data), result.length);
  return RC_OK;
}

int32_t CheckXml(InstanceContext& ctx, std::istream& signedData, std::istream*, std::ostream* contentOut,
                 SignerCheckList& list) {
  try {
    std::vector<char> document;
    int32_t rc = RC_OK;
    if (!ReadDocument(ctx, signedData, document, rc)) return rc;
    const CERT_CONTEXT* signer = nullptr;
    int valid = 0;
    XmlResult result;
    rc = GetXmlLibrary().checkSign(document.data(), static_cast<int>(document.size()), &signer, &valid, &result.data,
                                   &result.length);
    auto_cert cert(signer);
    if (rc == 0 && contentOut != nullptr) contentOut->write(static_cast<const char*>(result.data), result.length);
    if (cert) {
      SignerCheckResult record;
      record.certValid = !list.checkValidity || CertIsValid(ctx, cert.get());
      record.signValid = valid != 0;
      std::string thumb;
      GetCertThumbHex(cert.get(), thumb, &ctx.log());
      const std::string subject = NameToX500String(cert.get()->pCertInfo->Subject, false);
      std::string description = subject + "\t";
      description += text::Utf8ToCp1251(record.signValid ? "Подпись верна" : "Подпись неверна");
      description += text::Utf8ToCp1251(record.certValid ? " Cертификат действителен" : " Cертификат недействителен");
      description += "\t";
      if (!thumb.empty()) description += "\t" + thumb;
      record.subjectCN = subject;
      record.thumbprint = thumb;
      record.description = std::move(description);
      list.items.push_back(std::move(record));
    }
    if (rc != 0) return ReportFailureWithReason(ctx, rc, "Не удалось проверить подпись XML документа!");
    return RC_OK;
  } catch (const CryptoOperations::baseCryptoException&) {
    throw;
  } catch (const std::exception& e) {
    return ReportFailure(ctx, RC_MSG_READ, "При проверке подписи возникла ошибка: %s", e.what());
  }
}

int32_t EncryptXml(InstanceContext& ctx, std::istream& in, std::ostream& out, const CertPartyList& parties) {
  try {
    if (parties.empty()) return ReportFailure(ctx, RC_SENDER_CERT_MISSING, "Не указан сертификат шифрования.");
    if (const int32_t rc = ctx.stores.Open(kEncryptStores); rc != RC_OK)
      return ReportFailure(ctx, rc, "Не удалось открыть хранилища сертификатов (личное и файловое)");
    CAutoSkipCRLChecker skip_crl(ctx);
    const bool skip_validity = (ctx.services.runtimeFlags & kFlagSkipRecipientValidity) != 0;
    vector_cert certs;
    for (const CertPartyParam& party : parties) {
      if (party.isSender) continue;
      AUTO_CERTFINDPARAM params;
      FindParams(ctx, party, kEncryptStores, params);
      params.skipValidity = skip_validity;
      params.searchAllStores = true;
      auto_cert cert;
      const int32_t rc = FindCertInStores(&params, cert.put(), ctx);
      if (rc == RC_OK && cert) {
        certs.push_back(cert.get());
      } else if (skip_validity && !params.results.empty()) {
        for (PCCERT_CONTEXT c : params.results) certs.push_back(c);
      } else if ((ctx.services.runtimeFlags & kFlagSkipMissingRecipients) != 0) {
        ctx.log().Log("Не удалось найти сертификат получателя: %s(%s)!", PartyIdentifier(party).c_str(), "");
      } else {
        return ReportFailure(ctx, RC_CERT_NOT_IN_STORE, "Не удалось найти сертификат %s : %s(%s)",
                             text::Utf8ToCp1251("получателя").c_str(), PartyIdentifier(party).c_str(), "");
      }
    }
    if (certs.empty())
      return ReportFailure(ctx, RC_CERT_NOT_IN_STORE, "Не удалось найти ни одного сертификата для шифрования.");
    std::string line = text::Utf8ToCp1251("\r\n--------------- Шифрование ---------------\r\n") +
                       Format(text::Utf8ToCp1251("Сертификаты шифрования: количество {%d}\r\n").c_str(),
                              static_cast<int>(certs.size()));
    for (size_t i = 0; i < certs.size(); ++i)
      line += Format("%d. %s\r\n", static_cast<int>(i + 1), GetCertShortDescription(certs[i], &ctx.log()).c_str());
    ctx.log().LogText(line);

    std::vector<char> document;
    int32_t rc = RC_OK;
    if (!ReadDocument(ctx, in, document, rc)) return rc;
    XmlResult result;
    rc = GetXmlLibrary().encrypt(document.data(), static_cast<int>(document.size()), certs[0], &result.data,
                                 &result.length);
    if (rc != 0) return ReportFailureWithReason(ctx, rc, "Не удалось подписать XML документ!");
    out.write(static_cast<const char*>(result.data), result.length);
    return RC_OK;
  } catch (const CryptoOperations::baseCryptoException&) {
    throw;
  } catch (const std::exception& e) {
    return ReportFailure(ctx, RC_MSG_OPEN_ENCODE, "При попытке шифрования возникла ошибка: %s", e.what());
  }
}

}  // namespace

// XML verification is served by the attached slot with a content stream only.
extern const MessageFormat kXmlFormat = {
    .id = VEXOR_FORMAT_XML,
    .name = "XML",
    .signAttached = SignXml,
    .checkAttachedByCertificate = CheckXml,
    .encrypt = EncryptXml,
};
