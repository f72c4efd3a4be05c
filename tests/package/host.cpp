// A host built against the installed tree: it links libvexor.so and libvexorcsp.so, makes an
// operation object, initialises it and reads a result text.
#include <cstdio>

#include "vexor/vexor.h"

int main(int argc, char** argv) {
  IVexor* obj = nullptr;
  if (CreateObjectInstance(&obj) != 0 || obj == nullptr) return 1;
  const int32_t rc = obj->Init(argc > 1 ? argv[1] : ".", nullptr, CERT_SYSTEM_STORE_CURRENT_USER);
  const bool text = !obj->GetErrorText(17).empty();
  DestroyObjectInstance(&obj);
  std::printf("interface %d, Init %d\n", GetIVersion(), rc);
  return rc == 0 && text ? 0 : 1;
}
