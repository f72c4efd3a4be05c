// The store file's lock, the per-call store set and concurrent changes of the store file.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "certs/import.h"
#include "common/standalone_call.h"
#include "certs/instance_context.h"
#include "call/result_codes.h"
#include "library_fixture.h"
#include "stores/auto_handle.h"
#include "stores/sst_accessor.h"
#include "stores/store_set.h"

using namespace library_test;

namespace {

// Certificates in a store file, or -1 when it does not open.
int CountInFile(const fs::path& path) {
  const auto_store s(CertOpenStore(CERT_STORE_PROV_FILENAME_A, kStoreEncoding, 0,
                                   CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, path.c_str()));
  return s ? CertCount(s.get()) : -1;
}

class HostStoreCallback : public Recorder {
 public:
  HCERTSTORE OnOpenStore() override {
    ++opened;
    return store;
  }
  void OnCloseStore(HCERTSTORE s) override { returned.push_back(s); }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  int opened = 0;
  std::vector<HCERTSTORE> returned;
};

}  // namespace

TEST_F(LibraryTest, UnreadableStoreFileFailsOnlyWithoutCallback) {
  std::ofstream(work_ / "certstore.sst") << "this is not a store";
  {
    IVexorImpl& obj = Object(true);
    InstanceContext ctx = obj.NewCall();
    EXPECT_EQ(ctx.stores.Open(CST_SST | CST_MY), RC_OK);
    EXPECT_FALSE(ctx.stores.Has(CST_SST));
    EXPECT_TRUE(ctx.stores.Has(CST_MY));
  }
  IVexorImpl& obj = Object(false);
  InstanceContext ctx = obj.NewCall();
  try {
    ctx.stores.Open(CST_SST | CST_MY);
    FAIL() << "no exception";
  } catch (const CryptoOperations::SystemException& e) {
    EXPECT_EQ(e.code(), RC_STORE_OPEN);
    EXPECT_EQ(text::Cp1251ToUtf8(e.what()), "Не удалось открыть хранилище certstore.sst");
  }
  // The store walk's lookup never raises: the store is simply not there.
  EXPECT_EQ(ctx.stores.Get(CST_SST), nullptr);
}

TEST_F(LibraryTest, HostStoreGoesBackToTheHost) {
  HostStoreCallback host;
  test_common::StandaloneCall call(work_.string());
  {
    InstanceContext ctx = call.Make(&host);
    EXPECT_EQ(ctx.stores.Get(CST_HOST), host.store);
    EXPECT_EQ(ctx.stores.Get(CST_HOST), host.store);
    EXPECT_EQ(host.opened, 1);
  }
  ASSERT_EQ(host.returned.size(), 1u);
  EXPECT_EQ(host.returned[0], host.store);
  // Still the host's: the library did not close it.
  const test_pki::Bytes& der = test_pki::Pki::Get().user_a.der;
  EXPECT_TRUE(CertAddEncodedCertificateToStore(host.store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  CertCloseStore(host.store, 0);
}

// The lock file sits beside the store, owner-only, and a lock somebody keeps holding makes
// the open fail after the wait instead of hanging it.
TEST_F(LibraryTest, StoreFileLockIsPrivateAndNeverWaitedForForever) {
  IVexorImpl& obj = Object(false);
  const std::string lock_file = obj.sstAccessor().GetPath() + ".lock";
  ASSERT_TRUE(auto_store(obj.sstAccessor().Open(kStoreEncoding, kStoreFileOpenFlags, 0)));
  ASSERT_TRUE(fs::exists(lock_file));
  EXPECT_EQ(fs::status(lock_file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedMutex lock(obj.sstAccessor().GetMutexName(), lock_file);
    lock.lock();
    const char c = 1;
    (void)!write(ready[1], &c, 1);
    sleep(3);
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  obj.sstAccessor().SetLockWait(std::chrono::milliseconds(200));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(obj.sstAccessor().Open(kStoreEncoding, kStoreFileOpenFlags, 0), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(ready[0]);
  close(ready[1]);
}

// Importers in several processes while others run Init (which reads and merges the store file)
// over and over: every import lands and the file always opens whole. Repeated, since a lost
// change shows only when two changes meet.
TEST_F(LibraryTest, ConcurrentChangesOfTheStoreFileLoseNothing) {
  constexpr int kImporters = 4, kEach = 6, kReaders = 2, kRounds = 3;
  std::vector<test_pki::Bytes> certs;
  for (int i = 0; i < kRounds * kImporters * kEach; ++i)
    certs.push_back(test_pki::MakeSelfSigned(5000 + i, "Importer " + std::to_string(i)));
  const fs::path path = work_ / "certstore.sst";
  for (int round = 0; round < kRounds; ++round) {
    fs::remove(path);
    std::vector<pid_t> importers, readers;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    auto spawn = [&](auto body) {
      const pid_t child = fork();
      if (child == 0) {
        close(go[1]);
        char c;
        (void)!read(go[0], &c, 1);  // every child starts at once
        _exit(body());
      }
      return child;
    };
    for (int p = 0; p < kReaders; ++p) {
      readers.push_back(spawn([&] {
        for (;;) {  // until killed; a host that declines every item, as the tool's does
          Recorder host;
          IVexorImpl obj;
          obj.Init(work_.c_str(), &host, CERT_SYSTEM_STORE_CURRENT_USER);
        }
        return 0;
      }));
    }
    for (int p = 0; p < kImporters; ++p) {
      importers.push_back(spawn([&, p] {
        IVexorImpl obj;
        if (obj.Init(work_.c_str(), nullptr, CERT_SYSTEM_STORE_CURRENT_USER) != RC_OK) return 1;
        for (int i = 0; i < kEach; ++i) {
          test_pki::Bytes& der = certs[(round * kImporters + p) * kEach + i];
          try {
            InstanceContext ctx = obj.NewCall();
            if (AddCertOrCRLToStore(CRYPT_DATA_BLOB{DWORD(der.size()), der.data()}, kItemCertificate, ctx) != RC_OK)
              return 1;
          } catch (...) {
            return 1;
          }
        }
        return 0;
      }));
    }
    close(go[0]);
    close(go[1]);  // go
    int bad_reads = 0;
    for (int i = 0; i < 30; ++i) {
      SSTAccessor reader;
      reader.Init(work_.c_str(), false);
      const bool existed = fs::exists(path);
      if (!auto_store(reader.Open(kStoreEncoding, CERT_STORE_OPEN_EXISTING_FLAG, 0)) && existed) ++bad_reads;
    }
    for (pid_t child : importers) {
      int status = 0;
      waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (pid_t child : readers) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    EXPECT_EQ(bad_reads, 0);
    ASSERT_EQ(CountInFile(path), kImporters * kEach) << "round " << round;
  }
}
