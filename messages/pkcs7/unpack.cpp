// Unpacking: the content of an attached signed message, without checking any signature.
#include "messages/pkcs7/verify.h"

#include <fstream>
#include <optional>
#include <vector>

#include "call/failure.h"
#include "call/result_codes.h"
#include "call/temp_files.h"
#include "messages/content_writer.h"
#include "messages/stream_io.h"
#include "stores/auto_handle.h"
#include "certs/instance_context.h"
#include "support/read_sized.h"

namespace {

// Copies the spooled content to the host's stream.
bool CopyOut(std::fstream& spool, std::ostream& out) {
  spool.flush();
  spool.seekg(0);
  std::vector<char> chunk(1 << 20);
  while (spool) {
    spool.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    out.write(chunk.data(), spool.gcount());
  }
  return spool.eof() && !out.bad();
}

}  // namespace

int32_t UnpackSignedStream(InstanceContext& ctx, std::istream& signedData, std::ostream& out) {
  // The content is decoded piece by piece into a temporary file of the call, never held in
  // memory whole, and reaches the host only once the message proved to be a signed one.
  // Without a temporary file the platform keeps the content and it is read at the end.
  const int64_t length = ProbeStreamLength64(signedData);
  std::fstream spool;
  std::optional<ContentWriter> writer;
  CMSG_STREAM_INFO* stream_info = nullptr;
  if (ctx.services.tempFiles != nullptr) {
    const std::string name = ctx.services.tempFiles->NewFile();
    // Empty as made, so not truncated on open (see OpenTempContentFile).
    if (!name.empty()) spool.open(name, std::ios::binary | std::ios::in | std::ios::out);
    if (spool.is_open())
      stream_info = writer.emplace(spool).StreamInfo(
          length >= 0 && length < CMSG_INDEFINITE_LENGTH ? static_cast<DWORD>(length) : CMSG_INDEFINITE_LENGTH);
  }
  auto_msg msg(CryptMsgOpenToDecode(kMsgEncoding, 0, 0, 0, nullptr, stream_info));
  if (!msg)
    return ReportFailureWithReason(ctx, RC_MSG_OPEN_DECODE, "Не удалось получить хэндл криптографического сообщения");
  if (const int32_t rc = FeedMessage(ctx, msg.get(), signedData, length, nullptr, writer ? &*writer : nullptr))
    return rc;

  DWORD type = 0, size = sizeof type;
  if (!CryptMsgGetParam(msg.get(), CMSG_TYPE_PARAM, 0, &type, &size))
    return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить тип криптографического сообщения");
  if (type != CMSG_SIGNED)
    return ReportFailureWithReason(ctx, RC_SIGNATURE_READ, "Данные в потоке не являются подписью");

  if (stream_info != nullptr) {
    if (!CopyOut(spool, out))
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить данные криптографического сообщения");
    return RC_OK;
  }

  std::vector<BYTE> content;
  DWORD size_asked = 0;
  const auto read = [&](BYTE* buffer, DWORD& len) {
    return CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, buffer, &len) != FALSE;
  };
  switch (ReadSized(read, content, size_asked)) {
    case SizedStep::kDone:
      break;
    case SizedStep::kSize:
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить размер данных криптографического сообщения");
    case SizedStep::kMemory:
      return ReportFailure(ctx, RC_OUT_OF_MEMORY,
                           "Не удалось выделить %d байт памяти для прочтения данных криптографического сообщения",
                           static_cast<int>(size_asked));
    case SizedStep::kData:
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось получить данные криптографического сообщения");
  }
  out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  return RC_OK;
}
