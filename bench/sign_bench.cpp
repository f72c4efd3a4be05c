// Signing benchmark: the library's PKCS#7 signing (attached and detached) against
// `openssl cms -sign` with the same GOST key, on 1 MiB and 100 MiB inputs. Every signature
// runs in a process of its own, so time and peak memory are measured the same way for both
// (wall clock around the process, ru_maxrss of the finished child). Reports medians and the
// ratios library / openssl.
//
//   sign_bench [runs]        runs per case, 5 when not given
//
// It makes its own key and self-signed certificate with the openssl command and its GOST
// engine, and a private platform home (VEXOR_CSP_HOME) in a temporary directory.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vexor/vexor.h"

namespace fs = std::filesystem;

namespace {

const char kContainer[] = "bench-signer";
const char kSubject[] = "Bench Signer";

struct Sample {
  double seconds = 0;
  long peak_kib = 0;
};

std::vector<BYTE> ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<BYTE>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int Shell(const std::string& cmd) { return std::system(cmd.c_str()); }

// Runs argv in a child; its wall time and peak resident memory. False when it failed.
bool Measure(const std::vector<std::string>& argv, Sample& s) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  s.peak_kib = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Child mode: one signature through the library, as a host makes it.
int SignOnce(const char* lib_dir, const char* input, const char* output, bool detached) {
  void* lib = dlopen((std::string(lib_dir) + "/libvexor.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) return 2;
  auto create = reinterpret_cast<PFN_CreateObjectInstance>(dlsym(lib, "CreateObjectInstance"));
  auto destroy = reinterpret_cast<PFN_DestroyObjectInstance>(dlsym(lib, "DestroyObjectInstance"));
  IVexor* obj = nullptr;
  if (create == nullptr || destroy == nullptr || create(&obj) != 0) return 2;
  int rc = 3;
  try {
    const std::string work = fs::path(output).parent_path().string();
    if (obj->Init(work.c_str(), nullptr, CERT_SYSTEM_STORE_CURRENT_USER) == 0) {
      CertPartyParam party;
      party.subjectCN = kSubject;
      std::ifstream in(input, std::ios::binary);
      std::ofstream out(output, std::ios::binary);
      rc = detached ? obj->sign_stream_d(party, in, out, VEXOR_FORMAT_PKCS7)
                    : obj->sign_stream_a(party, in, out, VEXOR_FORMAT_PKCS7);
    }
  } catch (const CryptoOperations::SystemException& e) {
    rc = e.code();
  }
  destroy(&obj);
  return rc == 0 ? 0 : 1;
}

// The key container and the certificate in My of the private platform home.
bool InstallSigner(const fs::path& dir) {
  const fs::path key = dir / "signer.key", cert = dir / "signer.pem", der = dir / "signer.der";
  const std::string ossl = "openssl ";
  if (Shell(ossl + "genpkey -engine gost -algorithm gost2001 -pkeyopt paramset:A -out '" + key.string() +
            "' 2>/dev/null") != 0 ||
      Shell(ossl + "req -engine gost -x509 -new -key '" + key.string() + "' -subj '/CN=" + kSubject +
            "' -days 30 -out '" + cert.string() + "' 2>/dev/null") != 0 ||
      Shell(ossl + "x509 -in '" + cert.string() + "' -outform DER -out '" + der.string() + "'") != 0)
    return false;
  const std::vector<BYTE> pkcs8 = ReadAll(key), encoded = ReadAll(der);
  if (!CryptImportPKCS8ToContainerA(kContainer, pkcs8.data(), static_cast<DWORD>(pkcs8.size()), nullptr, 0))
    return false;
  HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "My");
  if (my == nullptr) return false;
  PCCERT_CONTEXT ctx = nullptr;
  bool ok = CertAddEncodedCertificateToStore(my, X509_ASN_ENCODING, encoded.data(), static_cast<DWORD>(encoded.size()),
                                             CERT_STORE_ADD_REPLACE_EXISTING, &ctx) != FALSE;
  if (ok) {
    const std::string c = kContainer, p = VEXOR_GOST_PROV_NAME_A;
    std::u16string wc(c.begin(), c.end()), wp(p.begin(), p.end());
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = wc.data();
    info.pwszProvName = wp.data();
    info.dwProvType = PROV_GOST_2001_DH;
    info.dwKeySpec = AT_KEYEXCHANGE;
    ok = CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
  }
  CertFreeCertificateContext(ctx);
  CertCloseStore(my, 0);
  return ok;
}

template <class F>
double Median(std::vector<Sample> v, F field) {
  std::vector<double> x;
  for (const Sample& s : v) x.push_back(field(s));
  std::sort(x.begin(), x.end());
  return x.empty() ? 0 : (x.size() % 2 ? x[x.size() / 2] : (x[x.size() / 2 - 1] + x[x.size() / 2]) / 2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--sign-once")
    return SignOnce(argv[2], argv[3], argv[4], std::string(argv[5]) == "detached");

  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const char* lib_dir = std::getenv("VEXOR_LIB_DIR");
  if (lib_dir == nullptr) {
    std::fprintf(stderr, "VEXOR_LIB_DIR must name the directory of libvexor.so\n");
    return 2;
  }
  std::string templ = (fs::temp_directory_path() / "vexor-bench-XXXXXX").string();
  const fs::path dir = mkdtemp(templ.data());
  setenv("VEXOR_CSP_HOME", (dir / "home").c_str(), 1);
  fs::create_directories(dir / "work");
  if (!InstallSigner(dir)) {
    std::fprintf(stderr, "could not make and install the signer\n");
    fs::remove_all(dir);
    return 2;
  }
  const std::string self = fs::canonical("/proc/self/exe").string();

  std::printf("%-22s %10s %10s %7s %10s %10s %7s\n", "case", "lib s", "ossl s", "ratio", "lib MiB", "ossl MiB",
              "ratio");
  int failures = 0;
  for (size_t mib : {size_t{1}, size_t{100}}) {
    const fs::path input = dir / ("input-" + std::to_string(mib));
    {
      std::ofstream out(input, std::ios::binary);
      std::vector<char> chunk(1 << 20);
      for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>((i * 2654435761u) >> 13);
      for (size_t i = 0; i < mib; ++i) out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    for (bool detached : {false, true}) {
      const char* mode = detached ? "detached" : "attached";
      const fs::path lib_out = dir / "work" / "lib.p7s", ossl_out = dir / "ossl.p7s";
      std::vector<std::string> lib_cmd = {self, "--sign-once", lib_dir, input.string(), lib_out.string(), mode};
      std::vector<std::string> ossl_cmd = {"openssl", "cms", "-sign", "-engine", "gost", "-binary",
                                           "-in", input.string(), "-signer", (dir / "signer.pem").string(),
                                           "-inkey", (dir / "signer.key").string(), "-outform", "DER",
                                           "-out", ossl_out.string()};
      if (!detached) ossl_cmd.push_back("-nodetach");
      std::vector<Sample> lib, ossl;
      for (int r = 0; r < runs; ++r) {
        // Alternate the two so that neither gets the warmer cache throughout.
        Sample a, b;
        if (!Measure(lib_cmd, a) || !Measure(ossl_cmd, b)) {
          ++failures;
          continue;
        }
        lib.push_back(a);
        ossl.push_back(b);
      }
      const auto secs = [](const Sample& s) { return s.seconds; };
      const auto mem = [](const Sample& s) { return s.peak_kib / 1024.0; };
      const double lt = Median(lib, secs), ot = Median(ossl, secs), lm = Median(lib, mem), om = Median(ossl, mem);
      const std::string name = std::to_string(mib) + " MiB " + mode;
      std::printf("%-22s %10.3f %10.3f %7.2f %10.1f %10.1f %7.2f\n", name.c_str(), lt, ot, ot > 0 ? lt / ot : 0, lm,
                  om, om > 0 ? lm / om : 0);
    }
    fs::remove(input);
  }
  std::printf("medians of %d runs each; ratio = library / openssl cms -sign\n", runs);
  fs::remove_all(dir);
  return failures == 0 ? 0 : 1;
}
