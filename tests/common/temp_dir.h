// Scratch directories for every test binary: a fresh folder removed with its contents at
// scope end, and the platform's home pointed at one for a test's life.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace test_common {

// A fresh directory under $TMPDIR (else /tmp), removed with everything in it at scope end.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "vexor-test") {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(templ.data()) != nullptr) path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of an entry, as text.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path_ / name, std::ios::binary | std::ios::trunc) << bytes;
  }

 private:
  std::filesystem::path path_;
};

// Points VEXOR_CSP_HOME at a fresh directory for the object's life, without a PIN; the
// previous value comes back at scope end.
class ScopedCspHome {
 public:
  ScopedCspHome() : dir_("vexor-csp-home") {
    if (const char* prev = std::getenv("VEXOR_CSP_HOME")) previous_ = prev, had_previous_ = true;
    setenv("VEXOR_CSP_HOME", dir_.path().c_str(), 1);
    unsetenv("VEXOR_CSP_PIN");
  }
  ~ScopedCspHome() {
    if (had_previous_)
      setenv("VEXOR_CSP_HOME", previous_.c_str(), 1);
    else
      unsetenv("VEXOR_CSP_HOME");
  }
  ScopedCspHome(const ScopedCspHome&) = delete;
  ScopedCspHome& operator=(const ScopedCspHome&) = delete;
  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::string previous_;
  bool had_previous_ = false;
};

}  // namespace test_common
