#include "messages/f141/encryption.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "certs/crl_check.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/f141/certificates.h"
#include "messages/f141/fields.h"
#include "messages/f141/hash_loop.h"
#include "messages/parties.h"
#include "messages/private_key.h"
#include "messages/stream_io.h"
#include "stores/auto_handle.h"
#include "stores/cert_ident.h"
#include "certs/instance_context.h"
#include "stores/store_set.h"
#include "support/bindata.h"

namespace {

using CBuffer = std::unique_ptr<BYTE, decltype(&std::free)>;

// A thumbprint field as upper-case hexadecimal, whatever its length.
std::string ThumbText(const std::vector<uint8_t>& field) {
  std::string hex = CBinData(field.data(), static_cast<uint32_t>(field.size())).ToHex();
  for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return hex;
}

// Writes the certificate's thumbprint and common name; false when the thumbprint cannot be
// read.
bool WriteParty(InstanceContext& ctx, PCCERT_CONTEXT cert, std::ostream& out) {
  CRYPT_DATA_BLOB thumb{0, nullptr};
  if (!CertGetThumb(cert, thumb, &ctx.log())) return false;
  const CBuffer owner(thumb.pbData, &std::free);
  f141::WriteBlob(out, thumb.pbData, thumb.cbData);
  f141::WriteBlob(out, GetCertCommonName(cert));
  return true;
}

}  // namespace

int32_t Encrypt141(InstanceContext& ctx, std::istream& in, std::ostream& out, const CertPartyList& parties) {
  if (parties.size() != 2)
    return ReportFailure(ctx, RC_SYSTEM_ERROR, "Неверное количество ключей получателей, должно быть 2");
  const CertPartyParam* sender = nullptr;
  const CertPartyParam* recipient = nullptr;
  for (const CertPartyParam& p : parties) (p.isSender ? sender : recipient) = &p;
  if (sender == nullptr) return ReportFailure(ctx, RC_SYSTEM_ERROR, "Не задан ключ отправителя");
  if (recipient == nullptr) return ReportFailure(ctx, RC_SYSTEM_ERROR, "Не задан ключ получателя");

  if (const int32_t rc = ctx.stores.Open(f141::kStores); rc != RC_OK) return rc;
  // A family host's certificates are found without their revocation lists.
  CAutoSkipCRLChecker skip_crl(ctx);
  auto_cert sender_cert, recipient_cert;
  if (!f141::FindParty(ctx, *sender, sender_cert))
    return ReportFailure(ctx, RC_CERT_NOT_IN_STORE, "Не удалось найти действительный сертификат отправителя : %s(%s)!",
                         PartyIdentifier(*sender).c_str(), "");
  if (const int32_t rc = f141::RequireGost2001Key(ctx, sender_cert.get()); rc != RC_OK) return rc;
  HCRYPTPROV prov = 0;
  auto_prov owned_prov;
  if (!AcquireCertificateKey(ctx, sender_cert.get(), prov, owned_prov))
    return ReportFailure(ctx, RC_PRIVATE_KEY_NOT_FOUND, "Не удалось найти закрытый ключ сертификата отправителя");
  ReportProvider(ctx.log(), prov);
  if (!f141::FindParty(ctx, *recipient, recipient_cert))
    return ReportFailure(ctx, RC_CERT_NOT_IN_STORE, "Не удалось найти действительный сертификат получателя : %s(%s)!",
                         PartyIdentifier(*recipient).c_str(), "");
  if (const int32_t rc = f141::RequireGost2001Key(ctx, recipient_cert.get()); rc != RC_OK) return rc;

  CallLog& log = ctx.log();
  log.Log("\r\n--------------- Шифрование 141 ---------------\r\n"
          "Сертификат отправителя: %s\r\nСертификат получателя: %s\r\n",
          GetCertShortDescription(sender_cert.get(), &log).c_str(),
          GetCertShortDescription(recipient_cert.get(), &log).c_str());

  f141::WriteU32(out, f141::kVersion);
  if (!WriteParty(ctx, sender_cert.get(), out))
    return ReportFailure(ctx, RC_THUMBPRINT, "Не удалось получить отпечаток сертификата отправителя");
  if (!WriteParty(ctx, recipient_cert.get(), out))
    return ReportFailure(ctx, RC_THUMBPRINT, "Не удалось получить отпечаток сертификата получателя");

  auto_key sender_key;
  if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, sender_key.put()))
    return ReportFailureWithReason(ctx, RC_PUBLIC_KEY, "Не удалось получить информацию об открытом ключе");
  auto_key recipient_public;
  if (!CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, &recipient_cert.get()->pCertInfo->SubjectPublicKeyInfo,
                                recipient_public.put()))
    return ReportFailureWithReason(ctx, RC_PUBLIC_KEY, "Не удалось получить ключ получателя");
  std::vector<BYTE> recipient_blob;
  uint32_t length = 0;
  switch (f141::ExportKeyBlob(recipient_public.get(), 0, PUBLICKEYBLOB, recipient_blob, length)) {
    case SizedStep::kDone:
      break;
    case SizedStep::kSize:
      return ReportFailureWithReason(ctx, RC_PUBLIC_KEY, "Не удалось получить ключ получателя");
    case SizedStep::kMemory:
      return ReportFailure(ctx, RC_OUT_OF_MEMORY,
                           "Не удалось выделить %d байт памяти для получения открытого ключа получателя!",
                           static_cast<int>(length));
    case SizedStep::kData:
      return ReportFailureWithReason(ctx, RC_PUBLIC_KEY, "Не удалось получить октрытый ключ получателя");
  }
  auto_key agreement;
  if (!CryptImportKey(prov, recipient_blob.data(), static_cast<DWORD>(recipient_blob.size()), sender_key.get(), 0,
                      agreement.put()))
    return ReportFailureWithReason(ctx, RC_AGREEMENT_KEY, "Не удалось создать ключ согласования");

  auto_key session;
  if (!CryptGenKey(prov, CALG_G28147, CRYPT_EXPORTABLE, session.put()))
    return ReportFailureWithReason(ctx, RC_SESSION_KEY, "Не удалось создать сессионный ключ");
  std::vector<BYTE> wrapped;
  switch (f141::ExportKeyBlob(session.get(), agreement.get(), SIMPLEBLOB, wrapped, length)) {
    case SizedStep::kDone:
      break;
    case SizedStep::kSize:
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось узнать размер сессионного ключа");
    case SizedStep::kMemory:
      return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Не удалось выделить %d байт памяти для получения сессионного ключа!",
                           static_cast<int>(length));
    case SizedStep::kData:
      return ReportFailureWithReason(ctx, RC_SESSION_KEY, "Не удалось получить сессионный ключ");
  }
  f141::WriteBlob(out, wrapped);

  const DWORD mode = CRYPT_MODE_CFB;
  if (!CryptSetKeyParam(session.get(), KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0))
    return ReportFailureWithReason(ctx, RC_CIPHER_MODE, "Не удалось установить режим блочного шифрования");
  std::vector<BYTE> iv;
  DWORD iv_len = 0;
  const auto read_iv = [&](BYTE* buffer, DWORD& len) {
    return CryptGetKeyParam(session.get(), KP_IV, buffer, &len, 0) != FALSE;
  };
  switch (ReadSized(read_iv, iv, iv_len)) {
    case SizedStep::kDone:
      break;
    case SizedStep::kSize:
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить длину вектора инициализации");
    case SizedStep::kMemory:
      return ReportFailure(ctx, RC_OUT_OF_MEMORY,
                           "Не удалось выделить %d байт памяти для получения вектора инициализации",
                           static_cast<int>(iv_len));
    case SizedStep::kData:
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить вектор инициализации");
  }
  f141::WriteBlob(out, iv);

  // The length field is 32 bits wide: a longer input cannot be described.
  const int64_t size = ProbeStreamLength64(in);
  if (size < 0 || size > int64_t{UINT32_MAX})
    return ReportFailureWithReason(ctx, RC_MSG_READ, "Неверный размер данных потока");
  f141::WriteU32(out, static_cast<uint32_t>(size));

  const size_t block_len = f141::BlockSize(size) + 1;
  std::vector<BYTE> block;
  if (!TryResize(block, block_len))
    return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Не удалось выделить %d байт памяти для шифрования",
                         static_cast<int>(block_len));
  in.clear();
  in.seekg(0, std::ios::beg);
  for (bool final = false; !final;) {
    in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block_len));
    DWORD got = static_cast<DWORD>(in.gcount());
    if (in.bad()) return ReportFailure(ctx, RC_MSG_UPDATE, "Ошибка чтения блока данных из потока");
    final = in.eof() || got == 0;
    if (!CryptEncrypt(session.get(), 0, final ? TRUE : FALSE, 0, block.data(), &got, static_cast<DWORD>(block_len)))
      return ReportFailureWithReason(ctx, RC_ENCRYPT, "Произошла ошибка при шифровании данных");
    out.write(reinterpret_cast<const char*>(block.data()), got);
  }
  return RC_OK;
}

int32_t Decrypt141(InstanceContext& ctx, std::istream& in, std::ostream& out) {
  if (const int32_t rc = ctx.stores.Open(f141::kStores); rc != RC_OK) return rc;

  uint32_t version = 0;
  if (!f141::ReadU32(in, version) || version != f141::kVersion)
    return ReportFailure(ctx, RC_DATA_READ, "Не верный формат данных");
  std::vector<uint8_t> sender_thumb, sender_name, recipient_thumb, recipient_name;
  for (std::vector<uint8_t>* field : {&sender_thumb, &sender_name, &recipient_thumb, &recipient_name})
    if (const int32_t rc = f141::ReadField(ctx, in, "", *field)) return rc;

  auto_cert sender_cert, recipient_cert;
  if (!f141::FindByThumbprint(ctx, sender_thumb, sender_cert))
    return ReportFailure(ctx, RC_CERT_NOT_IN_STORE,
                         "Не удалось найти действительный сертификат отправителя : %s, c отпечатком %s!",
                         f141::NameFieldText(sender_name).c_str(), ThumbText(sender_thumb).c_str());
  if (!f141::FindByThumbprint(ctx, recipient_thumb, recipient_cert))
    return ReportFailure(ctx, RC_CERT_NOT_IN_STORE,
                         "Не удалось найти действительный сертификат получателя : %s, c отпечатком %s!",
                         f141::NameFieldText(recipient_name).c_str(), ThumbText(recipient_thumb).c_str());

  HCRYPTPROV prov = 0;
  auto_prov owned_prov;
  if (!AcquireCertificateKey(ctx, recipient_cert.get(), prov, owned_prov))
    return ReportFailureWithReason(ctx, RC_PROVIDER_CONTEXT, "Не удалось инициализировать крипто провайдера");
  ReportProvider(ctx.log(), prov);
  auto_key recipient_key;
  if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, recipient_key.put()))
    return ReportFailureWithReason(ctx, RC_PRIVATE_KEY_NOT_FOUND,
                                   "Не удалось получить ключ для обмена сообщений получателя");

  auto_key sender_public;
  if (!CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, &sender_cert.get()->pCertInfo->SubjectPublicKeyInfo,
                                sender_public.put()))
    return ReportFailureWithReason(ctx, RC_PUBLIC_KEY, "Не удалось получить открытый ключ отправителя");
  std::vector<BYTE> sender_blob;
  uint32_t length = 0;
  switch (f141::ExportKeyBlob(sender_public.get(), 0, PUBLICKEYBLOB, sender_blob, length)) {
    case SizedStep::kDone:
      break;
    case SizedStep::kSize:
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить размер ключа отправителя");
    case SizedStep::kMemory:
      return ReportFailure(ctx, RC_OUT_OF_MEMORY,
                           "Не удалось выделить %d байт памяти для чтения открытого ключа отправителя!",
                           static_cast<int>(length));
    case SizedStep::kData:
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось прочитать, открытый ключ отправителя");
  }
  auto_key agreement;
  if (!CryptImportKey(prov, sender_blob.data(), static_cast<DWORD>(sender_blob.size()), recipient_key.get(), 0,
                      agreement.put()))
    return ReportFailureWithReason(ctx, RC_AGREEMENT_KEY, "Не удалось создать ключ, согласования");

  std::vector<uint8_t> wrapped, iv;
  if (const int32_t rc = f141::ReadField(ctx, in, "", wrapped)) return rc;
  auto_key session;
  if (!CryptImportKey(prov, wrapped.data(), static_cast<DWORD>(wrapped.size()), agreement.get(), 0, session.put()))
    return ReportFailureWithReason(ctx, RC_SESSION_KEY,
                                   "При расшифровке сессионного ключа на ключе обмена произошла ошибка");
  const DWORD mode = CRYPT_MODE_CFB;
  if (!CryptSetKeyParam(session.get(), KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0))
    return ReportFailureWithReason(ctx, RC_CIPHER_MODE, "При установке блочного режима шифрования произошла ошибка");
  if (const int32_t rc = f141::ReadField(ctx, in, "", iv)) return rc;
  if (!CryptSetKeyParam(session.get(), KP_IV, iv.data(), 0))
    return ReportFailureWithReason(ctx, RC_CIPHER_MODE, "При установке вектора инициализации произошла ошибка");

  uint32_t plain_len = 0;
  if (!f141::ReadU32(in, plain_len)) return ReportFailure(ctx, RC_DATA_READ, "Не верный формат данных");
  const size_t block_len = f141::BlockSize(plain_len) + 1;
  std::vector<BYTE> block;
  if (!TryResize(block, block_len))
    return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Не удалось выделить %d байт памяти для расшифровки",
                         static_cast<int>(block_len));
  uint64_t total = 0;
  for (bool final = false; !final;) {
    in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block_len));
    DWORD got = static_cast<DWORD>(in.gcount());
    if (in.bad()) return ReportFailure(ctx, RC_MSG_UPDATE, "Ошибка чтения блока данных из потока");
    final = in.eof() || got < block_len;
    if (!CryptDecrypt(session.get(), 0, final ? TRUE : FALSE, 0, block.data(), &got))
      return ReportFailureWithReason(ctx, RC_DECRYPT, "При расшифровке данных произошла ошибка");
    out.write(reinterpret_cast<const char*>(block.data()), got);
    total += got;
  }
  // A ciphertext cut short (or grown) in transit would otherwise pass as a shorter (longer)
  // plaintext.
  if (total != plain_len) return ReportFailure(ctx, RC_DATA_READ, "Не верный формат данных");
  return RC_OK;
}
