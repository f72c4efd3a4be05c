#include "messages/content_writer.h"

#include <cstdint>

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
  if (length == 0 || data == nullptr) return TRUE;
  if (self->deferred_) {
    const auto at = reinterpret_cast<uintptr_t>(data), start = reinterpret_cast<uintptr_t>(self->block_);
    if (at >= start && length <= self->block_size_ && at - start <= self->block_size_ - length) {
      self->pieces_.push_back({true, static_cast<size_t>(at - start), length});
    } else {
      self->pieces_.push_back({false, self->copies_.size(), length});
      self->copies_.insert(self->copies_.end(), data, data + length);
    }
    return TRUE;
  }
  self->target_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
  return !self->strict_ || self->target_.good() ? TRUE : FALSE;
}

void ContentWriter::Defer(const BYTE* block, size_t size) {
  deferred_ = true;
  block_ = block;
  block_size_ = size;
}

bool ContentWriter::EndDeferral(bool write) {
  deferred_ = false;
  if (write) {
    for (const Piece& piece : pieces_) {
      const BYTE* data = (piece.in_block ? block_ : copies_.data()) + piece.offset;
      target_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(piece.length));
    }
  }
  pieces_.clear();
  copies_.clear();  // keeps its capacity for the next block
  return !strict_ || target_.good();
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
