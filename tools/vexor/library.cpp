#include "tools/vexor/library.h"

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>

#include "text/text.h"

namespace {

std::string BesideTool() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  const auto candidate = exe.parent_path().parent_path() / "lib" / VEXOR_SONAME;
  return std::filesystem::exists(candidate, ec) ? candidate.string() : std::string();
}

}  // namespace

VexorLibrary::VexorLibrary(const std::string& path) {
  path_ = !path.empty() ? path : BesideTool();
  if (path_.empty()) path_ = VEXOR_SONAME;
  handle_ = dlopen(path_.c_str(), RTLD_LAZY | RTLD_LOCAL);  // binds only what the command calls
  if (handle_ == nullptr) {
    error_ = dlerror();
    return;
  }
  version_ = reinterpret_cast<PFN_GetIVersion>(dlsym(handle_, "GetIVersion"));
  destroy_ = reinterpret_cast<PFN_DestroyObjectInstance>(dlsym(handle_, "DestroyObjectInstance"));
  auto create = reinterpret_cast<PFN_CreateObjectInstance>(dlsym(handle_, "CreateObjectInstance"));
  if (version_ == nullptr || destroy_ == nullptr || create == nullptr) {
    error_ = path_ + " does not export the library's functions";
    return;
  }
  create_ = create;
}

VexorLibrary::~VexorLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

VexorLibrary::Object VexorLibrary::create() const {
  IVexor* raw = nullptr;
  if (create_ == nullptr || create_(&raw) != 0) return Object(nullptr, Deleter{destroy_});
  return Object(raw, Deleter{destroy_});
}

ToolCallback::ToolCallback(bool verbose) {
  onLog = [this, verbose](const char* text) {
    const std::string line = text::Cp1251ToUtf8(text);
    if (verbose) std::fprintf(stderr, "log: %s\n", line.c_str());
    if (line.find("(Код ошибки = ") != std::string::npos) lastReason = line;
    lines_.push_back(line);
  };
}

bool ToolCallback::Saw(const std::string& text) const {
  for (const std::string& line : lines_)
    if (line.find(text) != std::string::npos) return true;
  return false;
}
