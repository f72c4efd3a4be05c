// The library as a host sees it: loaded with dlopen, driven through the public header only.
#include <dlfcn.h>
#include <sys/wait.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "host/host_library.h"
#include "tools/host_callback.h"
#include "vexor/vexor.h"

namespace fs = std::filesystem;

namespace {

// Windows-1251 bytes written out by hand, so the library's code page is checked against
// something it did not produce.
const std::string kUnknownError =  // "Неизвестная ошибка"
    "\xCD\xE5\xE8\xE7\xE2\xE5\xF1\xF2\xED\xE0\xFF \xEE\xF8\xE8\xE1\xEA\xE0";
const std::string kSuccess =  // "Операция завершена успешно"
    "\xCE\xEF\xE5\xF0\xE0\xF6\xE8\xFF \xE7\xE0\xE2\xE5\xF0\xF8\xE5\xED\xE0 \xF3\xF1\xEF\xE5\xF8\xED\xEE";
const std::string kVersionPrefix = "Vexor.dll \xE2\xE5\xF0\xF1\xE8\xFF ";  // "Vexor.dll версия "
const std::string kFromIni =  // "Настройки будут считаны из файла Vexor.ini."
    "\xCD\xE0\xF1\xF2\xF0\xEE\xE9\xEA\xE8 \xE1\xF3\xE4\xF3\xF2 \xF1\xF7\xE8\xF2\xE0\xED\xFB \xE8\xE7 "
    "\xF4\xE0\xE9\xEB\xE0 Vexor.ini.";

using host::Lib;
using host::LogFile;
using host::Object;

Object NewObject() {
  IVexor* raw = nullptr;
  EXPECT_EQ(Lib().create(&raw), 0);
  return Object(raw);
}

using test_common::TempDir;

// Records what the library logs through the callback.
class RecordingCallback : public HostCallback {
 public:
  RecordingCallback() {
    onLog = [this](const char* text) { lines.push_back(text); };
  }
  bool Saw(const std::string& text) const {
    for (const auto& l : lines)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> lines;
};

}  // namespace

TEST(Host, ExportsExactlyThreeSymbols) {
  EXPECT_EQ(test_pki::Run("nm -D --defined-only " VEXOR_LIB_DIR "/libvexor.so | awk '{print $3}' | sort").out,
            "CreateObjectInstance\nDestroyObjectInstance\nGetIVersion\n");
}

// Loaded, created, initialised (the log gets the version line) and destroyed through the
// three exports; the host's locale stays as it was, whatever the environment says.
TEST(Host, LoadsCreatesInitialisesAndDestroys) {
  setenv("LC_ALL", "C.UTF-8", 1);
  const std::string locale = setlocale(LC_ALL, nullptr);
  ASSERT_TRUE(Lib().loaded()) << dlerror();
  EXPECT_EQ(Lib().version(), 11);
  IVexor* none = nullptr;
  EXPECT_EQ(Lib().destroy(&none), 0);
  IVexor* obj = nullptr;
  ASSERT_EQ(Lib().create(&obj), 0);
  ASSERT_NE(obj, nullptr);
  EXPECT_FALSE(obj->IsInitialized());
  TempDir dir;
  EXPECT_EQ(obj->Init(dir.path().c_str(), nullptr, CERT_SYSTEM_STORE_CURRENT_USER), 0);
  EXPECT_TRUE(obj->IsInitialized());
  EXPECT_EQ(Lib().destroy(&obj), 0);
  EXPECT_EQ(obj, nullptr);
  EXPECT_NE(host::ReadText(LogFile()).find(kVersionPrefix), std::string::npos) << "no version line in " << LogFile();
  unsetenv("LC_ALL");
  EXPECT_EQ(setlocale(LC_ALL, nullptr), locale);
}

TEST(Host, ResultTextsAreWindows1251) {
  Object obj = NewObject();
  EXPECT_EQ(obj->GetErrorText(0), kSuccess);
  EXPECT_EQ(obj->GetErrorText(11), obj->GetErrorText(12));
  EXPECT_FALSE(obj->GetErrorText(11).empty());
  for (int32_t code : {-1, 3, 51}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(obj->GetErrorText(code), kUnknownError);
  }
  EXPECT_NE(obj->GetErrorText(50), kUnknownError);
}

// Unloaded and loaded again in one process, the library logs as the first time: its log
// (in the probe's own state folder) gets the version line of both loads.
TEST(Host, ReloadedLibraryLogsAgain) {
  TempDir dir;
  // With the platform library beside it, as installed: the library finds it in its own folder.
  std::filesystem::copy_file(VEXOR_LIB_DIR "/libvexor.so", dir.path() / "libvexor.so");
  std::filesystem::copy_file(VEXOR_LIB_DIR "/libvexorcsp.so.1", dir.path() / "libvexorcsp.so.1");
  const std::string command = "XDG_STATE_HOME='" + dir.path().string() + "' " VEXOR_BIN_DIR "/reload_probe '" +
                              (dir / "libvexor.so") + "' '" + dir.path().string() + "'";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "the library stays loaded after dlclose here";
  ASSERT_EQ(WEXITSTATUS(status), 0);
  const std::string log = host::ReadText(dir.path() / "vexor" / "Vexor.log");
  size_t lines = 0;
  for (size_t at = log.find(kVersionPrefix); at != std::string::npos; at = log.find(kVersionPrefix, at + 1)) ++lines;
  EXPECT_EQ(lines, 2u) << log;
}

TEST(Host, CallbackWorkingDirectoryWinsButTheArgumentIsChecked) {
  TempDir from_callback;
  from_callback.Write("Vexor.ini", "[Settings]\nUsingCustomOptions=1\n");
  TempDir argument;
  RecordingCallback cb;
  cb.workDir = from_callback.path().string() + "/";
  Object obj = NewObject();
  EXPECT_EQ(obj->Init(argument.path().c_str(), &cb, 0x10000), 0);
  EXPECT_TRUE(cb.Saw(kFromIni)) << "settings were not read from the callback's directory";

  RecordingCallback cb2;
  cb2.workDir = from_callback.path().string();
  Object obj2 = NewObject();
  EXPECT_EQ(obj2->Init((argument.path() / "missing").c_str(), &cb2, 0x10000), 4);
}

TEST(Host, OffLogFileKeepsMessagesButNotTraceLines) {
  TempDir dir;
  dir.Write("Vexor.ini", "[Settings]\nUsingCustomOptions=1\nOffLogFile=1\n");
  RecordingCallback cb;
  Object obj = NewObject();
  ASSERT_EQ(obj->Init(dir.path().c_str(), &cb, 0x10000), 0);
  cb.lines.clear();
  const auto before = fs::file_size(LogFile());
  std::istringstream in("data");
  std::ostringstream out;
  obj->sign_stream_d(CertPartyParam{}, in, out, 7);
  const std::string missing = (dir.path() / "nowhere").string();
  EXPECT_EQ(obj->Init(missing.c_str(), &cb, 0x10000), 4);
  EXPECT_TRUE(cb.lines.empty()) << cb.lines.front();
  obj.reset();
  const std::string tail = host::OwnLines(host::ReadText(LogFile()).substr(before));
  EXPECT_NE(tail.find("IVexorImpl::sign_stream_d: entered"), std::string::npos);
  EXPECT_EQ(tail.find(missing), std::string::npos);
}

// The host's log hook sees every message line first; a line it refuses never reaches the
// log file, while the trace lines do. (The version line comes before the hook is known.)
TEST(Host, LogHookVetoKeepsALineOutOfTheLog) {
  class Vetoing : public HostCallback {
   public:
    bool OnLog(const char* text) override { return std::string(text).find("UsingCustomOptions") == std::string::npos; }
  };
  auto tail_of_a_run = [](VexorCallBack& cb) {
    TempDir dir;
    const auto before = fs::file_size(LogFile());
    Object obj = NewObject();
    EXPECT_EQ(obj->Init(dir.path().c_str(), &cb, 0x10000), 0);
    std::istringstream in("data");
    std::ostringstream out;
    EXPECT_EQ(obj->sign_stream_a(CertPartyParam{}, in, out, VEXOR_FORMAT_141), 1);
    obj.reset();
    return host::OwnLines(host::ReadText(LogFile()).substr(before));
  };
  HostCallback plain;
  const std::string allowed = tail_of_a_run(plain);
  EXPECT_NE(allowed.find("UsingCustomOptions"), std::string::npos) << allowed;
  Vetoing vetoing;
  const std::string vetoed = tail_of_a_run(vetoing);
  EXPECT_EQ(vetoed.find("UsingCustomOptions"), std::string::npos) << vetoed;
  EXPECT_NE(vetoed.find("IVexorImpl::sign_stream_a: entered"), std::string::npos);
}
