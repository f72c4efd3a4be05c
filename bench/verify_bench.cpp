// Verifies a large attached signature through the library as a host does (libvexor.so
// loaded with dlopen) and prints the wall time and the verdict. Peak memory is read by the
// caller with /usr/bin/time -v.
//   verify_bench <libvexor.so> <work-dir> <signed.der> file     content into a temporary file
//   verify_bench <libvexor.so> <work-dir> <signed.der> stream   content into the host's stream
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "vexor/vexor.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s <libvexor.so> <work-dir> <signed.der> file|stream\n", argv[0]);
    return 2;
  }
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  auto create = reinterpret_cast<PFN_CreateObjectInstance>(dlsym(lib, "CreateObjectInstance"));
  auto destroy = reinterpret_cast<PFN_DestroyObjectInstance>(dlsym(lib, "DestroyObjectInstance"));
  IVexor* obj = nullptr;
  if (create == nullptr || destroy == nullptr || create(&obj) != 0 ||
      obj->Init(argv[2], nullptr, CERT_SYSTEM_STORE_CURRENT_USER) != 0) {
    std::fprintf(stderr, "cannot create the object\n");
    return 1;
  }
  const bool to_stream = std::strcmp(argv[4], "stream") == 0;
  std::ifstream in(argv[3], std::ios::binary);
  std::ofstream sink("/dev/null", std::ios::binary);
  SignerCheckList list;
  list.checkValidity = true;
  int32_t rc = 0;
  const auto start = std::chrono::steady_clock::now();
  try {
    rc = to_stream ? obj->check_stream_a(in, list, sink, 0u, VEXOR_FORMAT_PKCS7)
                   : obj->check_stream_a(in, list, VEXOR_FORMAT_PKCS7);
  } catch (const CryptoOperations::SystemException& e) {
    std::fprintf(stderr, "failed: %d %s\n", e.code(), e.what());
    rc = e.code();
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const bool good = rc == 0 && list.items.size() == 1 && list.items[0].signValid;
  std::printf("%s: rc %d, signers %zu, signature %s, %.3f s\n", argv[4], rc, list.items.size(),
              good ? "valid" : "INVALID", seconds);
  destroy(&obj);
  return good ? 0 : 1;
}
