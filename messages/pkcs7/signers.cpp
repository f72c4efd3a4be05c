#include "messages/pkcs7/signers.h"

#include <cstring>
#include <vector>

#include "certs/cert_time.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/stream_io.h"
#include "stores/auto_handle.h"
#include "certs/instance_context.h"
#include "support/format.h"
#include "support/read_sized.h"

namespace {

// A message parameter read in the usual two steps (size, then data); empty on failure.
bool ReadParam(HCRYPTMSG msg, DWORD param, DWORD index, std::vector<BYTE>& out) {
  DWORD size = 0;
  const auto read = [&](BYTE* buffer, DWORD& len) { return CryptMsgGetParam(msg, param, index, buffer, &len) != FALSE; };
  return ReadSized(read, out, size) == SizedStep::kDone;
}

// The UTC time of one signing-time attribute value; false unless it decodes to 8 bytes.
bool DecodeSigningTime(const CRYPT_ATTR_BLOB& value, FILETIME& utc) {
  DWORD size = 0;
  if (!CryptDecodeObject(X509_ASN_ENCODING, szOID_RSA_signingTime, value.pbData, value.cbData, 0, nullptr, &size) ||
      size != sizeof(FILETIME))
    return false;
  return CryptDecodeObject(X509_ASN_ENCODING, szOID_RSA_signingTime, value.pbData, value.cbData, 0, &utc, &size) !=
         FALSE;
}

}  // namespace

bool GetSignTime(HCRYPTMSG msg, DWORD signer, SignTime& time, CallLog& log) {
  std::vector<BYTE> buffer;
  if (!ReadParam(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, signer, buffer) || buffer.size() < sizeof(CRYPT_ATTRIBUTES)) {
    log.Log("IVexorImpl::GetSignTime => CryptMsgGetParam вернула FALSE!");
    return false;
  }
  const auto* attrs = reinterpret_cast<const CRYPT_ATTRIBUTES*>(buffer.data());
  for (DWORD i = 0; i < attrs->cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attr = attrs->rgAttr[i];
    if (attr.pszObjId == nullptr || std::strcmp(attr.pszObjId, szOID_RSA_signingTime) != 0 || attr.cValue != 1)
      continue;
    FILETIME utc{}, local{};
    if (!DecodeSigningTime(attr.rgValue[0], utc)) continue;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &time.local)) return false;
    return FileTimeToLocalDate(utc, time.date);
  }
  return false;
}

std::string FormatSignTime(const SignTime& time) {
  const SYSTEMTIME& t = time.local;
  return Format("%02d.%02d.%04d %02d:%02d:%02d", t.wDay, t.wMonth, t.wYear, t.wHour, t.wMinute, t.wSecond);
}

int32_t ExtractSigners(InstanceContext& ctx, std::istream& signedData, std::istream& content, SignerCheckList& list) {
  auto_prov prov;
  if (!CryptAcquireContextA(prov.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT))
    return ReportFailureWithReason(ctx, RC_PROVIDER_CONTEXT, "Не удалось получить контекст криптопровайдера");

  auto_msg msg(CryptMsgOpenToDecode(kMsgEncoding, CMSG_DETACHED_FLAG, 0, prov.get(), nullptr, nullptr));
  if (!msg)
    return ReportFailureWithReason(ctx, RC_MSG_OPEN_DECODE, "Не удалось открыть криптосообщение для расшифровки");

  if (const int32_t rc = FeedMessage(ctx, msg.get(), signedData, ProbeStreamLength64(signedData), &content)) return rc;

  DWORD type = 0, size = sizeof type;
  if (!CryptMsgGetParam(msg.get(), CMSG_TYPE_PARAM, 0, &type, &size))
    return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить тип криптографического сообщения");
  if (type != CMSG_SIGNED)
    return ReportFailureWithReason(ctx, RC_SIGNATURE_READ, "Данные в потоке не являются подписью");

  DWORD content_size = 0;
  if (!CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, nullptr, &content_size))
    return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить размер для декодирования");

  auto_store store(CertOpenStore(CERT_STORE_PROV_MSG, kMsgEncoding, 0, 0, msg.get()));
  if (!store)
    return ReportFailureWithReason(ctx, RC_STORE_OPEN,
                                   "Не удалось открыть хранилище по хэндлу криптографического сообщения");

  DWORD count = 0;
  size = sizeof count;
  if (!CryptMsgGetParam(msg.get(), CMSG_SIGNER_COUNT_PARAM, 0, &count, &size))
    return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить количество подписантов");

  for (DWORD i = 0; i < count; ++i) {
    std::vector<BYTE> info;
    DWORD info_size = 0;
    const auto read = [&](BYTE* buffer, DWORD& len) {
      return CryptMsgGetParam(msg.get(), CMSG_SIGNER_CERT_INFO_PARAM, i, buffer, &len) != FALSE;
    };
    const SizedStep step = ReadSized(read, info, info_size, sizeof(CERT_INFO));
    if (step == SizedStep::kSize)
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить размер информации о подписанте");
    if (step != SizedStep::kDone)
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить информацию о подписанте");
    auto_cert found(CertGetSubjectCertificateFromStore(store.get(), kMsgEncoding,
                                                       reinterpret_cast<PCERT_INFO>(info.data())));
    if (!found) return ReportFailure(ctx, RC_CERT_NOT_IN_STORE, "Не удалось выгрузить сертификат подписанта");
    // An independent context the host owns and frees.
    auto_cert own(CertCreateCertificateContext(found.get()->dwCertEncodingType, found.get()->pbCertEncoded,
                                               found.get()->cbCertEncoded));
    SignerCheckResult record;
    if (own)
      record.signValid = CryptMsgControl(msg.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, own.get()->pCertInfo) != FALSE;
    record.cert = own.release();
    list.items.push_back(std::move(record));
  }
  return RC_OK;
}
