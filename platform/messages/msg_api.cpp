// The CryptMsg* entry points: argument checks, the handle table, one lock per message, and
// no exception ever crossing the C boundary.
#include "platform/messages/msg_message.h"

#include <new>

#include "platform/core/last_error.h"
#include "platform/core/api_guard.h"
#include "platform/messages/msg_decode.h"
#include "platform/messages/msg_encode_signed.h"
#include "platform/messages/msg_enveloped.h"

using namespace vexorcsp;
using namespace vexorcsp::msg;

namespace {

bool Pkcs7Encoding(DWORD encoding) { return (encoding & PKCS_7_ASN_ENCODING) != 0; }

}  // namespace

extern "C" {

HCRYPTMSG CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                               PCMSG_STREAM_INFO pStreamInfo) {
  return ApiGuard<HCRYPTMSG>(nullptr, [&]() -> HCRYPTMSG {
        if (!Pkcs7Encoding(dwMsgEncodingType)) return FailNull<void>(DWORD(E_INVALIDARG));
        std::shared_ptr<Message> m;
        if (dwMsgType == CMSG_SIGNED)
          m = SignedEncoder::Create(dwFlags, pvMsgEncodeInfo, pszInnerContentObjID, pStreamInfo,
                                    true);
        else if (dwMsgType == CMSG_ENVELOPED)
          m = EnvelopedEncoder::Create(dwFlags, pvMsgEncodeInfo, pStreamInfo);
        else
          return FailNull<void>(DWORD(CRYPT_E_INVALID_MSG_TYPE));
        return m ? AddMessage(std::move(m)) : nullptr;
      });
}

DWORD CryptMsgCalculateEncodedLength(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                     const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                                     DWORD cbData) {
  return ApiGuard<DWORD>(0, [&]() -> DWORD {
        if (!Pkcs7Encoding(dwMsgEncodingType)) return Fail(DWORD(E_INVALIDARG));
        size_t bound = 0;
        if (dwMsgType == CMSG_SIGNED) {
          auto enc = SignedEncoder::Create(dwFlags, pvMsgEncodeInfo, pszInnerContentObjID,
                                           nullptr, false);
          if (!enc) return 0;
          bound = enc->EncodedLengthBound(cbData);
        } else if (dwMsgType == CMSG_ENVELOPED) {
          DWORD error = 0;
          const auto recipients = EnvelopedEncoder::Recipients(pvMsgEncodeInfo, error);
          if (recipients.empty()) return Fail(error);
          auto env = Envelope::Create(recipients, error);
          if (!env) return Fail(error);
          bound = env->Whole({}, (dwFlags & CMSG_BARE_CONTENT_FLAG) != 0).size() + cbData + 32;
        } else {
          return Fail(DWORD(CRYPT_E_INVALID_MSG_TYPE));
        }
        if (bound > 0xFFFFFFFFu) return Fail(DWORD(CRYPT_E_ASN1_LARGE));
        return DWORD(bound);
      });
}

HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               HCRYPTPROV, PCERT_INFO, PCMSG_STREAM_INFO pStreamInfo) {
  return ApiGuard<HCRYPTMSG>(nullptr, [&]() -> HCRYPTMSG {
        if (!Pkcs7Encoding(dwMsgEncodingType)) return FailNull<void>(DWORD(E_INVALIDARG));
        auto d = Decoder::Create(dwFlags, dwMsgType, pStreamInfo);
        return d ? AddMessage(std::move(d)) : nullptr;
      });
}

HCRYPTMSG CryptMsgDuplicate(HCRYPTMSG hCryptMsg) {
  return ApiGuard<HCRYPTMSG>(nullptr, [&]() -> HCRYPTMSG {
    std::shared_ptr<Message> m = FindMessage(hCryptMsg);
    if (!m) return FailNull<void>(DWORD(ERROR_INVALID_HANDLE));
    ++m->refs;
    return hCryptMsg;
  });
}

BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal) {
  return ApiGuard([&]() -> BOOL {
    std::shared_ptr<Message> m = FindMessage(hCryptMsg);
    if (!m) return Fail(DWORD(ERROR_INVALID_HANDLE));
    return ApiGuard<BOOL>(FALSE, [&]() -> BOOL {
          std::lock_guard<std::recursive_mutex> lock(m->mu);
          return m->Update(pbData, cbData, fFinal);
        });
  });
}

BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                      DWORD* pcbData) {
  return ApiGuard([&]() -> BOOL {
    std::shared_ptr<Message> m = FindMessage(hCryptMsg);
    if (!m) return Fail(DWORD(ERROR_INVALID_HANDLE));
    return ApiGuard<BOOL>(FALSE, [&]() -> BOOL {
          std::lock_guard<std::recursive_mutex> lock(m->mu);
          return m->GetParam(dwParamType, dwIndex, pvData, pcbData);
        });
  });
}

BOOL CryptMsgControl(HCRYPTMSG hCryptMsg, DWORD dwFlags, DWORD dwCtrlType, const void* pvCtrlPara) {
  return ApiGuard([&]() -> BOOL {
    std::shared_ptr<Message> m = FindMessage(hCryptMsg);
    if (!m) return Fail(DWORD(ERROR_INVALID_HANDLE));
    return ApiGuard<BOOL>(FALSE, [&]() -> BOOL {
          std::lock_guard<std::recursive_mutex> lock(m->mu);
          return m->Control(dwFlags, dwCtrlType, pvCtrlPara);
        });
  });
}

BOOL CryptMsgClose(HCRYPTMSG hCryptMsg) {
  return ApiGuard([&]() -> BOOL {
    if (hCryptMsg == nullptr) return TRUE;
    return ReleaseMessage(hCryptMsg) ? TRUE : Fail(DWORD(ERROR_INVALID_HANDLE));
  });
}

}  // extern "C"
