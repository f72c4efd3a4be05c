// Owning wrappers for the platform handles the library holds: one auto_handle per handle
// kind, each releasing its handle exactly once on scope exit.
#pragma once

#include <utility>

#include "vexor/platform.h"

// Holds one handle of type H and releases it with Release when it goes. Movable, not
// copyable; a null (zero) handle is never released.
template <class H, auto Release>
class auto_handle {
 public:
  auto_handle() = default;
  explicit auto_handle(H handle) : handle_(handle) {}
  ~auto_handle() { reset(); }
  auto_handle(const auto_handle&) = delete;
  auto_handle& operator=(const auto_handle&) = delete;
  auto_handle(auto_handle&& other) noexcept : handle_(std::exchange(other.handle_, H{})) {}
  auto_handle& operator=(auto_handle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.handle_, H{}));
    return *this;
  }

  H get() const { return handle_; }
  explicit operator bool() const { return handle_ != H{}; }
  // Gives the handle up without releasing it.
  H release() { return std::exchange(handle_, H{}); }
  void reset(H handle = H{}) {
    H old = std::exchange(handle_, handle);
    if (old != H{}) Release(old);
  }
  // For out-parameters of the platform: releases what is held and hands out the slot.
  H* put() {
    reset();
    return &handle_;
  }

 private:
  H handle_{};
};

namespace auto_handle_release {
inline void Cert(PCCERT_CONTEXT c) { CertFreeCertificateContext(c); }
inline void Crl(PCCRL_CONTEXT c) { CertFreeCRLContext(c); }
inline void Store(HCERTSTORE s) { CertCloseStore(s, 0); }
inline void Message(HCRYPTMSG m) { CryptMsgClose(m); }
inline void Provider(HCRYPTPROV p) { CryptReleaseContext(p, 0); }
inline void Key(HCRYPTKEY k) { CryptDestroyKey(k); }
inline void Hash(HCRYPTHASH h) { CryptDestroyHash(h); }
inline void ChainEngine(HCERTCHAINENGINE e) { CertFreeCertificateChainEngine(e); }
inline void Chain(PCCERT_CHAIN_CONTEXT c) { CertFreeCertificateChain(c); }
}  // namespace auto_handle_release

using auto_cert = auto_handle<PCCERT_CONTEXT, auto_handle_release::Cert>;
using auto_crl = auto_handle<PCCRL_CONTEXT, auto_handle_release::Crl>;
using auto_store = auto_handle<HCERTSTORE, auto_handle_release::Store>;
using auto_msg = auto_handle<HCRYPTMSG, auto_handle_release::Message>;
using auto_prov = auto_handle<HCRYPTPROV, auto_handle_release::Provider>;
using auto_key = auto_handle<HCRYPTKEY, auto_handle_release::Key>;
using auto_hash = auto_handle<HCRYPTHASH, auto_handle_release::Hash>;
using auto_engine = auto_handle<HCERTCHAINENGINE, auto_handle_release::ChainEngine>;
using auto_chain = auto_handle<PCCERT_CHAIN_CONTEXT, auto_handle_release::Chain>;
