// Thread-safe accessors and the named lock: whole values under contention, exclusion between
// threads and between processes, re-entrancy.
#include "support/tsa.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/test_util.h"

namespace {

using namespace std::chrono_literals;

std::string UniqueName(const char* what) {
  return std::string("vexor_test/") + what + "\\" + std::to_string(getpid());
}

TEST(CStringTSA, TwoWritersNeverMixValues) {
  CStringTSA text;
  EXPECT_TRUE(text.IsEmpty());
  const std::string a(4000, 'a');
  const std::string b(3000, 'b');
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  auto writer = [&](const std::string& value) {
    for (int i = 0; i < 20000; ++i) {
      if (text.Set(value) != value) ++torn;
    }
  };
  std::thread reader([&] {
    while (!stop) {
      const std::string seen = text.Get();
      if (!seen.empty() && seen != a && seen != b) ++torn;
    }
  });
  std::thread wa(writer, a), wb(writer, b);
  wa.join();
  wb.join();
  stop = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  const std::string last = text.Get();
  EXPECT_TRUE(last == a || last == b);
  EXPECT_FALSE(text.IsEmpty());
}

// Another object of the same name, or another thread, waits while the owner holds the lock,
// however often the owner took it again.
TEST(NamedMutex, ExcludesOtherThreadsAndObjectsAndIsReentrant) {
  const std::string name = UniqueName("threads");
  NamedMutex shared(name);
  NamedMutex other(name);  // same name, own lock file descriptor
  shared.lock();
  ASSERT_TRUE(shared.try_lock_for(0));
  std::atomic<int> got_shared{-1}, got_other{-1};
  std::thread t([&] {
    got_shared = shared.try_lock_for(50ms) ? 1 : 0;
    got_other = other.try_lock_for(50) ? 1 : 0;
  });
  t.join();
  EXPECT_EQ(got_shared, 0);
  EXPECT_EQ(got_other, 0);
  shared.unlock();
  EXPECT_FALSE(other.try_lock_for(20));  // still held once
  shared.unlock();
  ASSERT_TRUE(other.try_lock_for(1000));
  other.unlock();
  unlink(shared.path().c_str());
}

TEST(NamedMutex, ExcludesAnotherProcess) {
  const std::string name = UniqueName("process");
  NamedMutex mine(name);
  // A second process holds the lock for a while: this one cannot take it, then waits for it.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(ready[0]);
    NamedMutex theirs(name);
    theirs.lock();
    const char byte = 1;
    (void)!write(ready[1], &byte, 1);
    std::this_thread::sleep_for(300ms);
    theirs.unlock();
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  EXPECT_FALSE(mine.try_lock_for(50));
  const auto start = std::chrono::steady_clock::now();
  mine.lock();  // waits for the child to let go
  const auto waited = std::chrono::steady_clock::now() - start;
  mine.unlock();
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GT(waited, 100ms);
  unlink(mine.path().c_str());
}

}  // namespace
