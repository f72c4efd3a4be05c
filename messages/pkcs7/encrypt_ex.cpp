#include "messages/pkcs7/encrypt_ex.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/pkcs7/crypt_methods.h"
#include "messages/pkcs7/enveloped_data.h"
#include "messages/stream_io.h"
#include "stores/cert_ident.h"
#include "certs/instance_context.h"
#include "text/text.h"
#include "support/format.h"
#include "support/read_sized.h"

namespace {

constexpr char kGost28147Oid[] = "1.2.643.2.2.21";
// The code of a failure nothing describes; its text is "Неизвестная ошибка".
constexpr int32_t kUnknownFailure = -100;

// Plaintext blocks of a stream of known size, from its start.
class CData final : public CPKCS7EnvelopedData::IData {
 public:
  CData(std::istream& in, int64_t total, uint32_t block_size) : total_(total), in_(in), buffer_(block_size) {
    in_.clear();
    in_.seekg(0);
  }
  void GetNextBlock(const uint8_t*& data, uint32_t& length, bool& last) override {
    length = 0;
    if (in_.good()) {
      in_.read(reinterpret_cast<char*>(buffer_.data()), static_cast<std::streamsize>(buffer_.size()));
      length = static_cast<uint32_t>(in_.gcount());
    }
    delivered_ += length;
    data = buffer_.data();
    last = delivered_ >= static_cast<uint64_t>(total_);
  }

 private:
  uint64_t delivered_ = 0;
  int64_t total_;
  std::istream& in_;
  std::vector<uint8_t> buffer_;
};

void LogRecipients(InstanceContext& ctx, const vector_cert& certs) {
  std::string text = text::Utf8ToCp1251("\r\n--------------- Шифрование ---------------\r\n") +
                     Format(text::Utf8ToCp1251("Сертификаты шифрования: количество {%d}\r\n").c_str(),
                            static_cast<int>(certs.size()));
  int number = 0;
  for (PCCERT_CONTEXT cert : certs)
    text += Format("%d. %s\r\n", ++number, GetCertShortDescription(cert, &ctx.log()).c_str());
  ctx.log().LogText(text);
}

int32_t EncryptByPlatform(InstanceContext& ctx, std::istream& in, std::ostream& out, HCRYPTPROV prov,
                          const vector_cert& certs, int64_t size) {
  std::vector<BYTE> plain;
  if (!TryResize(plain, static_cast<size_t>(size)))
    return ReportFailureWithReason(ctx, RC_OUT_OF_MEMORY, "Не удалось загрузить данные для шифрования в буфер.");
  in.read(reinterpret_cast<char*>(plain.data()), static_cast<std::streamsize>(size));
  if (in.gcount() != static_cast<std::streamsize>(size))
    return ReportFailureWithReason(ctx, RC_OUT_OF_MEMORY, "Не удалось загрузить данные для шифрования в буфер.");

  CRYPT_ENCRYPT_MESSAGE_PARA para{};
  para.cbSize = 36;
  para.dwMsgEncodingType = kMsgEncoding;
  para.hCryptProv = prov;
  para.ContentEncryptionAlgorithm.pszObjId = const_cast<char*>(kGost28147Oid);
  std::vector<PCCERT_CONTEXT> recipients(certs.begin(), certs.end());
  DWORD length = 0;
  if (!CryptEncryptMessage(&para, static_cast<DWORD>(recipients.size()), recipients.data(), plain.data(),
                           static_cast<DWORD>(plain.size()), nullptr, &length))
    return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить размер буфера для зашифрованных данных.");
  // Room beyond the size asked for, as the platform may want more once the keys exist.
  length = static_cast<DWORD>(std::min<uint64_t>(uint64_t{length} + recipients.size() * uint64_t{length} / 5,
                                                 std::numeric_limits<DWORD>::max()));
  std::vector<BYTE> message;
  if (!TryResize(message, length))
    return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Не удалось выделить %d байт памяти под буфер для зашифрованных данных!",
                         static_cast<int>(length));
  if (!CryptEncryptMessage(&para, static_cast<DWORD>(recipients.size()), recipients.data(), plain.data(),
                           static_cast<DWORD>(plain.size()), message.data(), &length))
    return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить зашифрованные данные.");
  out.write(reinterpret_cast<const char*>(message.data()), length);
  if (!out) return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось сохранить зашифрованные данные в поток.");
  return RC_OK;
}

int32_t EncryptByOwnWriter(InstanceContext& ctx, std::istream& in, std::ostream& out, const vector_cert& certs,
                           int64_t size) {
  try {
    CCryptMethods encryptor;
    const std::vector<PCCERT_CONTEXT> recipients(certs.begin(), certs.end());
    std::optional<CPKCS7EnvelopedData> message;
    if (size <= int64_t{kEncryptBlock}) {
      std::vector<uint8_t> plain(static_cast<size_t>(size));
      in.clear();
      in.seekg(0);
      in.read(reinterpret_cast<char*>(plain.data()), static_cast<std::streamsize>(size));
      if (in.gcount() != static_cast<std::streamsize>(size)) throw std::runtime_error("PKCS7EnvData: The input ended before its measured size.");
      message.emplace(recipients.data(), recipients.size(), plain.data(), static_cast<uint32_t>(size), &encryptor);
    } else {
      CData source(in, size, kEncryptBlock);
      message.emplace(recipients.data(), recipients.size(), source, &encryptor);
    }
    message->Write(out);
    return RC_OK;
  } catch (const CryptoOperations::baseCryptoException& e) {
    return ReportFailure(ctx, RC_MSG_OPEN_ENCODE, "При попытке шифрования возникла ошибка: %s", e.what());
  } catch (const std::exception& e) {
    return ReportFailure(ctx, RC_MSG_OPEN_ENCODE, "При попытке шифрования возникла ошибка: %s",
                         text::Utf8ToCp1251(e.what()).c_str());
  } catch (...) {
    return ReportFailure(ctx, kUnknownFailure, "При попытке шифрования возникла ошибка: Неизвестная ошибка");
  }
}

}  // namespace

int32_t CheckEncryptInput(InstanceContext& ctx, std::istream& in, int64_t& size) {
  size = ProbeStreamLength64(in);
  if (size < 0) return ReportFailureWithReason(ctx, RC_BAD_PARAMETER, "Ошибка данных: поток пуст");
  if (size > kMaxEncryptInput) return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Размер данных превышает максимальнодопустимый");
  return RC_OK;
}

int32_t encrypt_stream_ex_alg(InstanceContext& ctx, std::istream& in, std::ostream& out, HCRYPTPROV prov,
                              const vector_cert& certs, bool use_platform) {
  LogRecipients(ctx, certs);
  int64_t size = 0;
  if (const int32_t rc = CheckEncryptInput(ctx, in, size)) return rc;
  if (!use_platform) return EncryptByOwnWriter(ctx, in, out, certs, size);
  return EncryptByPlatform(ctx, in, out, prov, certs, size);
}
