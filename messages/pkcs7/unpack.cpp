// Unpacking: the content of an attached signed message, without checking any signature.
#include "messages/pkcs7/verify.h"

#include <new>
#include <vector>

#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/stream_io.h"
#include "stores/auto_handle.h"
#include "certs/instance_context.h"

int32_t UnpackSignedStream(InstanceContext& ctx, std::istream& signedData, std::ostream& out) {
  auto_msg msg(CryptMsgOpenToDecode(kMsgEncoding, 0, 0, 0, nullptr, nullptr));
  if (!msg)
    return ReportFailureWithReason(ctx, RC_MSG_OPEN_DECODE, "Не удалось получить хэндл криптографического сообщения");
  if (const int32_t rc = FeedMessage(ctx, msg.get(), signedData, ProbeStreamLength64(signedData))) return rc;

  DWORD type = 0, size = sizeof type;
  if (!CryptMsgGetParam(msg.get(), CMSG_TYPE_PARAM, 0, &type, &size))
    return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить тип криптографического сообщения");
  if (type != CMSG_SIGNED)
    return ReportFailureWithReason(ctx, RC_SIGNATURE_READ, "Данные в потоке не являются подписью");

  DWORD length = 0;
  if (!CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, nullptr, &length))
    return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить размер данных криптографического сообщения");
  std::vector<BYTE> content;
  try {
    content.resize(length);
  } catch (const std::bad_alloc&) {
    return ReportFailure(ctx, RC_OUT_OF_MEMORY,
                         "Не удалось выделить %d байт памяти для прочтения данных криптографического сообщения",
                         static_cast<int>(length));
  }
  if (length != 0 && !CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, content.data(), &length))
    return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить данные криптографического сообщения");
  out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(length));
  return RC_OK;
}
