// The size-then-fill read: which step stops it, the size the callers quote, the buffer cut
// to what the fill wrote, and an allocation that cannot be had.
#include "support/read_sized.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace {

// A platform call over `data`: answers the size for a null buffer, copies for a buffer of
// room enough; fails the step `fail_at` (1 size, 2 fill) and may write fewer bytes than it
// first asked for, as encoders do.
struct FakeCall {
  std::vector<uint8_t> data;
  int fail_at = 0;
  uint32_t extra = 0;  // asked beyond what the fill writes
  int calls = 0;
  bool operator()(uint8_t* buffer, uint32_t& length) {
    ++calls;
    if (buffer == nullptr && length == 0 && calls == 1) {
      length = static_cast<uint32_t>(data.size()) + extra;
      return fail_at != 1;
    }
    if (fail_at == 2 || length < data.size()) return false;
    if (buffer != nullptr && !data.empty()) std::memcpy(buffer, data.data(), data.size());
    length = static_cast<uint32_t>(data.size());
    return true;
  }
};

TEST(ReadSized, StepsSizesAndTheCut) {
  const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5};
  struct Row {
    const char* label;
    int fail_at;
    uint32_t extra;
    size_t least;
    SizedStep step;
    uint32_t length;  // as the caller sees it afterwards
    int calls;
  } rows[] = {
      {"read", 0, 0, 0, SizedStep::kDone, 5, 2},
      {"asked more than written: cut", 0, 3, 0, SizedStep::kDone, 5, 2},
      {"size query fails", 1, 0, 0, SizedStep::kSize, 5, 1},
      {"fill fails", 2, 0, 0, SizedStep::kData, 5, 2},
      {"below the least size", 0, 0, 6, SizedStep::kMemory, 5, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    FakeCall call{bytes, row.fail_at, row.extra};
    std::vector<uint8_t> out = {9, 9};
    uint32_t length = 77;
    EXPECT_EQ(ReadSized(call, out, length, row.least), row.step);
    EXPECT_EQ(length, row.length);
    EXPECT_EQ(call.calls, row.calls);
    if (row.step == SizedStep::kDone) {
      EXPECT_EQ(out, bytes);
    }
    // The short form: the bytes or nothing.
    FakeCall again{bytes, row.fail_at, row.extra};
    EXPECT_EQ(ReadSized<uint32_t>(again, row.least), row.step == SizedStep::kDone ? bytes : std::vector<uint8_t>());
  }
  FakeCall empty{{}, 0, 0};
  std::vector<uint8_t> out = {9};
  uint32_t length = 0;
  EXPECT_EQ(ReadSized(empty, out, length), SizedStep::kDone);
  EXPECT_TRUE(out.empty());
}

// A buffer whose memory runs out past 1000 bytes, as the allocator's would.
struct Scarce {
  size_t size = 1;
  void resize(size_t n) {
    if (n > 1000) throw std::bad_alloc();
    size = n;
  }
};

TEST(ReadSized, AnAllocationThatCannotBeHadIsAStepNotAnException) {
  Scarce buffer;
  EXPECT_FALSE(TryResize(buffer, 1001));
  EXPECT_EQ(buffer.size, 1u);
  EXPECT_TRUE(TryResize(buffer, 1000));
  EXPECT_EQ(buffer.size, 1000u);
}

}  // namespace
