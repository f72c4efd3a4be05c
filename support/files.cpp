// File and path helpers.
#include "support/files.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::string ParentOf(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return file.substr(0, slash);
}

std::string TrimLeft(const std::string& s) {
  const size_t first = s.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first);
}

void TrimRight(std::string& s) {
  const size_t last = s.find_last_not_of(' ');
  s.erase(last == std::string::npos ? 0 : last + 1);
}

}  // namespace

bool ModuleDirectory(std::string& dir) {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return false;
  dir = ParentOf(std::string(buf, static_cast<size_t>(n)));
  return !dir.empty();
}

bool ResolvePath(const std::string& path, std::string& resolved) {
  if (path.empty()) return false;
  std::string full = path;
  if (path[0] == '.') {
    std::string module_dir;
    if (!ModuleDirectory(module_dir)) return false;
    full = module_dir + "/" + path;
  }
  std::error_code ec;
  fs::path abs = fs::absolute(fs::path(full), ec);
  if (ec) return false;
  std::string text = abs.lexically_normal().string();
  // "a/b/" and "a/b" name the same directory; keep the root alone.
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  resolved = text;
  return true;
}

bool FileExists(const std::string& path) {
  if (path.empty()) return false;
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  std::string resolved;
  if (!ResolvePath(path, resolved)) return false;
  struct stat st;
  return stat(resolved.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool EnsureDirectory(const std::string& path) {
  if (path.empty()) return false;
  if (DirectoryExists(path)) return true;

  std::string rest = path;
  // Runs of blanks collapse to one blank.
  for (size_t pos; (pos = rest.find("  ")) != std::string::npos;) rest.erase(pos, 1);

  std::string prefix;
  for (;;) {
    rest = TrimLeft(rest);
    const size_t i = rest.find('/');
    if (i == 0) {
      // Leading or doubled separator: it belongs to the prefix itself (the root).
      prefix += '/';
      rest.erase(0, 1);
      continue;
    }
    const bool last = i == std::string::npos;
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    prefix += last ? rest : rest.substr(0, i);
    TrimRight(prefix);
    if (!prefix.empty() && prefix.back() == '/') {
      // Nothing was added after the separator (a trailing '/'); drop it, unless it is root.
      if (prefix.size() > 1) prefix.pop_back();
    } else if (!DirectoryExists(prefix)) {
      mkdir(prefix.c_str(), 0777);  // a level that cannot be made shows up one level later
    }
    if (last) break;
    rest.erase(0, i + 1);
  }
  return true;
}

bool ForceDeleteFile(const std::string& path) {
  if (!FileExists(path)) return false;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  if ((st.st_mode & S_IWUSR) == 0 && chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) {
    return false;
  }
  return unlink(path.c_str()) == 0;
}

std::vector<std::string> SplitString(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  size_t pos = text.find_first_not_of(delimiter);
  if (pos == std::string::npos) pos = text.size();
  for (;;) {
    const size_t next = text.find(delimiter, pos);
    if (next == std::string::npos) {
      pieces.push_back(text.substr(pos));
      break;
    }
    pieces.push_back(text.substr(pos, next - pos));
    pos = next + 1;
  }
  return pieces;
}

std::string LibraryDirectory() {
  Dl_info info{};
  // Any function of this module will do; its address lies inside the module's mapping.
  if (dladdr(reinterpret_cast<void*>(&LibraryDirectory), &info) != 0 &&
      info.dli_fname != nullptr && info.dli_fname[0] != '\0') {
    char real[PATH_MAX];
    if (realpath(info.dli_fname, real) != nullptr) return ParentOf(real);
  }
  // Linked into the program itself, dladdr may give no usable name.
  std::string dir;
  return ModuleDirectory(dir) ? dir : std::string();
}
