// Running the tool from a test: a shell command line, its output and its exit status.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

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

}  // namespace tool_test
