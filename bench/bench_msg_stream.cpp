// Streams a large message through the platform's decoder as the library does (blocks of
// 10 MiB + 1 byte, stream callback, key given as soon as the header is in) and reports the
// time taken. Peak memory is read by the caller with /usr/bin/time -v.
//   bench_msg_stream decrypt <message.der> <recipient-key.pem>
//   bench_msg_stream verify <message.der>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "vexor/platform.h"

namespace {

constexpr size_t kBlock = (size_t(10) << 20) + 1;

struct Counter {
  unsigned long long bytes = 0;
  int finals = 0;
};

BOOL Count(const void* arg, BYTE*, DWORD n, BOOL final) {
  auto* c = static_cast<Counter*>(const_cast<void*>(arg));
  c->bytes += n;
  if (final) ++c->finals;
  return TRUE;
}

int Fail(const char* what) {
  std::fprintf(stderr, "%s failed: 0x%08X\n", what, GetLastError());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s decrypt <msg> <key.pem> | verify <msg>\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  HCRYPTPROV prov = 0;
  if (mode == "decrypt") {
    if (argc < 4) return 2;
    std::ifstream k(argv[3], std::ios::binary);
    std::vector<BYTE> key((std::istreambuf_iterator<char>(k)), std::istreambuf_iterator<char>());
    if (!CryptImportPKCS8ToContainerA("bench", key.data(), DWORD(key.size()), nullptr, 0))
      return Fail("key import");
    if (!CryptAcquireContextA(&prov, "bench", nullptr, PROV_GOST_2001_DH, CRYPT_SILENT))
      return Fail("acquire");
  }
  Counter counter;
  CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Count, &counter};
  HCRYPTMSG m = CryptMsgOpenToDecode(0x10001, 0, 0, 0, nullptr, &stream);
  if (m == nullptr) return Fail("open");
  std::FILE* f = std::fopen(argv[2], "rb");
  if (f == nullptr) return 2;
  std::fseek(f, 0, SEEK_END);
  const long total = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  std::vector<BYTE> block(kBlock);
  const auto start = std::chrono::steady_clock::now();
  long done = 0;
  bool decrypting = false;
  while (done < total) {
    const size_t got = std::fread(block.data(), 1, block.size(), f);
    if (got == 0) break;
    done += long(got);
    if (!CryptMsgUpdate(m, block.data(), DWORD(got), done == total)) return Fail("update");
    if (mode == "decrypt" && !decrypting) {
      DWORD n = 0;
      if (CryptMsgGetParam(m, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &n)) {
        CMSG_CTRL_DECRYPT_PARA para{sizeof(para), prov, AT_KEYEXCHANGE, 0};
        if (!CryptMsgControl(m, 0, CMSG_CTRL_DECRYPT, &para)) return Fail("decrypt");
        decrypting = true;
      }
    }
  }
  std::fclose(f);
  if (mode == "verify") {
    DWORD n = 0;
    if (!CryptMsgGetParam(m, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &n)) return Fail("signer");
    std::vector<BYTE> info(n);
    CryptMsgGetParam(m, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &n);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, 0x10001, 0, 0, m);
    PCCERT_CONTEXT cert = store ? CertGetSubjectCertificateFromStore(
                                      store, 0x10001, reinterpret_cast<CERT_INFO*>(info.data()))
                                : nullptr;
    if (cert == nullptr) return Fail("signer certificate");
    if (!CryptMsgControl(m, 0, CMSG_CTRL_VERIFY_SIGNATURE, cert->pCertInfo)) return Fail("verify");
    CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  CryptMsgClose(m);
  if (prov) CryptReleaseContext(prov, 0);
  std::printf("%s: %llu content bytes in %.2f s (%.1f MiB/s), final calls %d\n", mode.c_str(),
              counter.bytes, seconds, double(counter.bytes) / (1 << 20) / seconds, counter.finals);
  return counter.finals == 1 ? 0 : 1;
}
