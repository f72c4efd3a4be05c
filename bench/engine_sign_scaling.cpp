// The GOST engine's own signature on one thread and on two, for call_cost's two-thread
// figure: EVP_PKEY_sign with one GOST R 34.10-2001 key, N times on one thread, then N/2 on
// each of two threads sharing the key. Whatever the engine and OpenSSL's locks let two
// threads do here bounds what the library's calls, half of which are this signature, can do.
//
//   engine_sign_scaling KEY.pem [signatures]
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

bool Sign(EVP_PKEY* key, int count) {
  const unsigned char digest[32] = {1, 2, 3};
  unsigned char signature[64];
  for (int i = 0; i < count; ++i) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    size_t len = sizeof signature;
    const bool ok = ctx != nullptr && EVP_PKEY_sign_init(ctx) > 0 &&
                    EVP_PKEY_sign(ctx, signature, &len, digest, sizeof digest) > 0;
    EVP_PKEY_CTX_free(ctx);
    if (!ok) return false;
  }
  return true;
}

double Seconds(const std::chrono::steady_clock::time_point& start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  const int count = argc > 2 ? std::atoi(argv[2]) : 3000;
  ENGINE_load_builtin_engines();
  ENGINE* engine = ENGINE_by_id("gost");
  if (engine == nullptr || !ENGINE_init(engine) || !ENGINE_set_default(engine, ENGINE_METHOD_ALL)) return 2;
  FILE* file = std::fopen(argv[1], "r");
  if (file == nullptr) return 2;
  EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  if (key == nullptr || !Sign(key, 10)) return 2;

  auto start = std::chrono::steady_clock::now();
  bool ok = Sign(key, count);
  const double one = Seconds(start);
  bool ok_a = false, ok_b = false;
  start = std::chrono::steady_clock::now();
  std::thread a([&] { ok_a = Sign(key, count / 2); });
  std::thread b([&] { ok_b = Sign(key, count - count / 2); });
  a.join();
  b.join();
  const double two = Seconds(start);
  ok = ok && ok_a && ok_b;
  EVP_PKEY_free(key);
  ENGINE_finish(engine);
  ENGINE_free(engine);
  if (!ok) return 1;
  std::printf("the engine's EVP_PKEY_sign alone: %.3f ms on one thread, two threads %.2fx\n", one * 1000 / count,
              one / two);
  return 0;
}
