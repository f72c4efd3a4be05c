// Sweeping scratch files: what a killed process left goes, what a live one holds stays.
#include "scratch/scratch.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "common/temp_dir.h"

namespace fs = std::filesystem;

namespace {

void MakeOld(const std::string& path) {
  const time_t old = std::time(nullptr) - 3600;
  utimbuf times{old, old};
  ASSERT_EQ(utime(path.c_str(), &times), 0);
}

// A file created and claimed by a child process that then dies without cleaning up.
std::string LeftByKilledProcess(const std::string& dir) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    std::string name = dir + "/store.sst.tmp.XXXXXX";
    if (scratch::CreateClaimed(name) < 0) _exit(1);
    if (write(pipe_fds[1], name.data(), name.size()) != static_cast<ssize_t>(name.size())) _exit(1);
    _exit(0);  // the claim goes with the process
  }
  close(pipe_fds[1]);
  char buffer[4096];
  const ssize_t n = read(pipe_fds[0], buffer, sizeof(buffer));
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace

TEST(Scratch, SweepTakesOnlyOldUnclaimedFilesOfItsOwnName) {
  test_common::TempDir temp;
  const std::string dir_path = temp.path().string();
  const std::string orphan = LeftByKilledProcess(dir_path);
  ASSERT_FALSE(orphan.empty());
  MakeOld(orphan);

  std::string live = dir_path + "/store.sst.tmp.XXXXXX";
  const int live_claim = scratch::CreateClaimed(live);
  ASSERT_GE(live_claim, 0);
  MakeOld(live);

  const std::string young = dir_path + "/store.sst.tmp.young1";
  std::ofstream(young) << "x";
  const std::string other_name = dir_path + "/other.sst.tmp.abcdef";
  std::ofstream(other_name) << "x";
  MakeOld(other_name);
  const std::string target = dir_path + "/precious";
  std::ofstream(target) << "x";
  const std::string link = dir_path + "/store.sst.tmp.link00";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

  EXPECT_EQ(scratch::SweepUnclaimed(dir_path, "store.sst.tmp."), 1u);
  EXPECT_FALSE(fs::exists(orphan));
  EXPECT_TRUE(fs::exists(live));
  EXPECT_TRUE(fs::exists(young));
  EXPECT_TRUE(fs::exists(other_name));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::exists(target));

  // Once its creator lets go, the old file is a leftover too.
  close(live_claim);
  EXPECT_EQ(scratch::SweepUnclaimed(dir_path, "store.sst.tmp."), 1u);
  EXPECT_FALSE(fs::exists(live));
}
