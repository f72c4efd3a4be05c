// The running digest of a message's content. GOST R 34.11-94 and 34.11-2012 run on the
// provider's own hashes, which are bit-exact with the engine's and faster; other digests go
// through OpenSSL.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/messages/msg_cms_codec.h"
#include "platform/provider/gost_hash.h"
#include "platform/provider/streebog.h"

namespace vexorcsp::msg {

class ContentDigest {
 public:
  // Without a digest the object is empty (not ok) until one is assigned.
  explicit ContentDigest(const EVP_MD* md = nullptr);
  bool ok() const { return gost_ != nullptr || streebog_ != nullptr || evp_ != nullptr; }
  bool Update(const void* data, size_t size);
  // The digest; the object is then spent. False (OpenSSL's error queue cleared) on failure.
  bool Final(Bytes& out);

 private:
  std::unique_ptr<gost94::Hash> gost_;
  std::unique_ptr<streebog::Hash> streebog_;
  EvpMdCtxPtr evp_;
};

}  // namespace vexorcsp::msg
