#include "messages/content_writer.h"

#include "call/call_context.h"
#include "call/temp_files.h"

CMSG_STREAM_INFO* ContentWriter::StreamInfo(DWORD contentLength) {
  info_.cbContent = contentLength;
  info_.pfnStreamOutput = &ContentWriter::Output;
  info_.pvArg = this;
  return &info_;
}

BOOL ContentWriter::Output(const void* arg, BYTE* data, DWORD length, BOOL) {
  auto* self = static_cast<ContentWriter*>(const_cast<void*>(arg));
  if (length != 0 && data != nullptr)
    self->target_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
  // The content has no other place to go; a write failure shows in the stream's state.
  return TRUE;
}

bool OpenTempContentFile(CallContext& call, std::ofstream& file) {
  if (call.services.tempFiles == nullptr) return false;
  const std::string name = call.services.tempFiles->NewFile();
  if (name.empty()) return false;
  // The file was just made and is empty: opened without truncation, since ext4 writes a file
  // truncated on open out to disk when it is closed (its guard for files replaced in place),
  // which for a temporary file means a disk write just before it is deleted.
  file.open(name, std::ios::binary | std::ios::in | std::ios::out);
  return file.is_open();
}
