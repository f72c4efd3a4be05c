// In-process fixture of the store and search tests: a fresh platform home, a working
// directory and an initialised operation object, with the callback's log lines kept.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "frame/vexor_impl.h"
#include "text/text.h"
#include "test_certs.h"
#include "tools/host_callback.h"

namespace library_test {

namespace fs = std::filesystem;

inline fs::path MakeTempDir(const char* stem) {
  std::string t = (fs::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
  return mkdtemp(t.data());
}

// Keeps the log lines (in UTF-8) and can play the host's own certificate search.
class Recorder : public HostCallback {
 public:
  Recorder() {
    onLog = [this](const char* text) { lines.push_back(text::Cp1251ToUtf8(text)); };
  }
  bool Saw(const std::string& utf8) const {
    for (const auto& l : lines)
      if (l.find(utf8) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> lines;
};

// Vexor.ini with custom options in a directory.
inline void WriteIniTo(const fs::path& dir, const std::string& settings) {
  std::ofstream(dir / "Vexor.ini") << "[Settings]\nUsingCustomOptions=1\n" << settings;
}

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test_pki::Pki::Get().ok()) << test_pki::Pki::Get().error;
    work_ = MakeTempDir("vexor-lib-work");
  }
  void TearDown() override {
    obj_.reset();
    std::error_code ec;
    fs::remove_all(work_, ec);
  }
  // A new object initialised on the working directory, with or without the recorder.
  IVexorImpl& Object(bool with_callback = true) {
    obj_ = std::make_unique<IVexorImpl>();
    EXPECT_EQ(obj_->Init(work_.c_str(), with_callback ? &cb_ : nullptr, CERT_SYSTEM_STORE_CURRENT_USER), 0);
    return *obj_;
  }
  void WriteIni(const std::string& settings) {
    std::ofstream(work_ / "Vexor.ini") << "[Settings]\nUsingCustomOptions=1\n" << settings;
  }

  test_pki::ScopedHome home_;
  fs::path work_;
  Recorder cb_;
  std::unique_ptr<IVexorImpl> obj_;
};

}  // namespace library_test
