#include "messages/pkcs7/verify.h"

#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "certs/text_case.h"
#include "certs/validity.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/content_writer.h"
#include "messages/pkcs7/signers.h"
#include "messages/stream_io.h"
#include "stores/auto_handle.h"
#include "stores/cert_ident.h"
#include "certs/instance_context.h"
#include "support/read_sized.h"
#include "text/text.h"

namespace {

enum class Variant { kSubject, kCertificate };

// One verification call: the message, its certificate store and the host's list.
class Verifier {
 public:
  Verifier(InstanceContext& ctx, Variant variant, SignerCheckList& list)
      : ctx_(ctx), variant_(variant), list_(list) {}

  int32_t Run(std::istream& signedData, std::istream* content, std::ostream* contentOut, bool detached);

 private:
  int32_t VerifySigner(DWORD index, bool& allValid);
  // The signer's certificate from the message, or from the host; null when there is none.
  auto_cert SignerCertificate(PCERT_INFO id);
  bool MatchesSubject(const std::string& subject);
  bool MatchesCertificate(PCCERT_CONTEXT cert, const std::string& thumb);
  std::string OidListText(PCCERT_CONTEXT cert);
  int32_t HandOverCertsAndCrls();

  InstanceContext& ctx_;  // outlives the verifier: it deletes the temporary content file
  Variant variant_;
  SignerCheckList& list_;
  std::vector<SignerCheckResult> criteria_;
  // Released in reverse order: the store and the message before the content target and the
  // provider they use.
  auto_prov prov_;
  std::ofstream temp_;
  std::optional<ContentWriter> writer_;
  auto_msg msg_;
  auto_store store_;
};

int32_t Verifier::Run(std::istream& signedData, std::istream* content, std::ostream* contentOut, bool detached) {
  criteria_ = std::move(list_.items);
  list_.items.clear();

  if (variant_ == Variant::kCertificate) {
    if (!CryptAcquireContextA(prov_.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT))
      return ReportFailureWithReason(ctx_, RC_PROVIDER_CONTEXT, "Не удалось получить контекст криптопровайдера!");
    ReportProvider(ctx_.log(), prov_.get());
  }

  // The decoded content of an attached message streams to the host or into a temporary file.
  std::ostream* target = nullptr;
  if (!detached) {
    if (variant_ == Variant::kCertificate && contentOut != nullptr) {
      target = contentOut;
    } else {
      OpenTempContentFile(ctx_, temp_);
      target = &temp_;
    }
  }

  const int64_t length = ProbeStreamLength64(signedData);
  if (length < 0) return ReportFailureWithReason(ctx_, RC_BAD_PARAMETER, "Ошибка данных: поток пуст");

  CMSG_STREAM_INFO* stream_info = nullptr;
  if (target != nullptr) stream_info = writer_.emplace(*target).StreamInfo(
                                    length < CMSG_INDEFINITE_LENGTH ? static_cast<DWORD>(length) : CMSG_INDEFINITE_LENGTH);
  msg_.reset(CryptMsgOpenToDecode(kMsgEncoding, detached ? CMSG_DETACHED_FLAG : 0, 0, prov_.get(), nullptr,
                                  stream_info));
  if (!msg_) {
    if (variant_ == Variant::kCertificate)
      return ReportFailureWithReason(ctx_, RC_MSG_OPEN_DECODE, "Не удалось открыть криптосообщения для расшифровки");
    return ReportFailureWithReason(ctx_, RC_MSG_OPEN_DECODE, "Не удалось открыть криптосообщение");
  }

  if (const int32_t rc = FeedMessage(ctx_, msg_.get(), signedData, length, detached ? content : nullptr,
                                     writer_ ? &*writer_ : nullptr))
    return rc;
  if (target != nullptr) target->flush();

  DWORD type = 0, size = sizeof type;
  if (!CryptMsgGetParam(msg_.get(), CMSG_TYPE_PARAM, 0, &type, &size))
    return ReportFailureWithReason(ctx_, RC_MSG_READ, "Не удалось получить тип криптографического сообщения");
  if (type != CMSG_SIGNED) return ReportFailure(ctx_, RC_SIGNATURE_READ, "Данные в потоке не содержат подписи");

  store_.reset(CertOpenStore(CERT_STORE_PROV_MSG, kMsgEncoding, 0, 0, msg_.get()));
  if (!store_)
    return ReportFailureWithReason(ctx_, RC_STORE_OPEN,
                                   "Не удалось открыть хранилище по хэндлу криптографического сообщения");

  DWORD count = 0;
  size = sizeof count;
  if (!CryptMsgGetParam(msg_.get(), CMSG_SIGNER_COUNT_PARAM, 0, &count, &size))
    return ReportFailureWithReason(ctx_, RC_MSG_READ, "Не удалось получить количество подписантов");

  bool all_valid = true;
  for (DWORD i = 0; i < count; ++i)
    if (const int32_t rc = VerifySigner(i, all_valid); rc != RC_OK) return rc;
  if (all_valid)
    if (const int32_t rc = HandOverCertsAndCrls(); rc != RC_OK) return rc;
  return RC_OK;
}

auto_cert Verifier::SignerCertificate(PCERT_INFO id) {
  auto_cert cert(CertGetSubjectCertificateFromStore(store_.get(), kMsgEncoding, id));
  VexorCallBack* cb = ctx_.callback();
  // The subject filter asks the host only for a certificate the message lacks; the
  // expected-certificate check lets the host's answer win.
  if (cb == nullptr || (cert && variant_ == Variant::kSubject)) return cert;
  PCCERT_CONTEXT supplied = nullptr;
  if (cb->OnFindSignerCert(id, &supplied) && supplied != nullptr) {
    cert.reset(CertDuplicateCertificateContext(supplied));
    cb->OnFreeSignerCert(supplied);
  }
  return cert;
}

bool Verifier::MatchesSubject(const std::string& subject) {
  bool outcome = true;
  const std::string lower_subject = Cp1251Lower(subject);
  for (const SignerCheckResult& c : criteria_) {
    ctx_.log().Log("Проверка subject: %s", c.subjectCN.c_str());
    ctx_.log().Log("Проверка subject: %s", subject.c_str());
    outcome = lower_subject.find(Cp1251Lower(c.subjectCN)) != std::string::npos;
    if (outcome)
      ctx_.log().Log("Subject валидный!");
    else
      ctx_.log().Log("Subject не валидный в \"%s\" не найден \"%s\"!", subject.c_str(), c.subjectCN.c_str());
  }
  return outcome;
}

bool Verifier::MatchesCertificate(PCCERT_CONTEXT cert, const std::string& thumb) {
  const std::string cn = GetCertCommonName(cert);
  for (const SignerCheckResult& c : criteria_) {
    if (!thumb.empty() && Cp1251EqualNoCase(thumb, c.thumbprint)) return true;
    if (cn == c.subjectCN) return true;
  }
  return false;
}

std::string Verifier::OidListText(PCCERT_CONTEXT cert) {
  std::string text = "\tOID:";
  const std::vector<BYTE> usages = ReadSized<DWORD>(
      [&](BYTE* buffer, DWORD& len) {
        return CertGetEnhancedKeyUsage(cert, 0, reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer), &len) != FALSE;
      },
      sizeof(CERT_ENHKEY_USAGE));
  if (!usages.empty()) {
    const auto* usage = reinterpret_cast<const CERT_ENHKEY_USAGE*>(usages.data());
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) text += std::string(usage->rgpszUsageIdentifier[i]) + ";";
  }
  const CERT_INFO* info = cert->pCertInfo;
  if (PCERT_EXTENSION ext = CertFindExtension(szOID_CERT_POLICIES, info->cExtension, info->rgExtension)) {
    const std::vector<BYTE> decoded = ReadSized<DWORD>(
        [&](BYTE* buffer, DWORD& len) {
          return CryptDecodeObject(kMsgEncoding, szOID_CERT_POLICIES, ext->Value.pbData, ext->Value.cbData, 0, buffer,
                                   &len) != FALSE;
        },
        sizeof(CERT_POLICIES_INFO));
    if (!decoded.empty()) {
      const auto* policies = reinterpret_cast<const CERT_POLICIES_INFO*>(decoded.data());
      for (DWORD i = 0; i < policies->cPolicyInfo; ++i)
        if (const char* id = policies->rgPolicyInfo[i].pszPolicyIdentifier) text += std::string(id) + ";";
    }
  }
  if (text.back() == ';') text.pop_back();
  return text;
}

int32_t Verifier::VerifySigner(DWORD index, bool& allValid) {
  std::vector<BYTE> info;
  DWORD info_size = 0;
  const auto read = [&](BYTE* buffer, DWORD& len) {
    return CryptMsgGetParam(msg_.get(), CMSG_SIGNER_CERT_INFO_PARAM, index, buffer, &len) != FALSE;
  };
  switch (ReadSized(read, info, info_size, sizeof(CERT_INFO))) {
    case SizedStep::kDone:
      break;
    case SizedStep::kSize:
      return ReportFailureWithReason(ctx_, RC_MSG_READ, "Не удалось получить размер информации о подписанте");
    case SizedStep::kMemory:
      return ReportFailure(ctx_, RC_OUT_OF_MEMORY, "Не удалось выделить %d байт памяти для данных подписанта",
                           static_cast<int>(info_size));
    case SizedStep::kData:
      return ReportFailureWithReason(ctx_, RC_MSG_READ, "Не удалось получить информацию о подписанте");
  }

  auto_cert cert = SignerCertificate(reinterpret_cast<PCERT_INFO>(info.data()));
  if (!cert) {
    if (variant_ == Variant::kCertificate)
      return ReportFailureWithReason(ctx_, RC_CERT_NOT_IN_STORE, "Не удалось найти сертификат подписанта");
    return ReportFailure(ctx_, RC_CERT_NOT_IN_STORE, "Не удалось найти сертификат подписанта");
  }

  SignerCheckResult record;
  if (variant_ == Variant::kCertificate && !list_.checkValidity)
    record.certValid = true;
  else
    record.certValid = CertIsValid(ctx_, cert.get());

  std::string thumb;
  GetCertThumbHex(cert.get(), thumb, &ctx_.log());
  std::string note;
  const bool matches = variant_ == Variant::kSubject || criteria_.empty() || MatchesCertificate(cert.get(), thumb);
  if (matches) {
    record.signValid = CryptMsgControl(msg_.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, cert.get()->pCertInfo) != FALSE;
    if (!record.signValid)
      ctx_.log().LogText(text::Utf8ToCp1251("Подпись неверна: ") + SystemErrorTextShort(GetLastError()));
  } else {
    note = text::Utf8ToCp1251("Файл должен быть подписан другим сертификатом.");
  }

  const std::string subject = NameToX500String(cert.get()->pCertInfo->Subject, false);
  if (variant_ == Variant::kSubject && record.signValid && !criteria_.empty())
    record.signValid = MatchesSubject(subject);

  std::string time_text, oid_text;
  if (record.signValid) {
    SignTime time;
    if (GetSignTime(msg_.get(), index, time, ctx_.log())) {
      record.signTime = time.date;
      time_text = FormatSignTime(time);
    }
    if (variant_ == Variant::kSubject) oid_text = OidListText(cert.get());
  }

  std::string description = subject + "\t";
  if (variant_ == Variant::kCertificate) {
    description += text::Utf8ToCp1251(record.signValid ? "Подпись верна" : "Подпись неверна");
    description += text::Utf8ToCp1251(record.certValid ? " Cертификат действителен" : " Cертификат недействителен");
    description += "\t";
  }
  description += time_text;
  if (!thumb.empty()) description += "\t" + thumb;
  if (!oid_text.empty()) description += "\t" + oid_text;
  if (!note.empty()) description += "\r\n" + note;

  record.subjectCN = subject;
  record.thumbprint = thumb;
  record.description = std::move(description);
  if (!record.signValid) allValid = false;
  list_.items.push_back(std::move(record));
  return RC_OK;
}

int32_t Verifier::HandOverCertsAndCrls() {
  VexorCallBack* cb = ctx_.callback();
  DWORD count = 0, size = sizeof count;
  if (!CryptMsgGetParam(msg_.get(), CMSG_CERT_COUNT_PARAM, 0, &count, &size))
    return ReportFailureWithReason(ctx_, RC_MSG_READ, "Не удалось получить количество подписантов");
  for (DWORD i = 0; i < count; ++i) {
    std::vector<BYTE> encoded;
    DWORD len = 0;
    const auto read = [&](BYTE* buffer, DWORD& n) {
      return CryptMsgGetParam(msg_.get(), CMSG_CERT_PARAM, i, buffer, &n) != FALSE;
    };
    switch (ReadSized(read, encoded, len, 1)) {
      case SizedStep::kDone:
        break;
      case SizedStep::kSize:
        return ReportFailureWithReason(ctx_, RC_MSG_READ, "Не удалось получить размер сертификата");
      case SizedStep::kMemory:
        return ReportFailure(ctx_, RC_OUT_OF_MEMORY, "Не удалось выделить %d байт памяти под сертификат",
                             static_cast<int>(len));
      case SizedStep::kData:
        return ReportFailureWithReason(ctx_, RC_MSG_READ, "Не удалось получить данные сертификата");
    }
    auto_cert parsed(CertCreateCertificateContext(X509_ASN_ENCODING, encoded.data(), len));
    if (!parsed) return ReportFailureWithReason(ctx_, RC_CERT_CONTEXT_CREATE, "Не удалось создать сертификат по данным");
    if (cb != nullptr) {
      uint32_t answer = 0;
      cb->OnAddCertOrCRL(CRYPT_DATA_BLOB{len, encoded.data()}, VEXOR_ITEM_CERT, &answer);
    }
  }
  count = 0;
  size = sizeof count;
  if (!CryptMsgGetParam(msg_.get(), CMSG_CRL_COUNT_PARAM, 0, &count, &size))
    return ReportFailureWithReason(ctx_, RC_MSG_READ, "Не удалось получить, количество CRL");
  if (cb == nullptr) return RC_OK;
  for (DWORD i = 0; i < count; ++i) {
    std::vector<BYTE> encoded;
    DWORD len = 0;
    const auto read = [&](BYTE* buffer, DWORD& n) {
      return CryptMsgGetParam(msg_.get(), CMSG_CRL_PARAM, i, buffer, &n) != FALSE;
    };
    switch (ReadSized(read, encoded, len, 1)) {
      case SizedStep::kDone:
        break;
      case SizedStep::kSize:
        return ReportFailureWithReason(ctx_, RC_MSG_READ, "Не удалось получить размер CRL");
      case SizedStep::kMemory:
        return ReportFailureWithReason(ctx_, RC_OUT_OF_MEMORY, "Не удалось выделить буфер для CRL");
      case SizedStep::kData:
        return ReportFailureWithReason(ctx_, RC_MSG_READ, "Не удалось получить CRL");
    }
    uint32_t answer = 0;
    cb->OnAddCertOrCRL(CRYPT_DATA_BLOB{len, encoded.data()}, VEXOR_ITEM_CRL, &answer);
  }
  return RC_OK;
}

}  // namespace

int32_t CheckBySubject(InstanceContext& ctx, std::istream& signedData, std::istream* content, SignerCheckList& list,
                       bool detached) {
  Verifier verifier(ctx, Variant::kSubject, list);
  return verifier.Run(signedData, content, nullptr, detached);
}

int32_t CheckByCertificate(InstanceContext& ctx, std::istream& signedData, std::istream* content,
                           std::ostream* contentOut, SignerCheckList& list, bool detached) {
  Verifier verifier(ctx, Variant::kCertificate, list);
  return verifier.Run(signedData, content, contentOut, detached);
}
