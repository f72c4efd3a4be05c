// The operation object's frame: failure reports, the temporary-file registry, per-call
// option snapshots and extended log lines.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "call/failure.h"
#include "call/result_codes.h"
#include "certs/instance_context.h"
#include "common/standalone_call.h"
#include "common/temp_dir.h"
#include "frame/vexor_impl.h"
#include "text/text.h"
#include "tools/host_callback.h"

namespace fs = std::filesystem;
using test_common::TempDir;

// Failure reports need only a call's log and options: no operation object is made.
TEST(FailureReport, ReasonIsLoggedButNotRaised) {
  test_common::StandaloneCall call;
  InstanceContext ctx = call.Make();
  SetLastError(ERROR_ACCESS_DENIED);
  try {
    ReportFailureWithReason(ctx, RC_STORE_SAVE, "Сохранение %d", 7);
    FAIL() << "no exception";
  } catch (const CryptoOperations::SystemException& e) {
    EXPECT_EQ(text::Cp1251ToUtf8(e.what()), "Сохранение 7");
  }
  EXPECT_EQ(call.log.lines.back(), "Сохранение 7, причина: Access is denied. (0x00000005)");
}

TEST(TempFiles, RegistryTrimsAndContextDeletes) {
  IVexorImpl obj;
  std::vector<std::string> names;
  for (int i = 0; i < 101; ++i) names.push_back(obj.tempFiles().NewFile());
  for (const auto& n : names) ASSERT_TRUE(fs::exists(n)) << n;
  EXPECT_EQ(fs::path(names[0]).filename().string().substr(0, 3), "qui");

  const std::string next = obj.tempFiles().NewFile();
  EXPECT_EQ(obj.tempFiles().count(), 51u);
  for (int i = 0; i <= 50; ++i) EXPECT_FALSE(fs::exists(names[i])) << i;
  for (int i = 51; i < 101; ++i) EXPECT_TRUE(fs::exists(names[i])) << i;

  { InstanceContext ctx = obj.NewCall(); }
  EXPECT_EQ(obj.tempFiles().count(), 0u);
  EXPECT_FALSE(fs::exists(next));
  EXPECT_FALSE(fs::exists(names[100]));
}

TEST(InstanceContext, SnapshotIsUnaffectedByLaterInit) {
  TempDir dir;
  dir.Write("Vexor.ini", "[Settings]\nUsingCustomOptions=1\nSkipCheckCRL=1\n");
  IVexorImpl obj;
  ASSERT_EQ(obj.Init(dir.path().c_str(), nullptr, 0x10000), 0);
  InstanceContext first = obj.NewCall();
  EXPECT_EQ(first.options.SkipCheckCRL, 1);
  EXPECT_EQ(first.workDir, dir.path());

  dir.Write("Vexor.ini", "[Settings]\nUsingCustomOptions=1\nSkipCheckCRL=0\n");
  ASSERT_EQ(obj.Init(dir.path().c_str(), nullptr, 0x10000), 0);
  InstanceContext second = obj.NewCall();
  EXPECT_EQ(first.options.SkipCheckCRL, 1);
  EXPECT_EQ(second.options.SkipCheckCRL, 0);
}

TEST(Logging, ExtendedLinesOnlyWhenAsked) {
  TempDir dir;
  dir.Write("Vexor.ini", "[Settings]\nUsingCustomOptions=1\n");
  IVexorImpl obj;
  std::vector<std::string> lines;
  HostCallback cb;
  cb.onLog = [&lines](const char* text) { lines.push_back(text::Cp1251ToUtf8(text)); };
  ASSERT_EQ(obj.Init(dir.path().c_str(), &cb, 0x10000), 0);
  lines.clear();
  obj.LogExt("extended %d", 1);
  EXPECT_TRUE(lines.empty());
  dir.Write("Vexor.ini", "[Settings]\nUsingCustomOptions=1\nLogExtended=1\n");
  ASSERT_EQ(obj.Init(dir.path().c_str(), &cb, 0x10000), 0);
  lines.clear();
  obj.LogExt("extended %d", 2);
  EXPECT_EQ(lines, std::vector<std::string>{"extended 2"});
}
