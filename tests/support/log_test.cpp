// The diagnostic log. The POCO logger is process-wide and configured once, so every case runs
// in a child process of its own and the parent inspects the files it left.
#include "support/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <Poco/Logger.h>

#include <cctype>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/test_util.h"

namespace {

namespace fs = std::filesystem;
using support_test::ReadFile;
using support_test::RunInChild;
using support_test::TempDir;
using support_test::WriteFile;

void WriteSettings(const TempDir& dir, const std::string& body) {
  WriteFile(dir / "settings.xml", "<?xml version=\"1.0\"?>\n<LogConfig>\n" + body + "</LogConfig>\n");
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(DiagnosticLog, DefaultLineBesideTheFolderWithoutSettingsFile) {
  TempDir dir;
  // Lines carry local time: a zone half an hour off any whole-hour one shows it. The child
  // notes its process id and the minutes before and after the write.
  EXPECT_EQ(RunInChild([&] {
              CryptoLog::DiagnosticLogger log(dir.path());
              setenv("TZ", "VXT-03:30", 1);
              tzset();
              auto minute = [] {
                const std::time_t now = std::time(nullptr);
                std::tm local{};
                localtime_r(&now, &local);
                char text[32];
                std::strftime(text, sizeof text, "[%Y-%m-%d %H:%M", &local);
                return std::string(text);
              };
              const std::string before = minute();
              log.Write("hello");
              WriteFile(dir / "noted", std::to_string(getpid()) + "\n" + before + "\n" + minute());
              return std::string();
            }),
            "");
  const std::vector<std::string> lines = Lines(ReadFile(dir / "log/Vexor/Vexor.log")), noted = Lines(ReadFile(dir / "noted"));
  ASSERT_EQ(lines.size(), 1u);
  ASSERT_EQ(noted.size(), 3u);
  // Every digit masked, the line has the pattern's shape; the system thread id of a main
  // thread is its process id.
  std::string shape = lines[0];
  for (char& c : shape)
    if (std::isdigit(static_cast<unsigned char>(c))) c = '#';
  const std::string pid(noted[0].size(), '#');
  EXPECT_EQ(shape, "[####-##-## ##:##:##.######] [P:" + pid + "] [T:" + pid + "] [Trace] Vexor: hello");
  EXPECT_NE(lines[0].find("] [P:" + noted[0] + "] [T:" + noted[0] + "] "), std::string::npos) << lines[0];
  EXPECT_TRUE(lines[0].rfind(noted[1], 0) == 0 || lines[0].rfind(noted[2], 0) == 0) << lines[0] << " " << noted[1];
}

// Without a folder of its own the library's log is the user's: settings.xml from the user's
// configuration folder, the file in the user's state folder, owner-only, and never beside the
// library. Without $XDG_STATE_HOME the state folder is ~/.local/state.
TEST(DiagnosticLog, UsersFoldersByDefault) {
  TempDir dir;
  const std::string beside_library = LibraryDirectory() + "/log/Vexor/Vexor.log";
  auto size_of = [](const std::string& p) { return fs::exists(p) ? static_cast<long long>(fs::file_size(p)) : -1LL; };
  const long long beside_before = size_of(beside_library);
  fs::create_directories(dir / "config/vexor");
  WriteFile(dir / "config/vexor/settings.xml",
            "<?xml version=\"1.0\"?>\n<LogConfig>\n<pattern>%s|%t</pattern>\n</LogConfig>\n");
  EXPECT_EQ(RunInChild([&] {
              setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
              setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
              CryptoLog::DiagnosticLogger log;
              log.Write("kept");
              return log.logFileName() == dir / "state/vexor/Vexor.log" ? std::string() : log.logFileName();
            }),
            "");
  EXPECT_EQ(ReadFile(dir / "state/vexor/Vexor.log"), "Vexor|kept\n");
  auto mode = [&](const fs::path& p) { return fs::status(p).permissions() & fs::perms::all; };
  EXPECT_EQ(mode(dir / "state/vexor/Vexor.log"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(mode(dir / "state"), fs::perms::owner_all);
  EXPECT_EQ(mode(dir / "state/vexor"), fs::perms::owner_all);
  EXPECT_EQ(size_of(beside_library), beside_before) << "written beside the library";

  EXPECT_EQ(RunInChild([&] {
              unsetenv("XDG_STATE_HOME");
              setenv("XDG_CONFIG_HOME", (dir / "none").c_str(), 1);
              setenv("HOME", (dir / "home").c_str(), 1);
              CryptoLog::DiagnosticLogger log;
              return log.logDirectory() == dir / "home/.local/state/vexor" ? std::string() : log.logDirectory();
            }),
            "");
}

TEST(DiagnosticLog, SettingsFileChoosesPathsAndPatternBytesUnchanged) {
  TempDir dir;
  WriteSettings(dir,
                "<logDirectory>sub\\..\\logs2\\</logDirectory>\n"
                "<logFileName>out/lines.txt</logFileName>\n"
                "<logFileSize>1 M</logFileSize>\n<logFileCount>3</logFileCount>\n"
                "<compress>false</compress>\n<pattern>%s|%p|%t</pattern>\n");
  // "Привет" in Windows-1251, plus bytes that are not UTF-8 at all.
  const std::string text = "\xCF\xF0\xE8\xE2\xE5\xF2 \x98\xFF";
  EXPECT_EQ(RunInChild([&] {
              CryptoLog::DiagnosticLogger log(dir.path());
              std::ostringstream got;
              if (log.logDirectory() != dir / "logs2") got << "dir " << log.logDirectory();
              if (log.logFileName() != dir / "out/lines.txt") got << " file " << log.logFileName();
              if (log.logFileSize() != "1 M" || log.logFileCount() != "3" || log.compress() != "false")
                got << " values";
              log.Write(text);
              return got.str();
            }),
            "");
  EXPECT_EQ(ReadFile(dir / "out/lines.txt"), "Vexor|Trace|" + text + "\n");
}

// Two objects share the first one's configuration; once the last of them goes, what they
// wrote is on disk, and a later object reuses the chain and reopens the file.
TEST(DiagnosticLog, ObjectsShareTheFirstConfigurationAndTheFileIsCompleteWhenTheLastGoes) {
  TempDir first, second;
  WriteSettings(first, "<pattern>%t</pattern>\n");
  WriteSettings(second, "<logDirectory>./other</logDirectory>\n");
  const std::string file = first / "log/Vexor/Vexor.log";
  EXPECT_EQ(RunInChild([&] {
              {
                CryptoLog::DiagnosticLogger a(first.path());
                CryptoLog::DiagnosticLogger b(second.path());
                if (a.pocoLogger() != b.pocoLogger()) return std::string("two POCO loggers");
                b.Write("from b");
                a.Write("from a");
              }
              // No logger is alive now; what was written must be on disk without exiting.
              if (ReadFile(file) != "from b\nfrom a\n") return std::string("not flushed");
              CryptoLog::DiagnosticLogger again(first.path());
              again.Write("again");
              return std::string();
            }),
            "");
  EXPECT_EQ(ReadFile(file), "from b\nfrom a\nagain\n");
  EXPECT_FALSE(fs::exists(second / "other"));
}

TEST(DiagnosticLog, BrokenConfigurationNeverThrowsAndWritesNothing) {
  struct Row {
    const char* label;
    std::string settings;  // body of settings.xml, or raw text when it starts with '!'
  } rows[] = {
      {"directory blocked by a file", "<logDirectory>./blocker/sub</logDirectory>\n"},
      {"unknown level", "<level>loud</level>\n"},
      {"bad rotation size", "<logFileSize>huge</logFileSize>\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    TempDir dir;
    WriteFile(dir / "blocker", "x");
    WriteSettings(dir, row.settings);
    EXPECT_EQ(RunInChild([&] {
                CryptoLog::DiagnosticLogger log(dir.path());
                if (log.pocoLogger() != nullptr || log.IsActive()) return std::string("configured");
                log.Write("lost");
                // A half-made logger must not be left behind for the next object to reuse.
                if (Poco::Logger::has("Vexor") != nullptr) return std::string("POCO logger left");
                return std::string();
              }),
              "");
  }
}

// Threads of one object write at once into a file rotated by size: every line stays whole,
// none is lost across rotations, each archive ends within the lines in flight at its limit,
// and only the newest archives are kept.
TEST(LogAccessor, ConcurrentWritersAndRotationKeepLinesWhole) {
  for (const int keep : {100, 3}) {
    SCOPED_TRACE(keep);
    TempDir dir;
    WriteSettings(dir, "<pattern>%t</pattern>\n<logFileSize>8 K</logFileSize>\n<logFileCount>" +
                           std::to_string(keep) + "</logFileCount>\n<compress>false</compress>\n");
    EXPECT_EQ(RunInChild([&] {
                CLogAccessor log(dir.path(), true);
                std::vector<std::thread> threads;
                for (char c : {'a', 'b', 'c'}) {
                  threads.emplace_back([&log, c] {
                    for (int i = 0; i < 300; ++i) log.Write(std::string(200, c));
                  });
                }
                for (auto& t : threads) t.join();
                return std::string();
              }),
              "");
    size_t lines = 0, archives = 0;
    for (const auto& entry : fs::directory_iterator(dir / "log/Vexor")) {
      const std::string name = entry.path().filename().string();
      ASSERT_EQ(name.rfind("Vexor.log", 0), 0u) << name;
      const size_t size = fs::file_size(entry.path());
      EXPECT_LT(size, 8192u + 3 * 201) << name;
      if (name != "Vexor.log") {
        ++archives;
        EXPECT_GE(size, 8192u) << name;
      }
      for (const std::string& line : Lines(ReadFile(entry.path()))) {
        ASSERT_EQ(line.size(), 200u);
        ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos);
        ++lines;
      }
    }
    if (keep == 100) {
      EXPECT_EQ(lines, 900u);
      EXPECT_GE(archives, 900u * 201 / (8192 + 3 * 201));
    } else {
      EXPECT_EQ(archives, 3u);
    }
  }
}

}  // namespace
