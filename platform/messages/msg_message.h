// A cryptographic message behind an HCRYPTMSG: the encoders and the decoder share this
// interface, and the handle is a number looked up in a table, never a pointer the caller
// could forge. Each message serialises its own calls.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "vexor/platform.h"
#include "vexor/platform_msg.h"

namespace vexorcsp::msg {

class Message {
 public:
  virtual ~Message() = default;
  virtual BOOL Update(const BYTE* data, DWORD size, BOOL final) = 0;
  virtual BOOL GetParam(DWORD param, DWORD index, void* out, DWORD* out_len) = 0;
  virtual BOOL Control(DWORD flags, DWORD type, const void* para) = 0;
  // The encoded certificates and CRLs the message carries (for a store over it).
  virtual bool Contents(std::vector<std::vector<BYTE>>& certs,
                        std::vector<std::vector<BYTE>>& crls) = 0;

  std::recursive_mutex mu;
  std::atomic<int> refs{1};
};

HCRYPTMSG AddMessage(std::shared_ptr<Message> m);
std::shared_ptr<Message> FindMessage(HCRYPTMSG h);
// Drops one reference; the message goes when the last one is dropped.
bool ReleaseMessage(HCRYPTMSG h);

// Runs the stream callback; false when it refused the data (the last error is then the
// callback's, or 0).
inline bool Emit(const CMSG_STREAM_INFO& s, const BYTE* p, size_t n, bool final) {
  SetLastError(0);
  while (n > 0x40000000) {
    if (!s.pfnStreamOutput(s.pvArg, const_cast<BYTE*>(p), 0x40000000, FALSE)) return false;
    p += 0x40000000;
    n -= 0x40000000;
  }
  return s.pfnStreamOutput(s.pvArg, const_cast<BYTE*>(p), DWORD(n), final ? TRUE : FALSE) != 0;
}

}  // namespace vexorcsp::msg
