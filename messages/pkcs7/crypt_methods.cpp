#include "messages/pkcs7/crypt_methods.h"

#include <new>
#include <stdexcept>

#include "support/read_sized.h"

namespace {

[[noreturn]] void Fail(const char* text) { throw std::runtime_error(text); }

// A key blob in two steps: the size, then the bytes.
// A sized read that fails with the size query's text or the fill's (an allocation failure
// leaves as std::bad_alloc, as the rest of these methods do).
template <class Fill>
void ReadOrFail(Fill&& fill, std::vector<uint8_t>& out, const char* size_failure, const char* failure) {
  DWORD size = 0;
  switch (ReadSized(fill, out, size)) {
    case SizedStep::kDone:
      return;
    case SizedStep::kSize:
      Fail(size_failure);
    case SizedStep::kMemory:
      throw std::bad_alloc();
    case SizedStep::kData:
      Fail(failure);
  }
}

void ExportBlob(HCRYPTKEY key, HCRYPTKEY wrap, DWORD type, std::vector<uint8_t>& out, const char* size_failure,
                const char* failure) {
  ReadOrFail([&](BYTE* buffer, DWORD& len) { return CryptExportKey(key, wrap, type, 0, buffer, &len) != FALSE; }, out,
             size_failure, failure);
}

}  // namespace

CCryptMethods::CCryptMethods() {
  if (!CryptAcquireContextA(provider_.put(), nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT))
    Fail("Ошибка инициализации контекста криптопровайдера.");
}

CCryptMethods::~CCryptMethods() {
  // Keys before the context that made them.
  sender_key_.reset();
  session_key_.reset();
}

void CCryptMethods::GenerateKeys(PCCERT_CONTEXT sender) {
  if (sender != nullptr) throw std::invalid_argument("Работа с сертификатом отправителя не реализована.");
  auto_key session;
  if (!CryptGenKey(provider_.get(), CALG_G28147, CRYPT_EXPORTABLE, session.put()))
    Fail("Ошибка генерации сессионного ключа.");
  auto_key ephemeral;
  if (!CryptGenKey(provider_.get(), CALG_DH_EL_EPHEM, 0, ephemeral.put())) Fail("Ошибка генерации эфемерного ключа.");
  sender_key_ = std::move(ephemeral);
  ephemeral_ = true;
  session_key_ = std::move(session);
}

void CCryptMethods::ExportKeys(PCCERT_CONTEXT recipient, std::vector<uint8_t>& session_key_blob,
                               std::vector<uint8_t>& sender_public_blob, std::vector<uint8_t>& export_iv,
                               bool& ephemeral) {
  if (!session_key_) Fail("Сессионный ключ не инициализирован.");
  if (!sender_key_) Fail("Ключ отправителя не инициализирован.");
  auto_key recipient_key;
  if (!CryptImportPublicKeyInfo(provider_.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                &recipient->pCertInfo->SubjectPublicKeyInfo, recipient_key.put()))
    Fail("Ошибка импорта открытого ключа получателя из сертификата.");
  std::vector<uint8_t> recipient_blob;
  ExportBlob(recipient_key.get(), 0, PUBLICKEYBLOB, recipient_blob,
             "Ошибка экспорта открытого ключа получателя (получение размера данных).",
             "Ошибка экспорта открытого ключа получателя.");
  auto_key agreement;
  if (!CryptImportKey(provider_.get(), recipient_blob.data(), static_cast<DWORD>(recipient_blob.size()),
                      sender_key_.get(), 0, agreement.put()))
    Fail("Ошибка импорта открытого ключа получателя.");
  const ALG_ID export_alg = CALG_PRO_EXPORT;
  if (!CryptSetKeyParam(agreement.get(), KP_ALGID, reinterpret_cast<const BYTE*>(&export_alg), 0))
    Fail("Ошибка установки алгоритма передачи ключей.");
  ReadOrFail([&](BYTE* buffer, DWORD& len) { return CryptGetKeyParam(agreement.get(), KP_IV, buffer, &len, 0) != FALSE; },
             export_iv, "Ошибка получения вектора инициализации экспорта ключа (получение размера данных).",
             "Ошибка получения вектора инициализации экспорта ключа.");
  ExportBlob(session_key_.get(), agreement.get(), SIMPLEBLOB, session_key_blob,
             "Ошибка экспорта сессионного ключа (получение размера данных).", "Ошибка экспорта сессионного ключа.");
  ExportBlob(sender_key_.get(), 0, PUBLICKEYBLOB, sender_public_blob,
             "Ошибка экспорта ключа отправителя (получение размера данных).", "Ошибка экспорта ключа отправителя.");
  ephemeral = ephemeral_;
}

void CCryptMethods::GetContentAlgorithm(ALG_ID& algorithm, std::vector<uint8_t>& iv) {
  DWORD size = sizeof(algorithm);
  if (!CryptGetKeyParam(session_key_.get(), KP_ALGID, reinterpret_cast<BYTE*>(&algorithm), &size, 0))
    Fail("Ошибка получения алгоритма шифрования данных.");
  iv.resize(8);
  DWORD iv_size = static_cast<DWORD>(iv.size());
  if (!CryptGetKeyParam(session_key_.get(), KP_IV, iv.data(), &iv_size, 0)) Fail("Ошибка получения IV сессионного ключа.");
  iv.resize(iv_size);
}

void CCryptMethods::Encrypt(const uint8_t* data, uint32_t length, bool final, std::vector<uint8_t>& out) {
  // CFB leaves the length as it is; the room doubles only because the provider may ask more.
  out.assign(data, data + length);
  out.resize(size_t(length) * 2 + (length == 0 ? 8 : 0));
  DWORD done = length;
  if (!CryptEncrypt(session_key_.get(), 0, final ? TRUE : FALSE, 0, out.data(), &done, static_cast<DWORD>(out.size())))
    Fail("Ошибка шифрования данных.");
  out.resize(done);
}
