// File and path helpers: path resolution, nested directory creation, forced delete.
#include "support/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/test_util.h"

namespace {

namespace fs = std::filesystem;
using Pieces = std::vector<std::string>;

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
