// The timing pieces the in-process benchmarks share: CPU time of this process, medians, and
// `openssl speed -evp` with the GOST engine as the peer measured in the same run.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <time.h>
#include <unistd.h>

namespace bench {

// The engine configured through a configuration file of its own, since `openssl speed`
// resolves -evp names before it would load an engine given with -engine. The caller
// unlinks the file; empty on failure.
inline std::string WriteOpensslConfig() {
  char path[] = "/tmp/vexor-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return {};
  const char text[] =
      "openssl_conf = openssl_def\n[openssl_def]\nengines = engine_section\n"
      "[engine_section]\ngost = gost_section\n[gost_section]\nengine_id = gost\n"
      "default_algorithms = ALL\nCRYPT_PARAMS = id-Gost28147-89-CryptoPro-A-ParamSet\n";
  const bool ok = write(fd, text, sizeof(text) - 1) == ssize_t(sizeof(text) - 1);
  close(fd);
  return ok ? path : std::string();
}

// Bytes per second of one algorithm from `openssl speed` (16 KiB blocks, CPU user time),
// 0 on failure.
inline double OpensslSpeed(const std::string& config, const char* name, int seconds,
                           const char* extra = "") {
  const std::string cmd = "OPENSSL_CONF=" + config + " openssl speed " + extra + " -evp " +
                          name + " -seconds " + std::to_string(seconds) +
                          " -bytes 16384 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return 0;
  char line[512];
  double kbytes = 0;
  while (std::fgets(line, sizeof(line), p) != nullptr) {
    if (std::strncmp(line, name, std::strlen(name)) == 0)
      std::sscanf(line + std::strlen(name), " %lfk", &kbytes);
  }
  pclose(p);
  return kbytes * 1000.0;
}

// CPU time of this process: `openssl speed` counts user time too, so both sides are
// measured alike on a machine shared with other work.
inline double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Bytes per second of CPU time for total bytes fed by step(final) in pieces of chunk
// bytes; 0 when a step fails.
template <typename Fn>
double BytesPerSecond(size_t total, size_t chunk, Fn step) {
  const double start = CpuSeconds();
  for (size_t done = 0; done < total; done += chunk)
    if (!step(done + chunk >= total)) return 0;
  return double(total) / (CpuSeconds() - start);
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace bench
