// A small host: loads libvexor.so with dlopen, creates the operation object, initialises it
// in a fresh working directory and prints the library version and a few result texts.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "text/text.h"
#include "tools/host_callback.h"
#include "vexor/vexor.h"

namespace {

std::string LibraryPath() {
  const char* env = std::getenv("VEXOR_LIBRARY");
  if (env != nullptr && *env != '\0') return env;
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (exe.parent_path().parent_path() / "lib" / "libvexor.so").string();
}

// The library writes its version into its log at Init; the default log lives beside it.
std::string LastVersionLine(const std::string& lib_path) {
  const auto log = std::filesystem::path(lib_path).parent_path() / "log" / "Vexor" / "Vexor.log";
  std::ifstream in(log, std::ios::binary);
  std::string line, found;
  const std::string marker = text::Utf8ToCp1251("Vexor.dll версия ");
  while (std::getline(in, line)) {
    const size_t at = line.find(marker);
    if (at != std::string::npos) found = line.substr(at);
  }
  return text::Cp1251ToUtf8(found);
}

}  // namespace

int main() {
  const std::string lib_path = LibraryPath();
  void* lib = dlopen(lib_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", lib_path.c_str(), dlerror());
    return 1;
  }
  auto get_version = reinterpret_cast<PFN_GetIVersion>(dlsym(lib, "GetIVersion"));
  auto create = reinterpret_cast<PFN_CreateObjectInstance>(dlsym(lib, "CreateObjectInstance"));
  auto destroy = reinterpret_cast<PFN_DestroyObjectInstance>(dlsym(lib, "DestroyObjectInstance"));
  if (get_version == nullptr || create == nullptr || destroy == nullptr) {
    std::fprintf(stderr, "%s lacks the library's exports\n", lib_path.c_str());
    return 1;
  }

  char dir_template[] = "/tmp/vexor-probe-XXXXXX";
  const char* work_dir = mkdtemp(dir_template);
  if (work_dir == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }

  std::printf("library:           %s\n", lib_path.c_str());
  std::printf("interface version: %d\n", get_version());

  IVexor* vexor = nullptr;
  if (create(&vexor) != 0 || vexor == nullptr) {
    std::fprintf(stderr, "CreateObjectInstance failed\n");
    return 1;
  }
  HostCallback callback;
  const int32_t rc = vexor->Init(work_dir, &callback, CERT_SYSTEM_STORE_CURRENT_USER);
  std::printf("Init(%s):   %d, %s\n", work_dir, rc, text::Cp1251ToUtf8(vexor->GetErrorText(rc)).c_str());
  for (int32_t code : {0, 13, 45, 49, 51})
    std::printf("result %2d:         %s\n", code, text::Cp1251ToUtf8(vexor->GetErrorText(code)).c_str());
  destroy(&vexor);  // closes the log, so the version line is on disk
  const std::string version = LastVersionLine(lib_path);
  std::printf("library version:   %s\n", version.empty() ? "(not in the log)" : version.c_str());
  std::filesystem::remove_all(work_dir);
  dlclose(lib);
  return rc == 0 ? 0 : 1;
}
