#include "tools/vexor/io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <utility>

#include "scratch/scratch.h"

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

// The name an unfinished output has while it is named: the output's name, the infix and six
// template characters.
constexpr char kPartInfix[] = ".vexor-part.";

bool IsUnfinishedOutput(const std::string& name) {
  const size_t at = name.rfind(kPartInfix);
  return at != std::string::npos && at > 0 && name.size() == at + sizeof kPartInfix - 1 + 6;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Six characters for a file name of the template kind.
std::string TemplateCharacters() {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, sizeof kChars - 2);
  std::string text;
  for (int i = 0; i < 6; ++i) text += kChars[pick(generator)];
  return text;
}

}  // namespace

Output::Output(const std::string& path, bool hold_standard_output) : path_(path) {
  if (path.empty() || path == "-") {
    if (!hold_standard_output) return;
    if (!OpenHeld()) {
      ok_ = false;
      return;
    }
    buffer_ = std::make_unique<BackgroundWriteBuf>(fd_);
    owned_ = std::make_unique<std::ostream>(buffer_.get());
    stream_ = owned_.get();
    return;
  }
  struct stat st {};
  const bool exists = stat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    auto file = std::make_unique<std::filebuf>();
    ok_ = file->open(path, std::ios::out | std::ios::binary) != nullptr;
    buffer_ = std::move(file);
  } else {
    if (exists) {
      mode_ = st.st_mode & 07777;
    } else {
      const mode_t mask = umask(0);
      umask(mask);
      mode_ = 0666 & ~mask;
    }
    const std::string dir = FolderOf(path);
    scratch::SweepUnclaimed(dir, IsUnfinishedOutput);
    if (!OpenUnnamed(dir) && !OpenNamed()) {
      ok_ = false;
      return;
    }
    buffer_ = std::make_unique<BackgroundWriteBuf>(fd_);
  }
  owned_ = std::make_unique<std::ostream>(buffer_.get());
  stream_ = owned_.get();
}

bool Output::OpenUnnamed(const std::string& dir) {
  // The tests take the way of file systems without unnamed files with this set.
  const char* named = std::getenv("VEXOR_OUTPUT_NAMED");
  if (named != nullptr && *named != '\0') return false;
  const int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // The file is linked through /proc at the end; without /proc the named file is the way.
  if (access(("/proc/self/fd/" + std::to_string(fd)).c_str(), F_OK) != 0) {
    close(fd);
    return false;
  }
  // The claim covers the name the file gets for the moment before it is renamed into place.
  flock(fd, LOCK_EX | LOCK_NB);
  fd_ = fd;
  unnamed_ = true;
  return true;
}

bool Output::OpenNamed() {
  std::string temp = path_ + kPartInfix + "XXXXXX";
  const int fd = scratch::CreateClaimed(temp);
  if (fd < 0) return false;
  temp_path_ = temp;
  fd_ = fd;
  SetUnfinished(temp_path_);
  return true;
}

bool Output::OpenHeld() {
  static const char kHeldPrefix[] = "vexor-held.";
  const std::string dir = scratch::TemporaryFolder();
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    // Named only for the moment between creating and unlinking it.
    scratch::SweepUnclaimed(dir, kHeldPrefix);
    std::string temp = dir + "/" + kHeldPrefix + "XXXXXX";
    fd = scratch::CreateClaimed(temp);
    if (fd >= 0) unlink(temp.c_str());
  }
  if (fd < 0) return false;
  fd_ = fd;
  held_ = true;
  return true;
}

bool Output::CopyHeld() {
  std::vector<char> block(kWriteBlock);
  off_t offset = 0;
  for (;;) {
    const ssize_t n = pread(fd_, block.data(), block.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    std::cout.write(block.data(), n);
    offset += n;
  }
  std::cout.flush();
  return static_cast<bool>(std::cout);
}

bool Output::LinkIntoPlace() {
  // A link can replace nothing: the file gets a free name beside the target (owner-only
  // still) and is renamed over it.
  const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = path_ + kPartInfix + TemplateCharacters();
    int rc = linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
    if (rc != 0 && errno != EEXIST) rc = linkat(fd_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
    if (rc != 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    if (rename(name.c_str(), path_.c_str()) == 0) return true;
    unlink(name.c_str());
    return false;
  }
  return false;
}

Output::Output(Output&& other) noexcept
    : path_(std::move(other.path_)),
      temp_path_(std::exchange(other.temp_path_, std::string())),
      fd_(std::exchange(other.fd_, -1)),
      unnamed_(other.unnamed_),
      held_(other.held_),
      mode_(other.mode_),
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
  owned_.reset();
  buffer_.reset();  // closes the file; an unnamed one is gone with it
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
  bool placed = static_cast<bool>(*owned_);
  owned_.reset();
  if (placed && held_) {
    placed = CopyHeld();
  } else if (placed && fd_ >= 0) {
    placed = unnamed_ ? LinkIntoPlace() : rename(temp_path_.c_str(), path_.c_str()) == 0;
    // The file was owner-only until it had its name.
    if (placed) fchmod(fd_, mode_);
    if (placed && !unnamed_) {
      temp_path_.clear();
      ClearUnfinished();
    }
  }
  buffer_.reset();
  fd_ = -1;
  return placed;
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
