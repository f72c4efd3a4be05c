// File and path helpers: splitting, path resolution, nested directory creation, forced delete.
#include "support/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/test_util.h"

namespace {

namespace fs = std::filesystem;
using Pieces = std::vector<std::string>;

TEST(SplitString, Table) {
  struct Row {
    std::string text;
    char delimiter;
    Pieces pieces;
  } rows[] = {
      {"a,,b,", ',', {"a", "", "b", ""}},
      {",,a", ',', {"a"}},
      {"", ',', {""}},
      {",,,", ',', {""}},
      {"abc", ',', {"abc"}},
      {"a,", ',', {"a", ""}},
      {"http://x/a.crl;;ldap://y", ';', {"http://x/a.crl", "", "ldap://y"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("'" + row.text + "'");
    EXPECT_EQ(SplitString(row.text, row.delimiter), row.pieces);
  }
}

TEST(Paths, ModuleAndLibraryDirectory) {
  std::string module_dir;
  ASSERT_TRUE(ModuleDirectory(module_dir));
  const fs::path exe = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(module_dir, exe.parent_path().string());
  // This code is linked into the test program, so its module is the program.
  EXPECT_EQ(LibraryDirectory(), module_dir);
}

TEST(Paths, ResolvePath) {
  std::string module_dir;
  ASSERT_TRUE(ModuleDirectory(module_dir));
  struct Row {
    std::string path;
    std::string resolved;
  } rows[] = {
      {"/a/./b/../c/", "/a/c"},
      {"/a//b", "/a/b"},
      {"/", "/"},
      {"./x/../y", module_dir + "/y"},
      {".", module_dir},
      {"../up", fs::path(module_dir).parent_path().string() + "/up"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    std::string resolved;
    ASSERT_TRUE(ResolvePath(row.path, resolved));
    EXPECT_EQ(resolved, row.resolved);
  }
  std::string untouched = "keep";
  EXPECT_FALSE(ResolvePath("", untouched));
  EXPECT_EQ(untouched, "keep");
}

TEST(Paths, FileAndDirectoryExist) {
  support_test::TempDir dir;
  support_test::WriteFile(dir / "f", "x");
  EXPECT_TRUE(FileExists(dir / "f"));
  EXPECT_FALSE(FileExists(dir.path()));
  EXPECT_FALSE(FileExists(dir / "missing"));
  EXPECT_FALSE(FileExists(""));
  EXPECT_TRUE(DirectoryExists(dir.path()));
  EXPECT_TRUE(DirectoryExists(dir.path().string() + "/"));
  EXPECT_FALSE(DirectoryExists(dir / "f"));
  EXPECT_FALSE(DirectoryExists(""));
}

TEST(EnsureDirectory, CreatesEveryMissingLevel) {
  support_test::TempDir dir;
  struct Row {
    std::string label;
    std::string path;
    std::string expected;  // a directory that must exist afterwards
  } rows[] = {
      {"nested", dir / "a/b/c", dir / "a/b/c"},
      {"trailing separator", dir / "t/u/", dir / "t/u"},
      {"doubled separator", dir / "d//e", dir / "d/e"},
      {"blanks collapse and trim", dir / "x  y /  z", dir / "x y/z"},
      {"existing", dir.path(), dir.path()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_TRUE(EnsureDirectory(row.path));
    EXPECT_TRUE(fs::is_directory(row.expected));
  }
  EXPECT_FALSE(EnsureDirectory(""));
}

TEST(EnsureDirectory, LevelBlockedByAFileIsNotCreated) {
  support_test::TempDir dir;
  support_test::WriteFile(dir / "file", "x");
  // Failures to create a level are ignored: the call still reports true.
  EXPECT_TRUE(EnsureDirectory(dir / "file/sub"));
  EXPECT_FALSE(fs::exists(dir / "file/sub"));
}

TEST(ForceDeleteFile, ReadOnlyMissingAndDirectory) {
  support_test::TempDir dir;
  const std::string ro = dir / "ro";
  support_test::WriteFile(ro, "x");
  ASSERT_EQ(chmod(ro.c_str(), 0444), 0);
  EXPECT_TRUE(ForceDeleteFile(ro));
  EXPECT_FALSE(fs::exists(ro));
  EXPECT_FALSE(ForceDeleteFile(ro));
  EXPECT_FALSE(ForceDeleteFile(dir.path()));
  EXPECT_TRUE(fs::is_directory(dir.path()));
}

}  // namespace
