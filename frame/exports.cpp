// The library's three exported functions.
#include "vexor/vexor.h"

#include <new>

#include "frame/vexor_impl.h"

extern "C" {

__attribute__((visibility("default"))) int32_t CreateObjectInstance(IVexor** object) {
  if (object == nullptr) return E_OUTOFMEMORY;
  *object = new (std::nothrow) IVexorImpl();
  return *object != nullptr ? 0 : E_OUTOFMEMORY;
}

__attribute__((visibility("default"))) int32_t DestroyObjectInstance(IVexor** object) {
  if (object != nullptr) {
    delete *object;  // the virtual destructor with the delete flag
    *object = nullptr;
  }
  return 0;
}

__attribute__((visibility("default"))) int32_t GetIVersion() { return VEXOR_INTERFACE_VERSION; }

}  // extern "C"
