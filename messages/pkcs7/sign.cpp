#include "messages/pkcs7/sign.h"

#include <vector>

#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/content_writer.h"
#include "messages/parties.h"
#include "messages/private_key.h"
#include "messages/stream_io.h"
#include "stores/auto_handle.h"
#include "certs/instance_context.h"
#include "stores/cert_ident.h"
#include "stores/store_set.h"
#include "support/read_sized.h"

namespace {

// The digest the platform is asked for; it signs with GOST R 34.11-94 and writes the hash
// identifier other CMS implementations expect.
char kDigestOid[] = szOID_CP_GOST_28147;
char kSigningTimeOid[] = szOID_RSA_signingTime;

// The signing-time attribute's value: the current UTC time as the platform encodes it. Empty
// when any step fails; the message is then signed without attributes.
std::vector<BYTE> EncodeSigningTime() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return ReadSized<DWORD>([&](BYTE* buffer, DWORD& len) {
    return CryptEncodeObject(X509_ASN_ENCODING, szOID_RSA_signingTime, &now, buffer, &len) != FALSE;
  });
}

}  // namespace

int32_t SignStream(InstanceContext& ctx, const CertPartyParam& party, std::istream& in, std::ostream& out,
                   bool detached) {
  auto_cert cert;
  if (const int32_t rc = FindSigner(ctx, party, cert)) return rc;

  HCRYPTPROV prov = 0;
  auto_prov owned_prov;
  if (!AcquireCertificateKey(ctx, cert.get(), prov, owned_prov))
    return ReportFailure(ctx, RC_PRIVATE_KEY_NOT_FOUND,
                         "Не удалось найти закрытый ключ сертификата отправителя : %s (%s)!",
                         PartyIdentifier(party).c_str(), "");
  ReportProvider(ctx.log(), prov);

  std::vector<BYTE> signing_time = EncodeSigningTime();
  CRYPT_ATTR_BLOB time_value{static_cast<DWORD>(signing_time.size()), signing_time.data()};
  CRYPT_ATTRIBUTE time_attr{kSigningTimeOid, 1, &time_value};

  CMSG_SIGNER_ENCODE_INFO signer{};
  signer.cbSize = sizeof signer;
  signer.pCertInfo = cert.get()->pCertInfo;
  signer.hCryptProv = prov;
  signer.dwKeySpec = AT_KEYEXCHANGE;
  signer.HashAlgorithm.pszObjId = kDigestOid;
  if (!signing_time.empty()) {
    signer.cAuthAttr = 1;
    signer.rgAuthAttr = &time_attr;
  }
  CERT_BLOB own_cert{cert.get()->cbCertEncoded, cert.get()->pbCertEncoded};
  CMSG_SIGNED_ENCODE_INFO signed_info{};
  signed_info.cbSize = sizeof signed_info;
  signed_info.cSigners = 1;
  signed_info.rgSigners = &signer;
  signed_info.cCertEncoded = 1;
  signed_info.rgCertEncoded = &own_cert;

  const int64_t length = ProbeStreamLength64(in);
  if (length < 0) return ReportFailureWithReason(ctx, RC_BAD_PARAMETER, "Ошибка данных: поток пуст");
  ctx.log().Log("Размер подписываемых данных %lld", static_cast<long long>(length));

  if (!detached) {
    // Streamed as it is produced, definite-length DER for a content length the encoder is
    // told (BER beyond 4 GiB): the message never sits in memory whole.
    // A host stream that went bad stops the message (a strict writer).
    ContentWriter writer(out, true);
    CMSG_STREAM_INFO* stream =
        writer.StreamInfo(length < CMSG_INDEFINITE_LENGTH ? static_cast<DWORD>(length) : CMSG_INDEFINITE_LENGTH);
    auto_msg msg(CryptMsgOpenToEncode(kMsgEncoding, 0, CMSG_SIGNED, &signed_info, nullptr, stream));
    if (!msg)
      return ReportFailureWithReason(ctx, RC_MSG_OPEN_ENCODE,
                                     "Не удалось открыть криптографическое сообщение для шифрования");
    return FeedMessage(ctx, msg.get(), in, length, nullptr, &writer);
  }

  // A detached signature is small: the content is hashed, not held.
  const DWORD encoded_len =
      CryptMsgCalculateEncodedLength(kMsgEncoding, CMSG_DETACHED_FLAG, CMSG_SIGNED, &signed_info, nullptr, 0);
  if (encoded_len == 0)
    return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось определить размер для кодирования");

  std::vector<BYTE> encoded;
  if (!TryResize(encoded, encoded_len))
    return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Не удалось выделить %d байт памяти для кодирования",
                         static_cast<int>(encoded_len));

  auto_msg msg(CryptMsgOpenToEncode(kMsgEncoding, CMSG_DETACHED_FLAG, CMSG_SIGNED, &signed_info, nullptr, nullptr));
  if (!msg)
    return ReportFailureWithReason(ctx, RC_MSG_OPEN_ENCODE,
                                   "Не удалось открыть криптографическое сообщение для шифрования");

  if (const int32_t rc = FeedMessage(ctx, msg.get(), in, length)) return rc;

  DWORD got = encoded_len;
  if (!CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, encoded.data(), &got))
    return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить подпись");
  out.write(reinterpret_cast<const char*>(encoded.data()), static_cast<std::streamsize>(got));
  return RC_OK;
}
