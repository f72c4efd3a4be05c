// Thread-safe accessors and the named lock: whole values under contention, exclusion between
// threads and objects, re-entrancy. (Exclusion between processes: the store-file tests.)
#include "support/tsa.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>


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

}  // namespace
