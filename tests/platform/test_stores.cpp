// Stores: add dispositions, enumeration, deletion, system-store persistence and
// write-through, file stores, crash-safe saves and concurrent writers.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "stores/auto_handle.h"
#include "test_pki.h"
#include "vexor/platform.h"

namespace {

namespace fs = std::filesystem;
using test_pki::Bytes;
using test_pki::Pki;

int CountCerts(HCERTSTORE s) {
  int n = 0;
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(s, c)) != nullptr) ++n;
  return n;
}

int CountCrls(HCERTSTORE s) {
  int n = 0;
  PCCRL_CONTEXT c = nullptr;
  while ((c = CertEnumCRLsInStore(s, c)) != nullptr) ++n;
  return n;
}

BOOL Add(HCERTSTORE s, const Bytes& der, DWORD disposition = CERT_STORE_ADD_NEW, PCCERT_CONTEXT* out = nullptr) {
  return CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(), DWORD(der.size()), disposition, out);
}

auto_store OpenFile(const fs::path& path, DWORD flags) {
  return auto_store(CertOpenStore(CERT_STORE_PROV_FILENAME_A, 0x10001, 0, flags, path.c_str()));
}

BOOL SaveTo(HCERTSTORE s, const fs::path& path, DWORD as = CERT_STORE_SAVE_AS_STORE) {
  return CertSaveStore(s, 0x10001, as, CERT_STORE_SAVE_TO_FILENAME_A, const_cast<char*>(path.c_str()), 0);
}

auto_store OpenSystem(const char* name, DWORD extra = 0) {
  return auto_store(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | extra, name));
}

auto_store Memory() { return auto_store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr)); }

class Stores : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Pki::Get().ok()) << Pki::Get().error; }
  test_pki::ScopedHome home_;
};

// The dispositions the library and the tool use, each adding the same encoding a second time.
TEST_F(Stores, CertificateDispositions) {
  const Bytes older = test_pki::MakeSelfSigned(1, "same", -10);
  const struct {
    DWORD disposition, error;  // error 0: added
    int count_after;
  } cases[] = {
      {CERT_STORE_ADD_NEW, DWORD(CRYPT_E_EXISTS), 1}, {CERT_STORE_ADD_REPLACE_EXISTING, 0, 1},
      {CERT_STORE_ADD_ALWAYS, 0, 2},                  {CERT_STORE_ADD_NEWER, DWORD(CRYPT_E_EXISTS), 1},
      {0, DWORD(E_INVALIDARG), 1},                    {8, DWORD(E_INVALIDARG), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.disposition);
    const auto_store s = Memory();
    auto_cert first, second;  // the first is still valid memory after a replace, freed last
    ASSERT_TRUE(Add(s.get(), older, CERT_STORE_ADD_NEW, first.put()));
    BYTE note[] = {1};
    CRYPT_DATA_BLOB blob{1, note};
    ASSERT_TRUE(CertSetCertificateContextProperty(first.get(), 0x8000, 0, &blob));
    SetLastError(0);
    EXPECT_EQ(Add(s.get(), older, c.disposition, second.put()), c.error == 0);
    if (c.error != 0) {
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_FALSE(second);
    }
    EXPECT_EQ(CountCerts(s.get()), c.count_after);
    DWORD cb = 0;  // a replacement does not inherit the properties of what it replaced
    if (c.disposition == CERT_STORE_ADD_REPLACE_EXISTING) {
      EXPECT_FALSE(CertGetCertificateContextProperty(second.get(), 0x8000, nullptr, &cb));
    }
  }
}

// Members keep their order and their lookup by hash through deletions in the middle and
// duplicates added with ADD_ALWAYS.
TEST_F(Stores, EnumerationAndHashLookupSurviveDeletions) {
  HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  std::vector<Bytes> ders;
  for (long i = 0; i < 5; ++i) {
    ders.push_back(test_pki::MakeSelfSigned(200 + i, "e" + std::to_string(i)));
    ASSERT_TRUE(Add(s, ders.back()));
  }
  ASSERT_TRUE(Add(s, ders[1], CERT_STORE_ADD_ALWAYS));  // a second copy, last
  auto find = [&](const Bytes& der) {
    BYTE hash[20];
    SHA1(der.data(), der.size(), hash);
    CRYPT_HASH_BLOB blob{20, hash};
    return CertFindCertificateInStore(s, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
  };
  // Delete the third while walking: the walk goes on with the fourth.
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr);
  c = CertEnumCertificatesInStore(s, c);
  c = CertEnumCertificatesInStore(s, c);
  PCCERT_CONTEXT third = CertDuplicateCertificateContext(c);
  c = CertEnumCertificatesInStore(s, c);
  EXPECT_TRUE(CertDeleteCertificateFromStore(third));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded), ders[3]);
  c = CertEnumCertificatesInStore(s, c);  // its place moved up; the walk does not skip or repeat
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded), ders[4]);
  CertFreeCertificateContext(c);
  EXPECT_EQ(find(ders[2]), nullptr);
  // The first copy of the duplicate goes; the lookup then finds the second.
  PCCERT_CONTEXT first_copy = find(ders[1]);
  ASSERT_NE(first_copy, nullptr);
  EXPECT_TRUE(CertDeleteCertificateFromStore(first_copy));
  PCCERT_CONTEXT second_copy = find(ders[1]);
  EXPECT_NE(second_copy, nullptr);
  CertFreeCertificateContext(second_copy);
  EXPECT_EQ(CountCerts(s), 4);
  CertCloseStore(s, 0);
}

TEST_F(Stores, SystemStoresPersistUnderTheHomeAndWriteThrough) {
  const Bytes& der = Pki::Get().user_a.der;
  auto_store a = OpenSystem("My"), b = OpenSystem("my");  // names are case-insensitive
  ASSERT_TRUE(a && b);
  PCCERT_CONTEXT ctx = nullptr;
  ASSERT_TRUE(Add(a.get(), der, CERT_STORE_ADD_NEW, &ctx));
  const fs::path file = home_.path() / "stores" / "My.sst";
  ASSERT_TRUE(fs::exists(file));
  BYTE v[] = {5};
  CRYPT_DATA_BLOB blob{1, v};
  ASSERT_TRUE(CertSetCertificateContextProperty(ctx, 0x8123, 0, &blob));
  CertFreeCertificateContext(ctx);
  // Another handle opened before the change keeps its image; a fresh open sees the file.
  EXPECT_EQ(CountCerts(b.get()), 0);
  auto_store c = OpenSystem("MY");
  ASSERT_EQ(CountCerts(c.get()), 1);
  PCCERT_CONTEXT loaded = CertEnumCertificatesInStore(c.get(), nullptr);
  DWORD cb = 1;
  BYTE got = 0;
  EXPECT_TRUE(CertGetCertificateContextProperty(loaded, 0x8123, &got, &cb));
  EXPECT_EQ(got, 5);
  // Adding through the stale handle keeps what the other one wrote.
  const Bytes other = test_pki::MakeSelfSigned(7, "other");
  ASSERT_TRUE(Add(b.get(), other));
  EXPECT_TRUE(CertDeleteCertificateFromStore(loaded));
  for (auto_store* h : {&a, &b, &c}) h->reset();
  EXPECT_EQ(CountCerts(OpenSystem("My").get()), 1);  // `other` only
  // Read-only handles refuse changes; unknown names need OPEN_EXISTING to fail.
  const auto_store ro = OpenSystem("Root", CERT_STORE_READONLY_FLAG);
  EXPECT_FALSE(Add(ro.get(), der));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(OpenSystem("Nonexistent", CERT_STORE_OPEN_EXISTING_FLAG));
  EXPECT_FALSE(OpenSystem("../escape"));
  // The wide-named provider opens the same store.
  const auto_store w(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My"));
  EXPECT_EQ(CountCerts(w.get()), 1);
}

TEST_F(Stores, FileStoreOpenFlagsAndSaves) {
  const fs::path path = home_.path() / "sub" / "certstore.sst";
  fs::create_directories(path.parent_path());
  // OPEN_EXISTING alone needs the file; CREATE_NEW together with it opens or creates.
  EXPECT_FALSE(OpenFile(path, CERT_STORE_OPEN_EXISTING_FLAG));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  auto_store s = OpenFile(path, 0x6000);
  ASSERT_TRUE(s) << std::hex << GetLastError();
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(fs::file_size(path), 0u);  // an empty file is an empty store
  EXPECT_FALSE(OpenFile(path, CERT_STORE_CREATE_NEW_FLAG));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
  const Pki& pki = Pki::Get();
  ASSERT_TRUE(Add(s.get(), pki.user_a.der, CERT_STORE_ADD_NEWER));
  ASSERT_TRUE(CertAddEncodedCRLToStore(s.get(), X509_ASN_ENCODING, pki.crl.data(), DWORD(pki.crl.size()),
                                       CERT_STORE_ADD_NEWER, nullptr));
  EXPECT_EQ(fs::file_size(path), 0u);  // a file store changes its file only when saved
  ASSERT_TRUE(SaveTo(s.get(), path));
  CertCloseStore(s.release(), CERT_CLOSE_STORE_FORCE_FLAG);
  // Read back, written as PKCS#7 (which openssl reads), and a PKCS#7 file opens as a store too.
  const fs::path p7 = home_.path() / "bundle.p7b";
  for (const fs::path& file : {path, p7}) {
    SCOPED_TRACE(file);
    const auto_store again = OpenFile(file, CERT_STORE_OPEN_EXISTING_FLAG);
    ASSERT_TRUE(again);
    EXPECT_EQ(CountCerts(again.get()), 1);
    EXPECT_EQ(CountCrls(again.get()), 1);
    if (file == path) {
      ASSERT_TRUE(SaveTo(again.get(), p7, CERT_STORE_SAVE_AS_PKCS7));
    }
  }
  EXPECT_EQ(test_pki::Run("openssl pkcs7 -inform DER -in '" + p7.string() + "' -print_certs -noout >/dev/null 2>&1").status, 0);
}

// A store of many certificates, so its save takes a while and can be interrupted.
auto_store BigStore(int n, long base) {
  auto_store s = Memory();
  for (int i = 0; i < n; ++i) Add(s.get(), test_pki::MakeSelfSigned(base + i, "bulk " + std::to_string(i)), CERT_STORE_ADD_ALWAYS);
  return s;
}

TEST_F(Stores, InterruptedSaveLeavesThePreviousFileIntact) {
  const fs::path path = home_.path() / "certstore.sst";
  ASSERT_TRUE(SaveTo(BigStore(3, 1).get(), path));
  const Bytes before = test_pki::ReadFile(path);
  const auto_store big = BigStore(400, 1000);

  // A write that fails (file size limit) reports failure and changes nothing.
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &lim);
    _exit(SaveTo(big.get(), path) ? 1 : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the failing save reported success";
  EXPECT_EQ(test_pki::ReadFile(path), before);

  // A process killed while saving over and over: the file is always one whole store.
  for (int round = 0; round < 5; ++round) {
    pid = fork();
    if (pid == 0)
      for (;;) SaveTo(big.get(), path);
    usleep(20000 + 15000 * round);
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    const Bytes now = test_pki::ReadFile(path);
    CRYPT_DATA_BLOB blob{DWORD(now.size()), const_cast<BYTE*>(now.data())};
    const auto_store reopened(CertOpenStore(CERT_STORE_PROV_SERIALIZED, 0, 0, 0, &blob));
    ASSERT_TRUE(reopened) << "round " << round << ": damaged file";
    const int n = CountCerts(reopened.get());
    EXPECT_TRUE(n == 3 || n == 400) << n;
  }
}

// A handle kept open reads its file again on CERT_STORE_CTRL_RESYNC only when the file has
// changed since; what it held before stays usable.
TEST_F(Stores, SystemStoreResyncsWithItsFile) {
  auto_store kept = OpenSystem("My"), writer = OpenSystem("My");
  ASSERT_TRUE(Add(writer.get(), Pki::Get().user_a.der));
  EXPECT_EQ(CountCerts(kept.get()), 0);
  // A stamp taken within a clock tick of the write could miss the next one: it is not trusted.
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  ASSERT_TRUE(CertControlStore(kept.get(), 0, CERT_STORE_CTRL_RESYNC, nullptr));
  ASSERT_EQ(CountCerts(kept.get()), 1);
  auto_cert before(CertEnumCertificatesInStore(kept.get(), nullptr));
  // Unchanged: the same members, not a reload.
  ASSERT_TRUE(CertControlStore(kept.get(), 0, CERT_STORE_CTRL_RESYNC, nullptr));
  auto_cert same(CertEnumCertificatesInStore(kept.get(), nullptr));
  EXPECT_EQ(same.get(), before.get());
  // Changed by another handle: new members; the old context keeps its bytes.
  ASSERT_TRUE(Add(writer.get(), test_pki::MakeSelfSigned(8, "second")));
  ASSERT_TRUE(CertControlStore(kept.get(), 0, CERT_STORE_CTRL_RESYNC, nullptr));
  EXPECT_EQ(CountCerts(kept.get()), 2);
  auto_cert reloaded(CertEnumCertificatesInStore(kept.get(), nullptr));
  EXPECT_NE(reloaded.get(), before.get());
  EXPECT_EQ(Bytes(before.get()->pbCertEncoded, before.get()->pbCertEncoded + before.get()->cbCertEncoded),
            Pki::Get().user_a.der);
  // The file removed: an empty store. Stores of other kinds have nothing to do.
  fs::remove(home_.path() / "stores" / "My.sst");
  ASSERT_TRUE(CertControlStore(kept.get(), 0, CERT_STORE_CTRL_RESYNC, nullptr));
  EXPECT_EQ(CountCerts(kept.get()), 0);
  const auto_store memory(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  EXPECT_TRUE(CertControlStore(memory.get(), 0, CERT_STORE_CTRL_RESYNC, nullptr));
}

TEST_F(Stores, ConcurrentWritersOfOneSystemStoreKeepEveryCertificate) {
  constexpr int kPerProcess = 15;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      auto_store my = OpenSystem("My");
      int failures = 0;
      for (int i = 0; i < kPerProcess; ++i)
        failures += !Add(my.get(), test_pki::MakeSelfSigned(5000 + p * 100 + i, "p" + std::to_string(p)));
      my.reset();  // _exit runs no destructors
      _exit(failures);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const auto_store my = OpenSystem("My");
  ASSERT_TRUE(my);
  EXPECT_EQ(CountCerts(my.get()), 2 * kPerProcess);
}

TEST_F(Stores, ThreadsShareOneStore) {
  auto_store store = OpenSystem("CA");
  HCERTSTORE s = store.get();
  std::vector<Bytes> certs;
  for (long i = 0; i < 16; ++i) certs.push_back(test_pki::MakeSelfSigned(9000 + i, "t" + std::to_string(i)));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = size_t(t); i < certs.size(); i += 4) {
        Add(s, certs[i]);
        CountCerts(s);  // enumerate while others add
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(CountCerts(s), 16);
  store.reset();
  EXPECT_EQ(CountCerts(OpenSystem("CA").get()), 16);
}

}  // namespace
