#include "messages/pkcs7/recipient_key.h"


#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/private_key.h"
#include "messages/stream_io.h"
#include "certs/instance_context.h"
#include "stores/store_set.h"
#include "support/format.h"
#include "support/read_sized.h"

namespace {

// A message parameter into a buffer of its size; 0, or the code of a reported failure;
// `got` false when the platform has no such parameter (yet).
int32_t GetParam(InstanceContext& ctx, HCRYPTMSG msg, DWORD param, DWORD index, std::vector<BYTE>& out, bool& got) {
  got = false;
  DWORD size = 0;
  const auto read = [&](BYTE* buffer, DWORD& len) { return CryptMsgGetParam(msg, param, index, buffer, &len) != FALSE; };
  switch (ReadSized(read, out, size)) {
    case SizedStep::kDone:
      got = true;
      return RC_OK;
    case SizedStep::kSize:
      return RC_OK;
    case SizedStep::kMemory:
      return ReportFailure(ctx, RC_OUT_OF_MEMORY, "Не удалось выделить память под данные получателя");
    case SizedStep::kData:
      break;
  }
  return ReportFailureWithReason(ctx, RC_RECIPIENT_EXPORT, "Не удалось выгрузить данные получателя");
}

}  // namespace

std::string SerialText(const CRYPT_INTEGER_BLOB& serial) {
  std::string hex;
  for (DWORD i = serial.cbData; i > 0; --i) hex += Format("%.2X", serial.pbData[i - 1]);
  return hex;
}

// The certificate with this issuer and serial number in the personal store, when it has a
// private key that can be acquired.
bool RecipientKey::TakeKey(InstanceContext& ctx, const CERT_INFO& id, HCRYPTPROV& prov, int32_t& rc) {
  rc = RC_OK;
  HCERTSTORE personal = ctx.stores.Get(CST_MY);
  auto_cert cert(personal != nullptr
                     ? CertGetSubjectCertificateFromStore(personal, kMsgEncoding, const_cast<CERT_INFO*>(&id))
                     : nullptr);
  if (!cert) return false;
  std::vector<BYTE> prov_info;
  DWORD prov_info_size = 0;
  const auto read = [&](BYTE* buffer, DWORD& len) {
    return CertGetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, buffer, &len) != FALSE;
  };
  switch (ReadSized(read, prov_info, prov_info_size)) {
    case SizedStep::kDone:
      break;
    case SizedStep::kSize:
      return false;
    case SizedStep::kMemory:
      rc = ReportFailure(ctx, RC_OUT_OF_MEMORY, "Не удалось выделить память под данные криптопровайдера");
      return false;
    case SizedStep::kData:
      rc = ReportFailureWithReason(ctx, RC_PROVIDER_CONTEXT, "Не удалось выгрузить данные криптопровайдера");
      return false;
  }
  if (!AcquireCertificateKey(ctx, cert.get(), prov, owned_)) return false;
  ReportProvider(ctx.log(), prov);
  return true;
}

int32_t RecipientKey::TryKeyAgree(InstanceContext& ctx, HCRYPTMSG msg, DWORD index, std::vector<std::string>& serials) {
  std::vector<BYTE> buffer;
  bool got = false;
  if (const int32_t rc = GetParam(ctx, msg, CMSG_CMS_RECIPIENT_INFO_PARAM, index, buffer, got); rc != RC_OK || !got)
    return rc;
  const auto* info = reinterpret_cast<const CMSG_CMS_RECIPIENT_INFO*>(buffer.data());
  if (info->dwRecipientChoice != CMSG_KEY_AGREE_RECIPIENT || info->pKeyAgree == nullptr) return RC_OK;
  const CMSG_KEY_AGREE_RECIPIENT_INFO& agree = *info->pKeyAgree;
  for (DWORD k = 0; k < agree.cRecipientEncryptedKeys; ++k) {
    const CERT_ID& rid = agree.rgpRecipientEncryptedKeys[k]->RecipientId;
    if (rid.dwIdChoice != CERT_ID_ISSUER_SERIAL_NUMBER) continue;
    serials.push_back(SerialText(rid.IssuerSerialNumber.SerialNumber));
    if (found_) continue;
    CERT_INFO id{};
    id.Issuer = rid.IssuerSerialNumber.Issuer;
    id.SerialNumber = rid.IssuerSerialNumber.SerialNumber;
    HCRYPTPROV prov = 0;
    int32_t rc = RC_OK;
    if (!TakeKey(ctx, id, prov, rc)) {
      if (rc != RC_OK) return rc;
      continue;
    }
    key_agree_ = true;
    found_ = true;
    agree_.cbSize = sizeof(agree_);
    agree_.hCryptProv = prov;
    agree_.dwKeySpec = AT_KEYEXCHANGE;
    agree_.dwRecipientIndex = index;
    agree_.dwRecipientEncryptedKeyIndex = k;
    if (agree.dwOriginatorChoice == CMSG_KEY_AGREE_ORIGINATOR_PUBLIC_KEY)
      agree_.OriginatorPublicKey = agree.OriginatorPublicKeyInfo.PublicKey;
  }
  if (found_ && key_agree_ && agree_info_.empty()) {
    agree_info_ = std::move(buffer);  // the pointers stay valid: the bytes do not move
    agree_.pKeyAgree = reinterpret_cast<CMSG_CMS_RECIPIENT_INFO*>(agree_info_.data())->pKeyAgree;
  }
  return RC_OK;
}

int32_t RecipientKey::Search(InstanceContext& ctx, HCRYPTMSG msg, DWORD& next, std::vector<std::string>& serials) {
  for (; !found_; ++next) {
    std::vector<BYTE> buffer;
    bool got = false;
    if (const int32_t rc = GetParam(ctx, msg, CMSG_RECIPIENT_INFO_PARAM, next, buffer, got); rc != RC_OK) return rc;
    if (!got) {
      // Not a key-transport recipient: key agreement, or no recipient at this index (yet).
      DWORD count = 0, size = sizeof(count);
      if (!CryptMsgGetParam(msg, CMSG_CMS_RECIPIENT_COUNT_PARAM, 0, &count, &size) || next >= count) break;
      if (const int32_t rc = TryKeyAgree(ctx, msg, next, serials); rc != RC_OK) return rc;
      continue;
    }
    const auto* info = reinterpret_cast<const CERT_INFO*>(buffer.data());
    serials.push_back(SerialText(info->SerialNumber));
    HCRYPTPROV prov = 0;
    int32_t rc = RC_OK;
    if (!TakeKey(ctx, *info, prov, rc)) {
      if (rc != RC_OK) return rc;
      continue;
    }
    trans_.hCryptProv = prov;
    trans_.dwRecipientIndex = next;
    found_ = true;
  }
  return RC_OK;
}

bool RecipientKey::Decrypt(HCRYPTMSG msg) {
  // The decryption control has always been given flags 2; the platform reads none of them,
  // a provider that does gets what it always got.
  constexpr DWORD kDecryptFlags = 2;
  return key_agree_ ? CryptMsgControl(msg, kDecryptFlags, CMSG_CTRL_KEY_AGREE_DECRYPT, &agree_) != FALSE
                    : CryptMsgControl(msg, kDecryptFlags, CMSG_CTRL_DECRYPT, &trans_) != FALSE;
}
