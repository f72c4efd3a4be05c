// Unpacking: the content of an attached signed message, without checking any signature.
#include "messages/pkcs7/verify.h"

#include <vector>

#include "call/failure.h"
#include "call/result_codes.h"
#include "messages/stream_io.h"
#include "stores/auto_handle.h"
#include "certs/instance_context.h"
#include "support/read_sized.h"

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

  std::vector<BYTE> content;
  DWORD length = 0;
  const auto read = [&](BYTE* buffer, DWORD& len) {
    return CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, buffer, &len) != FALSE;
  };
  switch (ReadSized(read, content, length)) {
    case SizedStep::kDone:
      break;
    case SizedStep::kSize:
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить размер данных криптографического сообщения");
    case SizedStep::kMemory:
      return ReportFailure(ctx, RC_OUT_OF_MEMORY,
                           "Не удалось выделить %d байт памяти для прочтения данных криптографического сообщения",
                           static_cast<int>(length));
    case SizedStep::kData:
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить данные криптографического сообщения");
  }
  out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  return RC_OK;
}
