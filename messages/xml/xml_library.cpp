#include "messages/xml/xml_library.h"

#include <dlfcn.h>

#include <string>

namespace {

int SignMissing(const void*, int, const CERT_CONTEXT*, int, void**, int*) { return VEXORXML_UNAVAILABLE; }
int CheckMissing(const void*, int, const CERT_CONTEXT**, int*, void**, int*) { return VEXORXML_UNAVAILABLE; }
int EncryptMissing(const void*, int, const CERT_CONTEXT*, void**, int*) { return VEXORXML_UNAVAILABLE; }
int DecryptMissing(const void*, int, void**, int*) { return VEXORXML_UNAVAILABLE; }
void FreeNothing(void**) {}

// libvexorxml.so.1 as the process already has it (a host that links it), else beside the
// object this function lives in (libvexor.so.1), and nowhere else: the pair is installed
// together. It is named by its soname: the unversioned name is a development symlink.
void* OpenBeside() {
  if (void* loaded = dlopen(VEXORXML_SONAME, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) return loaded;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OpenBeside), &info) == 0 || info.dli_fname == nullptr) return nullptr;
  std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + VEXORXML_SONAME;
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

template <typename F>
bool Bind(void* handle, const char* name, F& entry) {
  void* symbol = dlsym(handle, name);
  if (symbol != nullptr) entry = reinterpret_cast<F>(symbol);
  return symbol != nullptr;
}

XmlLibrary Load() {
  XmlLibrary missing{SignMissing, CheckMissing, EncryptMissing, DecryptMissing, FreeNothing};
  void* handle = OpenBeside();
  if (handle == nullptr) return missing;
  XmlLibrary lib = missing;
  if (Bind(handle, "VexorXmlSign", lib.sign) && Bind(handle, "VexorXmlCheckSign", lib.checkSign) &&
      Bind(handle, "VexorXmlEncrypt", lib.encrypt) && Bind(handle, "VexorXmlDecrypt", lib.decrypt) &&
      Bind(handle, "VexorXmlFreeMem", lib.freeMem))
    return lib;  // kept loaded for the life of the process
  dlclose(handle);
  return missing;
}

}  // namespace

const XmlLibrary& GetXmlLibrary() {
  static const XmlLibrary library = Load();
  return library;
}
