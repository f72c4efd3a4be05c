#include "platform/messages/msg_digest.h"

#include <openssl/err.h>
#include <openssl/obj_mac.h>

namespace vexorcsp::msg {

ContentDigest::ContentDigest(const EVP_MD* md) {
  if (md == nullptr) return;
  const int type = EVP_MD_get_type(md);
  if (type == NID_id_GostR3411_94) {
    gost_ = std::make_unique<gost94::Hash>();
    return;
  }
  if (type == NID_id_GostR3411_2012_256 || type == NID_id_GostR3411_2012_512) {
    streebog_ = std::make_unique<streebog::Hash>(type == NID_id_GostR3411_2012_256 ? 32 : 64);
    return;
  }
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  if (ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) > 0) evp_ = std::move(ctx);
  else ERR_clear_error();
}

bool ContentDigest::Update(const void* data, size_t size) {
  if (size == 0) return ok();
  if (gost_) {
    gost_->Update(static_cast<const uint8_t*>(data), size);
    return true;
  }
  if (streebog_) {
    streebog_->Update(static_cast<const uint8_t*>(data), size);
    return true;
  }
  if (evp_ && EVP_DigestUpdate(evp_.get(), data, size) > 0) return true;
  ERR_clear_error();
  return false;
}

bool ContentDigest::Final(Bytes& out) {
  if (gost_) {
    out.resize(gost94::kSize);
    gost_->Final(out.data());
    gost_.reset();
    return true;
  }
  if (streebog_) {
    out.resize(streebog_->size());
    streebog_->Final(out.data());
    streebog_.reset();
    return true;
  }
  BYTE md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!evp_ || EVP_DigestFinal_ex(evp_.get(), md, &len) <= 0) {
    ERR_clear_error();
    return false;
  }
  evp_.reset();
  out.assign(md, md + len);
  return true;
}

}  // namespace vexorcsp::msg
