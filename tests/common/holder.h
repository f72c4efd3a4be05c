// An owning holder of one platform handle for tests, the handle a public member that the
// platform's out-parameters fill (&holder.h); released once when the holder goes.
#pragma once

namespace test_common {

template <class H, auto Release>
struct Holder {
  H h{};
  Holder() = default;
  explicit Holder(H handle) : h(handle) {}
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  ~Holder() {
    if (h) Release(h);
  }
};

}  // namespace test_common
