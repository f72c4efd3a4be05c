// Runs a fuzz target over every file of the corpus folders it is given, as an ordinary
// test: an input that once crashed stays fixed. The platform's home is a fresh temporary
// folder, removed at the end.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  char home[] = "/tmp/vexor-replay-XXXXXX";
  if (mkdtemp(home) == nullptr) return 2;
  setenv("VEXOR_CSP_HOME", home, 1);
  size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& entry : fs::recursive_directory_iterator(argv[i])) {
      if (!entry.is_regular_file()) continue;
      std::ifstream f(entry.path(), std::ios::binary);
      const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++inputs;
    }
  }
  std::error_code ec;
  fs::remove_all(home, ec);
  std::printf("replayed %zu inputs\n", inputs);
  return inputs > 0 ? 0 : 1;  // an empty corpus is a broken test, not a pass
}
