// libFuzzer target: the message decoder fed hostile bytes in random pieces, whole or
// streamed, then every parameter read, a signature verified with an embedded certificate,
// a decryption of either recipient kind attempted (up to the key, which a verify-only context lacks), the message
// re-encoded and a store opened over it.
// Held-back ciphertext spills to a file beyond 1 KiB here (4 MiB in use), so inputs of
// fuzzing size reach the file path.
// Input: byte 0 = mode (bit 0 streamed, bit 1 detached, bit 2 decrypt early), byte 1 = seed
// of the piece sizes, the rest = the message.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/messages/msg_spill_buffer.h"
#include "vexor/platform.h"

namespace {

[[maybe_unused]] const bool kSmallSpill = (vexorcsp::msg::SpillBuffer::SetDefaultLimit(1024), true);

BOOL Sink(const void*, BYTE*, DWORD, BOOL) { return TRUE; }

HCRYPTPROV VerifyContext() {
  static HCRYPTPROV prov = [] {
    HCRYPTPROV h = 0;
    CryptAcquireContextA(&h, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT);
    return h;
  }();
  return prov;
}

void TryDecrypt(HCRYPTMSG m) {
  CMSG_CTRL_DECRYPT_PARA para{sizeof(para), VerifyContext(), AT_KEYEXCHANGE, 0};
  if (para.hCryptProv == 0) return;
  if (CryptMsgControl(m, 0, CMSG_CTRL_DECRYPT, &para)) return;
  CMSG_CTRL_KEY_AGREE_DECRYPT_PARA agree{};
  agree.cbSize = sizeof(agree);
  agree.hCryptProv = para.hCryptProv;
  agree.dwKeySpec = AT_KEYEXCHANGE;
  CryptMsgControl(m, 0, CMSG_CTRL_KEY_AGREE_DECRYPT, &agree);
}

void ReadEverything(HCRYPTMSG m) {
  std::vector<BYTE> buf;
  for (DWORD param = 1; param <= CMSG_CMS_RECIPIENT_INFO_PARAM; ++param) {
    for (DWORD index = 0; index < 3; ++index) {
      DWORD n = 0;
      if (!CryptMsgGetParam(m, param, index, nullptr, &n)) continue;
      buf.assign(n, 0);
      CryptMsgGetParam(m, param, index, buf.data(), &n);
    }
  }
  // The first embedded certificate as the signer's.
  DWORD n = 0;
  if (CryptMsgGetParam(m, CMSG_CERT_PARAM, 0, nullptr, &n)) {
    buf.assign(n, 0);
    if (CryptMsgGetParam(m, CMSG_CERT_PARAM, 0, buf.data(), &n)) {
      PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, buf.data(), n);
      if (cert != nullptr) {
        CryptMsgControl(m, 0, CMSG_CTRL_VERIFY_SIGNATURE, cert->pCertInfo);
        CERT_BLOB blob{cert->cbCertEncoded, cert->pbCertEncoded};
        CryptMsgControl(m, 0, CMSG_CTRL_ADD_CERT, &blob);
        CertFreeCertificateContext(cert);
      }
    }
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, 0x10001, 0, 0, m);
  if (store != nullptr) CertCloseStore(store, 0);
  TryDecrypt(m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1 << 20)) return 0;
  const uint8_t mode = data[0];
  uint32_t seed = data[1] * 2654435761u + 1;
  const BYTE* msg = data + 2;
  const size_t len = size - 2;
  CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Sink, nullptr};
  HCRYPTMSG m = CryptMsgOpenToDecode(0x10001, (mode & 2) ? CMSG_DETACHED_FLAG : 0, 0, 0, nullptr,
                                     (mode & 1) ? &stream : nullptr);
  if (m == nullptr) return 0;
  size_t pos = 0;
  bool ok = true;
  do {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    size_t n = 1 + seed % ((seed & 0x100) ? 7 : 2048);
    if (n > len - pos) n = len - pos;
    ok = CryptMsgUpdate(m, msg + pos, DWORD(n), pos + n == len) != FALSE;
    pos += n;
    if (mode & 4) TryDecrypt(m);
  } while (ok && pos < len);
  if (ok && (mode & 2)) {
    const BYTE content[] = "detached content";
    CryptMsgUpdate(m, content, sizeof(content), TRUE);
  }
  ReadEverything(m);
  CryptMsgClose(m);
  return 0;
}
