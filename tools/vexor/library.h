// The library as the tool uses it: loaded with dlopen like any host, one operation object,
// and a callback that prints the library's log lines when asked.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/host_callback.h"
#include "vexor/vexor.h"

class VexorLibrary {
 public:
  // Loads path, or the library beside the tool (../lib/libvexor.so.1, as in the build tree),
  // or libvexor.so.1 from the loader's search path (an installed tool). On failure error() says why.
  explicit VexorLibrary(const std::string& path = std::string());
  ~VexorLibrary();
  VexorLibrary(const VexorLibrary&) = delete;
  VexorLibrary& operator=(const VexorLibrary&) = delete;

  bool loaded() const { return create_ != nullptr; }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }
  int32_t interfaceVersion() const { return version_ != nullptr ? version_() : -1; }

  // A new operation object, destroyed through the library when the pointer goes.
  struct Deleter {
    PFN_DestroyObjectInstance destroy;
    void operator()(IVexor* p) const {
      if (p != nullptr) destroy(&p);
    }
  };
  using Object = std::unique_ptr<IVexor, Deleter>;
  Object create() const;

 private:
  void* handle_ = nullptr;
  std::string path_;
  std::string error_;
  PFN_CreateObjectInstance create_ = nullptr;
  PFN_DestroyObjectInstance destroy_ = nullptr;
  PFN_GetIVersion version_ = nullptr;
};

// The tool's callback: log lines go to standard error in UTF-8 when verbose. The last line
// that carries a platform error code is kept: it says why a call failed.
class ToolCallback : public HostCallback {
 public:
  explicit ToolCallback(bool verbose);
  // Whether a log line of this run contains the text (UTF-8).
  bool Saw(const std::string& text) const;
  std::string lastReason;  // UTF-8

 private:
  std::vector<std::string> lines_;
};
