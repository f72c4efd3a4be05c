// GOST R 34.11-2012 throughput of the provider against OpenSSL's GOST engine: 64 MiB through
// CryptHashData with CALG_GR3411_2012_256 and _512, each alternated RUNS times (default 5)
// with `openssl speed -evp md_gost12_256` / `md_gost12_512` in the same run; the medians
// and their ratio are reported. Exits 1 when the 256-bit ratio is below 1.2.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <time.h>
#include <unistd.h>

#include "vexor/platform.h"

namespace {

constexpr size_t kTotal = 64u << 20;
constexpr size_t kChunk = 16u << 10;
constexpr double kMinRatio = 1.2;

std::string WriteOpensslConfig() {
  char path[] = "/tmp/vexor-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return {};
  const char text[] =
      "openssl_conf = openssl_def\n[openssl_def]\nengines = engine_section\n"
      "[engine_section]\ngost = gost_section\n[gost_section]\nengine_id = gost\n"
      "default_algorithms = ALL\n";
  const bool ok = write(fd, text, sizeof(text) - 1) == ssize_t(sizeof(text) - 1);
  close(fd);
  return ok ? path : std::string();
}

// Bytes per second from `openssl speed` (16 KiB blocks, user time), 0 on failure.
double OpensslSpeed(const std::string& config, const char* name) {
  const std::string cmd = "OPENSSL_CONF=" + config + " openssl speed -evp " + name +
                          " -seconds 1 -bytes 16384 2>/dev/null";
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

// CPU time of this process, as `openssl speed` counts it.
double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double HashRate(HCRYPTPROV prov, ALG_ID alg) {
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(prov, alg, 0, 0, &hash)) return 0;
  std::vector<BYTE> buffer(kChunk, 0x5A);
  const double start = CpuSeconds();
  bool ok = true;
  for (size_t done = 0; ok && done < kTotal; done += kChunk)
    ok = CryptHashData(hash, buffer.data(), DWORD(buffer.size()), 0) != 0;
  BYTE value[64];
  DWORD len = sizeof(value);
  ok = ok && CryptGetHashParam(hash, HP_HASHVAL, value, &len, 0);
  const double rate = double(kTotal) / (CpuSeconds() - start);
  CryptDestroyHash(hash);
  return ok ? rate : 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main() {
  const char* runs_env = std::getenv("RUNS");
  const int runs = runs_env != nullptr ? std::max(1, std::atoi(runs_env)) : 5;
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT)) {
    std::fprintf(stderr, "provider setup failed: 0x%08X\n", GetLastError());
    return 2;
  }
  const std::string config = WriteOpensslConfig();
  struct Row {
    const char* name;
    ALG_ID alg;
    const char* openssl;
    std::vector<double> ours, theirs;
  } rows[] = {{"GOST R 34.11-2012 256", CALG_GR3411_2012_256, "md_gost12_256", {}, {}},
              {"GOST R 34.11-2012 512", CALG_GR3411_2012_512, "md_gost12_512", {}, {}}};
  for (int i = 0; i < runs; ++i) {
    for (Row& r : rows) {
      r.ours.push_back(HashRate(prov, r.alg));
      r.theirs.push_back(OpensslSpeed(config, r.openssl));
    }
  }
  if (!config.empty()) unlink(config.c_str());
  CryptReleaseContext(prov, 0);
  bool ok = true;
  for (const Row& r : rows) {
    const double ours = Median(r.ours), theirs = Median(r.theirs);
    const double ratio = theirs > 0 ? ours / theirs : 0;
    std::printf("%-24s %8.1f MB/s   openssl %8.1f MB/s   ratio %.2f (median of %d)\n", r.name,
                ours / 1e6, theirs / 1e6, ratio, runs);
    if (r.alg == CALG_GR3411_2012_256 && ratio < kMinRatio) ok = false;
  }
  return ok ? 0 : 1;
}
