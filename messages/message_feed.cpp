#include "messages/message_feed.h"

#include <future>
#include <system_error>

#include "messages/content_writer.h"
#include "support/read_sized.h"

bool MessageFeed::Allocate() { return TryResize(buffers_[current_], block_len_); }

MessageFeed::Block MessageFeed::Read(int buffer) {
  in_.read(reinterpret_cast<char*>(buffers_[buffer].data()), static_cast<std::streamsize>(block_len_));
  Block block;
  block.size = static_cast<size_t>(in_.gcount());
  block.last = block.size < block_len_ || in_.eof() || in_.peek() == std::istream::traits_type::eof();
  block.failed = in_.bad();
  return block;
}

MessageFeed::Block MessageFeed::Next() {
  if (ahead_) {
    current_ = 1 - current_;
    block_ = next_;
    ahead_ = false;
  } else {
    block_ = Read(current_);
  }
  return block_;
}

DWORD MessageFeed::UpdateHere(bool final) {
  const BOOL ok =
      CryptMsgUpdate(msg_, buffers_[current_].data(), static_cast<DWORD>(block_.size), final ? TRUE : FALSE);
  return ok ? 0 : GetLastError();
}

DWORD MessageFeed::Update(bool final) {
  const int other = 1 - current_;
  const bool read_ahead = !final && !block_.last && !block_.failed && block_.size > 0 &&
                          (!buffers_[other].empty() || TryResize(buffers_[other], block_len_));
  std::future<DWORD> update;
  if (read_ahead) {
    if (output_ != nullptr) output_->Defer(buffers_[current_].data(), block_.size);
    try {
      update = std::async(std::launch::async, &MessageFeed::UpdateHere, this, final);
    } catch (const std::system_error&) {
      if (output_ != nullptr) output_->EndDeferral(true);  // nothing kept yet
    }
  }
  if (!update.valid()) {
    const DWORD err = UpdateHere(final);
    if (err != 0) SetLastError(err);
    return err;
  }

  Block next;
  try {
    next = Read(other);
  } catch (...) {
    update.wait();
    if (output_ != nullptr) output_->EndDeferral(false);
    throw;
  }
  DWORD err = update.get();
  // A host stream that refuses what the message wrote stops it as the writer's refusal
  // would have inside the update.
  if (output_ != nullptr && !output_->EndDeferral(true) && err == 0) err = static_cast<DWORD>(ERROR_CANCELLED);
  next_ = next;
  ahead_ = true;
  if (err != 0) SetLastError(err);
  return err;
}
