// Loads the library at argv[1], initialises one operation object in argv[2], unloads the
// library and checks it is gone; twice. A host that unloads and reloads the library must get
// a working log each time. Exit status 0 when every step worked, 2 when the library stayed
// loaded (nothing to prove), 1 on a failure.
#include <dlfcn.h>

#include <cstdio>

#include "vexor/vexor.h"

int main(int argc, char** argv) {
  if (argc != 3) return 1;
  for (int round = 0; round < 2; ++round) {
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
      std::fprintf(stderr, "%s\n", dlerror());
      return 1;
    }
    auto create = reinterpret_cast<PFN_CreateObjectInstance>(dlsym(lib, "CreateObjectInstance"));
    auto destroy = reinterpret_cast<PFN_DestroyObjectInstance>(dlsym(lib, "DestroyObjectInstance"));
    IVexor* obj = nullptr;
    if (create == nullptr || destroy == nullptr || create(&obj) != 0) return 1;
    const int32_t rc = obj->Init(argv[2], nullptr, CERT_SYSTEM_STORE_CURRENT_USER);
    destroy(&obj);
    dlclose(lib);
    if (rc != 0) return 1;
    if (dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) != nullptr) return 2;
  }
  return 0;
}
