// Running the tool from a test: a shell command line, its output and its exit status; and the
// fixture every tool test shares.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace tool_test {

struct Result {
  int status = -1;
  std::string out;  // standard output and standard error together
};

inline Result Sh(const std::string& command) {
  Result r;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), p)) > 0) r.out.append(buffer, n);
  const int raw = pclose(p);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Files a suite's script makes once in a temporary folder, and per test a platform home of
// its own with a working directory in it. The tool runs with that home and per-user folders
// inside it (the default working directory is $XDG_DATA_HOME/vexor).
class ToolHome : public ::testing::Test {
 protected:
  // Called from a suite's SetUpTestSuite: runs `script` in a fresh folder.
  static void MakeSuiteFiles(const std::string& script) {
    std::string templ = (std::filesystem::temp_directory_path() / "vexor-tool-XXXXXX").string();
    dir_ = mkdtemp(templ.data());
    const Result r = Sh("cd '" + dir_ + "' && " + script);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

  void SetUp() override {
    home_ = dir_ + "/home-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    work_ = home_ + "/work";
    std::filesystem::create_directories(work_);
  }

  std::string Env() const {
    return "VEXOR_CSP_HOME='" + home_ + "' XDG_DATA_HOME='" + home_ + "/data' VEXOR_WORKDIR= ";
  }
  // The start of a command line that runs the tool.
  std::string Tool() const { return Env() + VEXOR_BIN_DIR "/vexor "; }
  Result Vexor(const std::string& args) const { return Sh(Tool() + args); }
  Result Lib(const std::string& args) const { return Vexor(args + " --workdir '" + work_ + "'"); }
  static std::string P(const std::string& name) { return dir_ + "/" + name; }
  // Runs the tool in the working directory: the exit status, and the text unless empty.
  void Expect(const std::string& args, int status, const std::string& text = "") const {
    const Result r = Lib(args);
    EXPECT_EQ(r.status, status) << args << "\n" << r.out;
    EXPECT_NE(r.out.find(text), std::string::npos) << args << "\n" << r.out;
  }

  // Installs the suite's name.pem with name.key, without a PIN.
  void Install(const std::string& name) const {
    const Result r = Vexor("store install --cert " + P(name + ".pem") + " --key " + P(name + ".key") + " --no-pin");
    ASSERT_EQ(r.status, 0) << r.out;
  }

  static inline std::string dir_;  // the running suite's
  std::string home_, work_;
};

}  // namespace tool_test
