// Where the decoded content of an attached signed message goes while the platform decodes
// it: appended piece by piece to a stream (a temporary "quilmar" file or the host's), so the
// content is never held in memory as a whole.
#pragma once

#include <fstream>
#include <ostream>
#include <string>

#include "vexor/platform.h"

class CallContext;

class ContentWriter {
 public:
  explicit ContentWriter(std::ostream& target) : target_(target) {}
  ContentWriter(const ContentWriter&) = delete;
  ContentWriter& operator=(const ContentWriter&) = delete;

  // The streaming descriptor for CryptMsgOpenToDecode; valid while the writer lives.
  CMSG_STREAM_INFO* StreamInfo(DWORD contentLength);

 private:
  static BOOL Output(const void* arg, BYTE* data, DWORD length, BOOL final);

  std::ostream& target_;
  CMSG_STREAM_INFO info_{};
};

// Makes a temporary content file registered with the object (deleted when the call's
// context ends) and opens it for binary output. False when no file could be made or opened.
bool OpenTempContentFile(CallContext& call, std::ofstream& file);
