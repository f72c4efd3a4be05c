// Where the decoded content of an attached signed message goes while the platform decodes
// it: appended piece by piece to a stream (a temporary "quilmar" file or the host's), so the
// content is never held in memory as a whole.
#pragma once

#include <cstddef>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "vexor/platform.h"

class CallContext;

class ContentWriter {
 public:
  // A strict writer refuses further output once its stream went bad (the message then fails);
  // otherwise a write failure shows in the stream's state alone.
  explicit ContentWriter(std::ostream& target, bool strict = false) : target_(target), strict_(strict) {}
  ContentWriter(const ContentWriter&) = delete;
  ContentWriter& operator=(const ContentWriter&) = delete;

  // The streaming descriptor for CryptMsgOpenToDecode/Encode; valid while the writer lives.
  CMSG_STREAM_INFO* StreamInfo(DWORD contentLength);

  // While deferred, what the message writes is kept for EndDeferral instead of going to the
  // stream (the message is then updated on a worker thread, and only the caller's thread
  // writes to the host's stream). A piece that lies inside `block`, the input block being
  // added (untouched until then), is kept as a reference; anything else is copied.
  void Defer(const BYTE* block, size_t size);
  // Writes what was kept, in order, or drops it; false when a strict writer's stream went bad.
  bool EndDeferral(bool write);

 private:
  static BOOL Output(const void* arg, BYTE* data, DWORD length, BOOL final);

  struct Piece {
    bool in_block;  // at `offset` in block_, else in copies_
    size_t offset, length;
  };

  std::ostream& target_;
  const bool strict_;
  CMSG_STREAM_INFO info_{};
  bool deferred_ = false;
  const BYTE* block_ = nullptr;
  size_t block_size_ = 0;
  std::vector<Piece> pieces_;
  std::vector<BYTE> copies_;
};

// Makes a temporary content file registered with the object (deleted when the call's
// context ends) and opens it for binary output. False when no file could be made or opened.
bool OpenTempContentFile(CallContext& call, std::ofstream& file);
