// The tool's input buffer against the file it reads: a seeking reader gets the file's own
// bytes, and a read that fails part-way is a failure, never the end of a shorter file.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <istream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "tools/vexor/io.h"

namespace {

constexpr size_t kPage = 1 << 16;

// A file of random bytes in the temporary folder, removed at the end.
class RandomFile {
 public:
  explicit RandomFile(size_t size) : bytes_(size, '\0') {
    std::mt19937_64 random(size);
    for (char& c : bytes_) c = static_cast<char>(random());
    char name[] = "/tmp/vexor-fd-read.XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes_.data(), bytes_.size()), static_cast<ssize_t>(bytes_.size()));
    close(fd);
  }
  ~RandomFile() { unlink(path_.c_str()); }
  const std::string& bytes() const { return bytes_; }
  int Open() const { return open(path_.c_str(), O_RDONLY | O_CLOEXEC); }

 private:
  std::string bytes_;
  std::string path_;
};

// Random seeks (from the start and relative) and reads of random lengths, small ones through
// the buffer and large ones straight into the caller's memory, across the buffer's edges.
TEST(FdReadBuf, SeekingReaderSeesExactlyTheFile) {
  const RandomFile file(40 * kPage + 1);
  const std::string& bytes = file.bytes();
  FdReadBuf buffer(file.Open());
  std::istream in(&buffer);
  std::mt19937 random(7);
  for (int step = 0; step < 300; ++step) {
    in.clear();
    const uint64_t at = random() % 3 == 0 ? (random() % 40 + 1) * kPage - 2 + random() % 5 : random() % (bytes.size() + 2);
    if (random() % 2)
      in.seekg(static_cast<std::streamoff>(at));
    else
      in.seekg(static_cast<std::streamoff>(at) - static_cast<std::streamoff>(in.tellg()), std::ios::cur);
    ASSERT_EQ(static_cast<uint64_t>(in.tellg()), at) << "step " << step;
    const size_t n = random() % 2 ? random() % 100 : random() % (3 * kPage);
    std::string got(n, '\0');
    in.read(got.data(), static_cast<std::streamsize>(n));
    const size_t expected = at < bytes.size() ? std::min<size_t>(n, bytes.size() - at) : 0;
    ASSERT_EQ(static_cast<size_t>(in.gcount()), expected) << "at " << at << ", " << n << " bytes";
    ASSERT_EQ(got.compare(0, expected, bytes, at, expected), 0) << "at " << at << ", " << n << " bytes";
    ASSERT_FALSE(in.bad());
  }
}

// Pages of a mapped file cut off by truncating it fail with EIO when read through
// /proc/self/mem: what comes before them is read, the read that meets them sets badbit
// instead of ending short, and the error stays.
TEST(FdReadBuf, FailedReadIsAFailure) {
  const RandomFile file(3 * kPage);
  const int backing = file.Open();
  ASSERT_GE(backing, 0);
  void* map = mmap(nullptr, 3 * kPage, PROT_READ, MAP_SHARED, backing, 0);
  ASSERT_NE(map, MAP_FAILED);
  const int writable = open(("/proc/self/fd/" + std::to_string(backing)).c_str(), O_WRONLY);
  ASSERT_GE(writable, 0);
  ASSERT_EQ(ftruncate(writable, 2 * kPage), 0);
  close(writable);
  for (const size_t first : {size_t{2 * kPage}, size_t{kPage + 5}}) {
    FdReadBuf buffer(open("/proc/self/mem", O_RDONLY | O_CLOEXEC));
    std::istream in(&buffer);
    in.seekg(static_cast<std::streamoff>(reinterpret_cast<uintptr_t>(map)));
    std::string got(first, '\0');
    in.read(got.data(), static_cast<std::streamsize>(first));
    ASSERT_EQ(static_cast<size_t>(in.gcount()), first);
    EXPECT_EQ(got, file.bytes().substr(0, first));
    in.read(got.data(), static_cast<std::streamsize>(kPage));
    EXPECT_TRUE(in.bad());
    EXPECT_EQ(buffer.error(), EIO);
    in.clear();
    EXPECT_EQ(in.peek(), EOF);
    EXPECT_TRUE(in.bad());
  }
  munmap(map, 3 * kPage);
  close(backing);
}

}  // namespace
