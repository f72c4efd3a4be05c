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

HCERTSTORE OpenFile(const fs::path& path, DWORD flags) {
  return CertOpenStore(CERT_STORE_PROV_FILENAME_A, 0x10001, 0, flags, path.c_str());
}

BOOL SaveTo(HCERTSTORE s, const fs::path& path, DWORD as = CERT_STORE_SAVE_AS_STORE) {
  return CertSaveStore(s, 0x10001, as, CERT_STORE_SAVE_TO_FILENAME_A, const_cast<char*>(path.c_str()), 0);
}

HCERTSTORE OpenSystem(const char* name, DWORD extra = 0) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | extra, name);
}

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
    HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    PCCERT_CONTEXT first = nullptr, second = nullptr;
    ASSERT_TRUE(Add(s, older, CERT_STORE_ADD_NEW, &first));
    BYTE note[] = {1};
    CRYPT_DATA_BLOB blob{1, note};
    ASSERT_TRUE(CertSetCertificateContextProperty(first, 0x8000, 0, &blob));
    SetLastError(0);
    EXPECT_EQ(Add(s, older, c.disposition, &second), c.error == 0);
    if (c.error != 0) {
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_EQ(second, nullptr);
    }
    EXPECT_EQ(CountCerts(s), c.count_after);
    DWORD cb = 0;  // a replacement does not inherit the properties of what it replaced
    if (c.disposition == CERT_STORE_ADD_REPLACE_EXISTING) {
      EXPECT_FALSE(CertGetCertificateContextProperty(second, 0x8000, nullptr, &cb));
    }
    CertFreeCertificateContext(first);  // still valid memory after a replace
    CertFreeCertificateContext(second);
    CertCloseStore(s, 0);
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
  HCERTSTORE a = OpenSystem("My");
  HCERTSTORE b = OpenSystem("my");  // names are case-insensitive
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  PCCERT_CONTEXT ctx = nullptr;
  ASSERT_TRUE(Add(a, der, CERT_STORE_ADD_NEW, &ctx));
  const fs::path file = home_.path() / "stores" / "My.sst";
  ASSERT_TRUE(fs::exists(file));
  BYTE v[] = {5};
  CRYPT_DATA_BLOB blob{1, v};
  ASSERT_TRUE(CertSetCertificateContextProperty(ctx, 0x8123, 0, &blob));
  CertFreeCertificateContext(ctx);
  // Another handle opened before the change keeps its image; a fresh open sees the file.
  EXPECT_EQ(CountCerts(b), 0);
  HCERTSTORE c = OpenSystem("MY");
  ASSERT_EQ(CountCerts(c), 1);
  PCCERT_CONTEXT loaded = CertEnumCertificatesInStore(c, nullptr);
  DWORD cb = 1;
  BYTE got = 0;
  EXPECT_TRUE(CertGetCertificateContextProperty(loaded, 0x8123, &got, &cb));
  EXPECT_EQ(got, 5);
  // Adding through the stale handle keeps what the other one wrote.
  const Bytes other = test_pki::MakeSelfSigned(7, "other");
  ASSERT_TRUE(Add(b, other));
  EXPECT_TRUE(CertDeleteCertificateFromStore(loaded));
  for (HCERTSTORE h : {a, b, c}) CertCloseStore(h, 0);
  HCERTSTORE d = OpenSystem("My");
  EXPECT_EQ(CountCerts(d), 1);  // `other` only
  CertCloseStore(d, 0);
  // Read-only handles refuse changes; unknown names need OPEN_EXISTING to fail.
  HCERTSTORE ro = OpenSystem("Root", CERT_STORE_READONLY_FLAG);
  EXPECT_FALSE(Add(ro, der));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  CertCloseStore(ro, 0);
  EXPECT_EQ(OpenSystem("Nonexistent", CERT_STORE_OPEN_EXISTING_FLAG), nullptr);
  EXPECT_EQ(OpenSystem("../escape"), nullptr);
  // The wide-named provider opens the same store.
  HCERTSTORE w = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
  EXPECT_EQ(CountCerts(w), 1);
  CertCloseStore(w, 0);
}

TEST_F(Stores, FileStoreOpenFlagsAndSaves) {
  const fs::path path = home_.path() / "sub" / "certstore.sst";
  fs::create_directories(path.parent_path());
  // OPEN_EXISTING alone needs the file; CREATE_NEW together with it opens or creates.
  EXPECT_EQ(OpenFile(path, CERT_STORE_OPEN_EXISTING_FLAG), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  HCERTSTORE s = OpenFile(path, 0x6000);
  ASSERT_NE(s, nullptr) << std::hex << GetLastError();
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(fs::file_size(path), 0u);  // an empty file is an empty store
  EXPECT_EQ(OpenFile(path, CERT_STORE_CREATE_NEW_FLAG), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
  const Pki& pki = Pki::Get();
  ASSERT_TRUE(Add(s, pki.user_a.der, CERT_STORE_ADD_NEWER));
  ASSERT_TRUE(CertAddEncodedCRLToStore(s, X509_ASN_ENCODING, pki.crl.data(), DWORD(pki.crl.size()),
                                       CERT_STORE_ADD_NEWER, nullptr));
  EXPECT_EQ(fs::file_size(path), 0u);  // a file store changes its file only when saved
  ASSERT_TRUE(SaveTo(s, path));
  CertCloseStore(s, CERT_CLOSE_STORE_FORCE_FLAG);
  HCERTSTORE again = OpenFile(path, 0x6000);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(CountCerts(again), 1);
  EXPECT_EQ(CountCrls(again), 1);
  // PKCS#7 out, and a PKCS#7 file opens as a store too.
  const fs::path p7 = home_.path() / "bundle.p7b";
  ASSERT_TRUE(SaveTo(again, p7, CERT_STORE_SAVE_AS_PKCS7));
  CertCloseStore(again, 0);
  EXPECT_EQ(test_pki::Run("openssl pkcs7 -inform DER -in '" + p7.string() + "' -print_certs -noout >/dev/null 2>&1").status, 0);
  HCERTSTORE from_p7 = OpenFile(p7, CERT_STORE_OPEN_EXISTING_FLAG);
  ASSERT_NE(from_p7, nullptr);
  EXPECT_EQ(CountCerts(from_p7), 1);
  EXPECT_EQ(CountCrls(from_p7), 1);
  CertCloseStore(from_p7, 0);
}

// A store of many certificates, so its save takes a while and can be interrupted.
HCERTSTORE BigStore(int n, long base) {
  HCERTSTORE s = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  for (int i = 0; i < n; ++i) Add(s, test_pki::MakeSelfSigned(base + i, "bulk " + std::to_string(i)), CERT_STORE_ADD_ALWAYS);
  return s;
}

TEST_F(Stores, InterruptedSaveLeavesThePreviousFileIntact) {
  const fs::path path = home_.path() / "certstore.sst";
  HCERTSTORE old_store = BigStore(3, 1);
  ASSERT_TRUE(SaveTo(old_store, path));
  CertCloseStore(old_store, 0);
  const Bytes before = test_pki::ReadFile(path);
  HCERTSTORE big = BigStore(400, 1000);

  // A write that fails (file size limit) reports failure and changes nothing.
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &lim);
    const BOOL ok = SaveTo(big, path);
    _exit(ok ? 1 : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the failing save reported success";
  EXPECT_EQ(test_pki::ReadFile(path), before);

  // A process killed while saving over and over: the file is always one whole store.
  for (int round = 0; round < 5; ++round) {
    pid = fork();
    if (pid == 0)
      for (;;) SaveTo(big, path);
    usleep(20000 + 15000 * round);
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    const Bytes now = test_pki::ReadFile(path);
    CRYPT_DATA_BLOB blob{DWORD(now.size()), const_cast<BYTE*>(now.data())};
    HCERTSTORE reopened = CertOpenStore(CERT_STORE_PROV_SERIALIZED, 0, 0, 0, &blob);
    ASSERT_NE(reopened, nullptr) << "round " << round << ": damaged file";
    const int n = CountCerts(reopened);
    EXPECT_TRUE(n == 3 || n == 400) << n;
    CertCloseStore(reopened, 0);
  }
  CertCloseStore(big, 0);
}

TEST_F(Stores, ConcurrentWritersOfOneSystemStoreKeepEveryCertificate) {
  constexpr int kPerProcess = 15;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      HCERTSTORE my = OpenSystem("My");
      int failures = 0;
      for (int i = 0; i < kPerProcess; ++i)
        failures += !Add(my, test_pki::MakeSelfSigned(5000 + p * 100 + i, "p" + std::to_string(p)));
      CertCloseStore(my, 0);
      _exit(failures);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  HCERTSTORE my = OpenSystem("My");
  ASSERT_NE(my, nullptr);
  EXPECT_EQ(CountCerts(my), 2 * kPerProcess);
  CertCloseStore(my, 0);
}

TEST_F(Stores, ThreadsShareOneStore) {
  HCERTSTORE s = OpenSystem("CA");
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
  CertCloseStore(s, 0);
  HCERTSTORE again = OpenSystem("CA");
  EXPECT_EQ(CountCerts(again), 16);
  CertCloseStore(again, 0);
}

}  // namespace
