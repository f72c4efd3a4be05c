// Helpers for the support tests: a scratch directory and running a check in a child process
// (the POCO logger and file locks are process-wide, so some checks need a fresh process).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "common/temp_dir.h"

namespace support_test {

using test_common::TempDir;

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs check in a forked child. The check returns an empty string on success or a
// description of what went wrong; the result here is that description, or a note when the
// child died or could not be started.
inline std::string RunInChild(const std::function<std::string()>& check) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    close(fds[0]);
    std::string failure;
    try {
      failure = check();
    } catch (const std::exception& e) {
      failure = std::string("exception: ") + e.what();
    } catch (...) {
      failure = "unknown exception";
    }
    for (ssize_t n = 0, done = 0; done < static_cast<ssize_t>(failure.size()); done += n)
      if ((n = write(fds[1], failure.data() + done, failure.size() - static_cast<size_t>(done))) <= 0) break;
    _exit(0);  // skip the parent's static destructors and gtest's exit handling
  }
  close(fds[1]);
  std::string failure;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof(buf))) > 0) failure.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) failure += " (child did not exit cleanly)";
  return failure;
}

}  // namespace support_test
