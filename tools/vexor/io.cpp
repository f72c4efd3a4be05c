#include "tools/vexor/io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <utility>

namespace {

constexpr uint64_t kProgressThreshold = 4ull << 20;  // inputs above 4 MiB show progress
constexpr size_t kBlock = 1 << 16;
constexpr size_t kWriteBlock = 1 << 20;  // each of the background writer's two buffers

}  // namespace

ProgressBuf::ProgressBuf(std::streambuf* source, uint64_t total, std::string label)
    : source_(source), total_(total), label_(std::move(label)), buffer_(kBlock) {
  setg(buffer_.data(), buffer_.data(), buffer_.data());
}

ProgressBuf::~ProgressBuf() {
  if (last_percent_ >= 0) Draw(true);
}

ProgressBuf::int_type ProgressBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  const std::streamsize n = source_->sgetn(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  if (n <= 0) return traits_type::eof();
  position_ += static_cast<uint64_t>(n);
  setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
  Draw(false);
  return traits_type::to_int_type(*gptr());
}

ProgressBuf::pos_type ProgressBuf::seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) {
  if (dir == std::ios_base::cur) off -= static_cast<off_type>(egptr() - gptr());
  setg(buffer_.data(), buffer_.data(), buffer_.data());
  const pos_type pos = source_->pubseekoff(off, dir, which);
  if (pos != pos_type(off_type(-1))) position_ = static_cast<uint64_t>(off_type(pos));
  return pos;
}

ProgressBuf::pos_type ProgressBuf::seekpos(pos_type pos, std::ios_base::openmode which) {
  setg(buffer_.data(), buffer_.data(), buffer_.data());
  const pos_type result = source_->pubseekpos(pos, which);
  if (result != pos_type(off_type(-1))) position_ = static_cast<uint64_t>(off_type(result));
  return result;
}

void ProgressBuf::Draw(bool final) {
  const int percent = total_ == 0 ? 100 : static_cast<int>(std::min<uint64_t>(100, position_ * 100 / total_));
  if (percent == last_percent_ && !final) return;
  last_percent_ = percent;
  const int width = 40;
  const int filled = percent * width / 100;
  std::fprintf(stderr, "\r%s [%s%s] %3d%%", label_.c_str(), std::string(filled, '#').c_str(),
               std::string(width - filled, ' ').c_str(), percent);
  if (final) std::fprintf(stderr, "\n");
  std::fflush(stderr);
}

BackgroundWriteBuf::BackgroundWriteBuf(int fd) : fd_(fd) {
  for (std::vector<char>& b : buffers_) b.resize(kWriteBlock);
  setp(buffers_[0].data(), buffers_[0].data() + kWriteBlock);
  writer_ = std::thread([this] { Run(); });
}

BackgroundWriteBuf::~BackgroundWriteBuf() {
  sync();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  writer_.join();
  close(fd_);
}

void BackgroundWriteBuf::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return queued_ != nullptr || stopping_; });
    if (queued_ == nullptr) return;
    const char* data = queued_;
    size_t left = queued_size_;
    lock.unlock();
    bool ok = true;
    while (left > 0) {
      const ssize_t n = ::write(fd_, data, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = false;
        break;
      }
      data += n;
      left -= static_cast<size_t>(n);
    }
    lock.lock();
    if (!ok) failed_ = true;
    queued_ = nullptr;
    changed_.notify_all();
  }
}

bool BackgroundWriteBuf::Hand() {
  const size_t filled = static_cast<size_t>(pptr() - pbase());
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queued_ == nullptr; });
  if (failed_) return false;
  if (filled == 0) return true;
  queued_ = pbase();
  queued_size_ = filled;
  current_ ^= 1;
  setp(buffers_[current_].data(), buffers_[current_].data() + kWriteBlock);
  changed_.notify_all();
  return true;
}

bool BackgroundWriteBuf::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queued_ == nullptr; });
  return !failed_;
}

BackgroundWriteBuf::int_type BackgroundWriteBuf::overflow(int_type c) {
  if (!Hand()) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

int BackgroundWriteBuf::sync() { return Hand() && Drain() ? 0 : -1; }

Input::Input(const std::string& path, const std::string& label) {
  if (path.empty() || path == "-") return;
  file_.open(path, std::ios::binary);
  if (!file_) {
    ok_ = false;
    return;
  }
  stream_ = &file_;
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path, ec);
  if (!ec && size > kProgressThreshold && isatty(STDERR_FILENO)) {
    progress_ = std::make_unique<ProgressBuf>(file_.rdbuf(), size, label);
    wrapped_ = std::make_unique<std::istream>(progress_.get());
    stream_ = wrapped_.get();
  }
}

namespace {

// A write buffer that drops everything.
class DiscardBuf : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// The unfinished output file, removed when SIGINT or SIGTERM ends the tool. One command
// writes one file at a time.
char g_unfinished[4096];

void RemoveUnfinished(int sig) {
  if (g_unfinished[0] != '\0') unlink(g_unfinished);
  signal(sig, SIG_DFL);
  raise(sig);
}

void SetUnfinished(const std::string& path) {
  if (path.size() >= sizeof g_unfinished) return;
  std::memcpy(g_unfinished, path.c_str(), path.size() + 1);
  signal(SIGINT, RemoveUnfinished);
  signal(SIGTERM, RemoveUnfinished);
}

void ClearUnfinished() { g_unfinished[0] = '\0'; }

}  // namespace

Output::Output(const std::string& path) : path_(path) {
  if (path.empty() || path == "-") return;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    auto file = std::make_unique<std::filebuf>();
    ok_ = file->open(path, std::ios::out | std::ios::binary) != nullptr;
    buffer_ = std::move(file);
  } else {
    // Exclusively created, so nobody's link is followed; the usual mode of a new file.
    std::string temp = path + ".part.XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
      ok_ = false;
      return;
    }
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    temp_path_ = temp;
    SetUnfinished(temp_path_);
    buffer_ = std::make_unique<BackgroundWriteBuf>(fd);
  }
  owned_ = std::make_unique<std::ostream>(buffer_.get());
  stream_ = owned_.get();
}

Output::Output(Output&& other) noexcept
    : path_(std::move(other.path_)),
      temp_path_(std::exchange(other.temp_path_, std::string())),
      buffer_(std::move(other.buffer_)),
      owned_(std::move(other.owned_)),
      stream_(std::exchange(other.stream_, &std::cout)),
      ok_(other.ok_) {}

Output Output::Discard() {
  Output out;
  out.buffer_ = std::make_unique<DiscardBuf>();
  out.owned_ = std::make_unique<std::ostream>(out.buffer_.get());
  out.stream_ = out.owned_.get();
  return out;
}

Output::~Output() {
  if (owned_) owned_->flush();
  owned_.reset();
  buffer_.reset();  // closes the file
  if (!temp_path_.empty()) {
    unlink(temp_path_.c_str());  // still here: commit() was never reached
    ClearUnfinished();
  }
}

bool Output::commit() {
  if (!owned_) {
    std::cout.flush();
    return static_cast<bool>(std::cout);
  }
  owned_->flush();
  const bool written = static_cast<bool>(*owned_);
  owned_.reset();
  buffer_.reset();
  if (temp_path_.empty()) return written;
  if (!written || rename(temp_path_.c_str(), path_.c_str()) != 0) return false;
  temp_path_.clear();
  ClearUnfinished();
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  bytes = s.str();
  return !in.bad();
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  Output out(path);
  if (!out.ok()) return false;
  out.stream().write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return out.commit();
}
