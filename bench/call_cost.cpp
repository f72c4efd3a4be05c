// Fixed cost of a call: sign_stream_d of 1 KiB, N times (default 1000) on one operation
// object, then the same number of calls split over two threads sharing the object. Reports
// the mean time per call and the two-thread speed-up (calls per second against one thread),
// with the process's CPU time over the two-thread phase's wall time (2.0: both threads ran
// throughout; less: they waited, for a lock or for a processor), and then the same two
// figures of the GOST engine's signature alone with the same key (engine_sign_scaling),
// which is half of a call and bounds its speed-up.
//
//   call_cost [calls] [--log-messages-off]
//
// --log-messages-off runs the calls with OffLogFile=1: the log's messages are not written, its
// trace lines still are (four lines a call instead of eight). Every line is an append to one
// file, in the file when its call returns, which two threads take turns at.
//
// It makes its own key and certificate with the openssl command and a private platform home.
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "vexor/vexor.h"

namespace {

double SignCalls(IVexor& obj, const CertPartyParam& party, int calls) {
  const std::string data(1024, 'x');
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) {
    std::istringstream in(data);
    std::ostringstream out;
    if (obj.sign_stream_d(party, in, out, VEXOR_FORMAT_PKCS7) != 0) return -1;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 1000;
  char templ[] = "/tmp/vexor-callcost-XXXXXX";
  const std::string dir = mkdtemp(templ);
  setenv("VEXOR_CSP_HOME", (dir + "/home").c_str(), 1);
  const std::string tool = std::filesystem::canonical("/proc/self/exe").parent_path().string() + "/vexor";
  const std::string setup = "cd " + dir + " && openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A "
                            "-nodes -keyout k.pem -out c.pem -subj /CN=Cost -days 3 >/dev/null 2>&1 && " +
                            tool + " store install --cert c.pem --key k.pem --no-pin >/dev/null";
  if (std::system(setup.c_str()) != 0) return 2;
  if (argc > 2 && std::string(argv[2]) == "--log-messages-off")
    std::ofstream(dir + "/Vexor.ini") << "[Settings]\nUsingCustomOptions=1\nOffLogFile=1\n";
  IVexor* obj = nullptr;
  if (CreateObjectInstance(&obj) != 0 || obj->Init(dir.c_str(), nullptr, CERT_SYSTEM_STORE_CURRENT_USER) != 0) return 2;
  CertPartyParam party;
  party.subjectCN = "Cost";
  // Warm caches, as a running host has them: files written just now are read again until
  // their times have settled.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  SignCalls(*obj, party, 10);
  const double one = SignCalls(*obj, party, calls);
  double halves[2] = {0, 0};
  timespec cpu_start{}, cpu_end{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_start);
  const auto start = std::chrono::steady_clock::now();
  std::thread a([&] { halves[0] = SignCalls(*obj, party, calls / 2); });
  std::thread b([&] { halves[1] = SignCalls(*obj, party, calls - calls / 2); });
  a.join();
  b.join();
  const double two = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_end);
  const double two_cpu = double(cpu_end.tv_sec - cpu_start.tv_sec) + double(cpu_end.tv_nsec - cpu_start.tv_nsec) / 1e9;
  DestroyObjectInstance(&obj);
  if (one < 0 || halves[0] < 0 || halves[1] < 0) return 1;
  std::printf("sign_stream_d 1 KiB, %d calls: %.3f ms a call on one thread\n", calls, one * 1000 / calls);
  std::printf("two threads on one object: %.3f ms a call, %.2fx the calls per second of one thread; CPU %.2fx wall\n",
              two * 1000 / calls, one / two, two_cpu / two);
  std::fflush(stdout);
  const std::string peer = std::filesystem::path(tool).parent_path().string() + "/engine_sign_scaling " + dir +
                           "/k.pem " + std::to_string(calls);
  const int peer_status = std::system(peer.c_str());
  std::filesystem::remove_all(dir);
  return peer_status == 0 ? 0 : 1;
}
