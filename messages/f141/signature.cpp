#include "messages/f141/signature.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "certs/crl_check.h"
#include "certs/text_case.h"
#include "der/der.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/f141/certificates.h"
#include "messages/f141/fields.h"
#include "messages/f141/hash_loop.h"
#include "messages/parties.h"
#include "messages/private_key.h"
#include "stores/auto_handle.h"
#include "stores/cert_ident.h"
#include "certs/instance_context.h"
#include "stores/store_set.h"
#include "text/text.h"

namespace {

// Whether a name (the signature's name field or the certificate's common name) contains the
// expected owner, ignoring case; a mismatch is logged.
bool OwnerMatches(CallLog& log, const std::string& name, const std::string& expected) {
  if (!name.empty() && !expected.empty() && Cp1251Lower(name).find(Cp1251Lower(expected)) != std::string::npos)
    return true;
  log.Log("Subject \"%s\" не валидный! Неверное имя владельца сертификата: %s вместо %s!", name.c_str(), name.c_str(),
          expected.c_str());
  return false;
}

// The curve and the point of a public key as the provider exports it (PUBLICKEYBLOB: a
// 16-byte head, the DER key parameters, the key); false for a blob of another shape.
bool KeyIdentity(HCRYPTKEY key, std::vector<uint8_t>& curve, std::vector<uint8_t>& point) {
  std::vector<uint8_t> blob;
  uint32_t length = 0;
  if (f141::ExportKeyBlob(key, 0, PUBLICKEYBLOB, blob, length) != SizedStep::kDone) return false;
  der::Reader r(blob.data(), blob.size());
  const uint8_t* head = nullptr;
  der::Reader params;
  der::Tlv oid;
  if (!r.Bytes(16, head) || !r.Enter(der::kSequence, params) || !params.Expect(der::kOid, oid)) return false;
  curve.assign(oid.start, oid.start + oid.size);
  point.assign(r.pos(), r.pos() + r.remaining());
  return !point.empty();
}

// Whether two keys are the same public key: the same curve and the same point (the blobs'
// algorithm and digest parameters may differ between a signature and an exchange key).
bool SameKey(HCRYPTKEY a, HCRYPTKEY b) {
  std::vector<uint8_t> curve_a, point_a, curve_b, point_b;
  return KeyIdentity(a, curve_a, point_a) && KeyIdentity(b, curve_b, point_b) && curve_a == curve_b &&
         point_a == point_b;
}

}  // namespace

int32_t Sign141(InstanceContext& ctx, const CertPartyParam& party, std::istream& in, std::ostream& out) {
  const std::string who = PartyIdentifier(party);
  if (const int32_t rc = ctx.stores.Open(f141::kStores); rc != RC_OK) return rc;

  auto_cert cert;
  if (!f141::FindParty(ctx, party, cert))
    return ReportFailure(ctx, RC_CERT_NOT_IN_STORE, "Не удалось найти действительный сертификат отправителя: %s(%s)!",
                         who.c_str(), "");
  if (const int32_t rc = f141::RequireGost2001Key(ctx, cert.get()); rc != RC_OK) return rc;
  ctx.log().Log("\r\n--------------- Подпись 141 ---------------\r\nСертификат подписи: %s\r\n",
                GetCertShortDescription(cert.get(), &ctx.log()).c_str());

  HCRYPTPROV prov = 0;
  auto_prov owned_prov;
  if (!AcquireCertificateKey(ctx, cert.get(), prov, owned_prov))
    return ReportFailure(ctx, RC_PRIVATE_KEY_NOT_FOUND, "Не удалось найти закрытый ключ сертификата отправителя: %s(%s)!",
                         who.c_str(), "");
  ReportProvider(ctx.log(), prov);

  f141::WriteU32(out, f141::kVersion);
  CRYPT_DATA_BLOB thumb{0, nullptr};
  if (!CertGetThumb(cert.get(), thumb, &ctx.log()))
    return ReportFailure(ctx, RC_THUMBPRINT, "Не удалось получить отпечаток сертификата отправителя!");
  const std::unique_ptr<BYTE, decltype(&std::free)> thumb_owner(thumb.pbData, &std::free);
  f141::WriteBlob(out, thumb.pbData, thumb.cbData);
  f141::WriteBlob(out, GetCertCommonName(cert.get()));

  auto_key user_key;
  if (!CryptGetUserKey(prov, AT_KEYEXCHANGE, user_key.put()))
    return ReportFailureWithReason(ctx, RC_PUBLIC_KEY, "Не удалось создать открытый ключ");
  std::vector<uint8_t> key_blob;
  uint32_t key_len = 0;
  switch (f141::ExportKeyBlob(user_key.get(), 0, PUBLICKEYBLOB, key_blob, key_len)) {
    case SizedStep::kDone:
      break;
    case SizedStep::kSize:
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось узнать размер открытого ключа");
    case SizedStep::kMemory:
      return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Не удалось выделить %d байт памяти для получения открытого ключа!",
                           static_cast<int>(key_len));
    case SizedStep::kData:
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить данные открытого ключа");
  }
  f141::WriteBlob(out, key_blob);
  f141::WriteU32(out, CALG_GR3411);

  auto_hash hash;
  if (!CryptCreateHash(prov, CALG_GR3411, 0, 0, hash.put()))
    return ReportFailureWithReason(ctx, RC_HASH_CREATE, "Не удалось получить хэш");
  if (const int32_t rc = f141::HashStream(ctx, hash.get(), in)) return rc;

  std::vector<BYTE> signature;
  DWORD sig_len = 0;
  const auto sign = [&](BYTE* buffer, DWORD& len) {
    return CryptSignHashA(hash.get(), AT_KEYEXCHANGE, nullptr, 0, buffer, &len) != FALSE;
  };
  switch (ReadSized(sign, signature, sig_len)) {
    case SizedStep::kDone:
      break;
    case SizedStep::kSize:
      return ReportFailureWithReason(ctx, RC_HASH_CREATE, "Не удалось получить размер ЦП");
    case SizedStep::kMemory:
      return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Не удалось выделить %d байт памяти для получения ЦП!",
                           static_cast<int>(sig_len));
    case SizedStep::kData:
      return ReportFailureWithReason(ctx, RC_HASH_CREATE, "Не удалось получить ЦП");
  }
  f141::WriteBlob(out, signature);
  return RC_OK;
}

int32_t Check141(InstanceContext& ctx, std::istream& signature, std::istream& content, SignerCheckList& list) {
  if (list.items.empty()) return RC_SENDER_CERT_MISSING;
  const std::string expected = PartyIdentifier(list.items.front());
  list.items.clear();
  CallLog& log = ctx.log();
  // A family host's signer is found without its revocation lists.
  CAutoSkipCRLChecker skip_crl(ctx);

  auto_prov prov;
  if (!CryptAcquireContextA(prov.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT))
    return ReportFailureWithReason(ctx, RC_PROVIDER_CONTEXT, "Не удалось получить контекст криптопровайдера");
  ReportProvider(log, prov.get());

  auto_hash hash;
  if (!CryptCreateHash(prov.get(), CALG_GR3411, 0, 0, hash.put()))
    return ReportFailureWithReason(ctx, RC_HASH_CREATE, "Не удалось создать хэш");
  if (const int32_t rc = f141::HashStream(ctx, hash.get(), content)) return rc;

  uint32_t version = 0;
  if (!f141::ReadU32(signature, version) || version != f141::kVersion)
    return ReportFailure(ctx, RC_DATA_READ, "Не верный формат данных подписи");
  std::vector<uint8_t> thumbprint, owner_field, key_blob, sig;
  if (const int32_t rc = f141::ReadField(ctx, signature, "Подпись - опечаток сертификата отправителя: ", thumbprint))
    return rc;
  if (const int32_t rc = f141::ReadField(ctx, signature, "Подпись - имя владельца: ", owner_field)) return rc;

  // The name field is not covered by the signature: it must name the expected owner, and so
  // must the certificate its thumbprint finds. An empty name or expectation names nobody.
  const std::string owner = f141::NameFieldText(owner_field);
  log.Log("Тестирование subject: %s", owner.c_str());
  if (!OwnerMatches(log, owner, expected)) return RC_CERT_VALIDITY_CHECK;
  log.Log("Subject \"%s\" валидный!", owner.c_str());

  if (const int32_t rc = ctx.stores.Open(f141::kStores); rc != RC_OK) return rc;
  auto_cert cert;
  if (!f141::FindByThumbprint(ctx, thumbprint, cert)) {
    log.Log("Не удалось найти действительный сертификат отправителя: %s(%s)", expected.c_str(), "");
    return RC_CERT_VALIDITY_CHECK;
  }
  if (!OwnerMatches(log, GetCertCommonName(cert.get()), expected)) return RC_CERT_VALIDITY_CHECK;

  if (const int32_t rc = f141::ReadField(ctx, signature, "Подпись - открытый ключ: ", key_blob)) return rc;
  auto_key embedded_key;
  if (!CryptImportKey(prov.get(), key_blob.data(), static_cast<DWORD>(key_blob.size()), 0, 0, embedded_key.put()))
    return ReportFailureWithReason(ctx, RC_DATA_READ, "Не удалось преобразовать данные открытого ключа в хэндл");
  // Anyone can embed a key of their own: the signature counts only with the key of the
  // certificate the head names, and is checked with that key.
  auto_key public_key;
  if (!CryptImportPublicKeyInfo(prov.get(), X509_ASN_ENCODING, &cert.get()->pCertInfo->SubjectPublicKeyInfo,
                                public_key.put()))
    return ReportFailureWithReason(ctx, RC_PUBLIC_KEY, "Не удалось получить открытый ключ отправителя");
  if (!SameKey(embedded_key.get(), public_key.get()))
    return ReportFailure(ctx, RC_CERT_INVALID,
                         "Открытый ключ подписи не совпадает с открытым ключом сертификата отправителя");

  uint32_t algorithm = 0;
  if (!f141::ReadU32(signature, algorithm) || algorithm != CALG_GR3411)
    return ReportFailure(ctx, RC_DATA_READ, "Не верный формат данных подписи");
  if (const int32_t rc = f141::ReadField(ctx, signature, "Подпись - цифровая подпись: ", sig)) return rc;
  if (signature.peek() != std::istream::traits_type::eof())
    return ReportFailure(ctx, RC_DATA_READ, "Не верный формат данных подписи");

  if (!CryptVerifySignatureA(hash.get(), sig.data(), static_cast<DWORD>(sig.size()), public_key.get(), nullptr, 0))
    return ReportFailure(ctx, RC_DATA_READ, "ЦП не верна");

  // The verified signer goes back to the host, so it can check the certificate further.
  SignerCheckResult signer;
  signer.subjectCN = NameToX500String(cert.get()->pCertInfo->Subject, false);
  GetCertThumbHex(cert.get(), signer.thumbprint, &log);
  signer.signValid = signer.certValid = true;
  signer.description = signer.subjectCN + "\t" + text::Utf8ToCp1251("Подпись верна Cертификат действителен") + "\t\t" +
                       signer.thumbprint;
  list.items.push_back(std::move(signer));
  return RC_OK;
}
