#include "tools/vexor/io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>
#include <sstream>
#include <utility>

#include "scratch/scratch.h"

namespace {

constexpr uint64_t kProgressThreshold = 4ull << 20;  // inputs above 4 MiB show progress
constexpr size_t kBlock = 1 << 16;
constexpr size_t kWriteBlock = 1 << 20;  // each of the background writer's two buffers

}  // namespace

namespace {

bool g_quiet = false;

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Bytes as "512 B", "12.3 MiB", "1.5 GiB".
std::string Bytes(double n) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  size_t unit = 0;
  while (n >= 1024 && unit + 1 < std::size(kUnits)) {
    n /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", n, kUnits[unit]);
  return text;
}

}  // namespace

void SetQuiet(bool quiet) { g_quiet = quiet; }

bool ProgressMeter::Wanted() { return !g_quiet && isatty(STDERR_FILENO); }

ProgressMeter::ProgressMeter(std::string label, uint64_t total)
    : label_(std::move(label)), total_(total), start_ms_(NowMs()) {}

ProgressMeter::~ProgressMeter() {
  if (drawn_ms_ >= 0) Draw(true);
}

void ProgressMeter::Update(uint64_t position) {
  position_ = position;
  const int64_t now = NowMs();
  // The first line after a moment (a short run shows none), then five a second.
  if (now - start_ms_ < 300 || (drawn_ms_ >= 0 && now - drawn_ms_ < 200)) return;
  drawn_ms_ = now;
  Draw(false);
}

void ProgressMeter::Draw(bool final) {
  const double seconds = std::max<int64_t>(1, NowMs() - start_ms_) / 1000.0;
  const double rate = static_cast<double>(position_) / seconds;
  std::string line = "\r" + label_;
  if (total_ != 0) {
    const uint64_t done = std::min(position_, total_);
    const int percent = static_cast<int>(done * 100 / total_);
    const int width = 30;
    const int filled = percent * width / 100;
    char tail[96];
    const uint64_t left = rate > 0 ? static_cast<uint64_t>(static_cast<double>(total_ - done) / rate) : 0;
    std::snprintf(tail, sizeof tail, "] %3d%%  %s/s  %u:%02u left", percent, Bytes(rate).c_str(),
                  static_cast<unsigned>(left / 60), static_cast<unsigned>(left % 60));
    line += " [" + std::string(filled, '#') + std::string(width - filled, ' ') + tail;
  } else {
    line += "  " + Bytes(static_cast<double>(position_)) + "  " + Bytes(rate) + "/s";
  }
  // Clear what a longer earlier line left.
  std::fprintf(stderr, "%s\033[K%s", line.c_str(), final ? "\n" : "");
  std::fflush(stderr);
}

FdReadBuf::FdReadBuf(int fd) : fd_(fd), buffer_(kBlock) {
  setg(buffer_.data(), buffer_.data(), buffer_.data());
  const off_t at = lseek(fd_, 0, SEEK_CUR);
  position_ = at > 0 ? static_cast<uint64_t>(at) : 0;
}

void FdReadBuf::ShowProgress(uint64_t total, std::string label) {
  meter_ = std::make_unique<ProgressMeter>(std::move(label), total);
}

FdReadBuf::~FdReadBuf() { close(fd_); }

size_t FdReadBuf::Read(char* to, size_t n) {
  if (error_ != 0) throw std::ios_base::failure(std::strerror(error_));
  for (;;) {
    const ssize_t got = ::read(fd_, to, n);
    if (got >= 0) {
      position_ += static_cast<uint64_t>(got);
      if (meter_) meter_->Update(position_);
      return static_cast<size_t>(got);
    }
    if (errno == EINTR) continue;
    error_ = errno;
    throw std::ios_base::failure(std::strerror(error_));
  }
}

FdReadBuf::int_type FdReadBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  const size_t n = Read(buffer_.data(), buffer_.size());
  setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
  return n == 0 ? traits_type::eof() : traits_type::to_int_type(*gptr());
}

std::streamsize FdReadBuf::xsgetn(char_type* s, std::streamsize n) {
  std::streamsize done = std::min(n, static_cast<std::streamsize>(egptr() - gptr()));
  if (done > 0) {  // a read of nothing may come with no memory at all
    std::memcpy(s, gptr(), static_cast<size_t>(done));
    gbump(static_cast<int>(done));
  }
  while (done < n) {
    const size_t want = static_cast<size_t>(n - done);
    if (want < buffer_.size()) {  // a small rest goes through the buffer
      if (traits_type::eq_int_type(underflow(), traits_type::eof())) break;
      const std::streamsize part = std::min(n - done, static_cast<std::streamsize>(egptr() - gptr()));
      std::memcpy(s + done, gptr(), static_cast<size_t>(part));
      gbump(static_cast<int>(part));
      done += part;
    } else {
      const size_t got = Read(s + done, want);
      if (got == 0) break;
      done += static_cast<std::streamsize>(got);
    }
  }
  return done;
}

FdReadBuf::pos_type FdReadBuf::seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) {
  if (dir == std::ios_base::cur) off -= static_cast<off_type>(egptr() - gptr());
  setg(buffer_.data(), buffer_.data(), buffer_.data());
  const int whence = dir == std::ios_base::beg ? SEEK_SET : dir == std::ios_base::cur ? SEEK_CUR : SEEK_END;
  const off_t at = lseek(fd_, static_cast<off_t>(off), whence);
  if (at < 0) return pos_type(off_type(-1));
  position_ = static_cast<uint64_t>(at);
  return pos_type(off_type(at));
}

FdReadBuf::pos_type FdReadBuf::seekpos(pos_type pos, std::ios_base::openmode which) {
  return seekoff(off_type(pos), std::ios_base::beg, which);
}

BackgroundWriteBuf::BackgroundWriteBuf(int fd) : fd_(fd) {
  for (std::unique_ptr<char[]>& b : buffers_) b = std::make_unique_for_overwrite<char[]>(kWriteBlock);
  setp(Buffer(0), Buffer(0) + kWriteBlock);
}

BackgroundWriteBuf::~BackgroundWriteBuf() {
  sync();
  if (writer_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    writer_.join();
  }
  close(fd_);
}

void BackgroundWriteBuf::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return queued_ != nullptr || stopping_; });
    if (queued_ == nullptr) return;
    const char* data = queued_;
    const size_t size = queued_size_;
    lock.unlock();
    const bool ok = WriteAll(fd_, data, size);
    lock.lock();
    if (!ok) failed_ = true;
    queued_ = nullptr;
    changed_.notify_all();
  }
}

bool BackgroundWriteBuf::Hand() {
  const size_t filled = static_cast<size_t>(pptr() - pbase());
  if (!writer_.joinable()) {
    if (failed_) return false;
    if (pptr() != epptr()) {  // a flush before the first buffer filled: no thread needed yet
      if (!WriteAll(fd_, pbase(), filled)) failed_ = true;
      setp(Buffer(current_), Buffer(current_) + kWriteBlock);
      return !failed_;
    }
    writer_ = std::thread([this] { Run(); });
  }
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queued_ == nullptr; });
  if (failed_) return false;
  if (filled == 0) return true;
  queued_ = pbase();
  queued_size_ = filled;
  current_ ^= 1;
  setp(Buffer(current_), Buffer(current_) + kWriteBlock);
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

namespace {

// An unnamed read-write file of the temporary folder; where the folder has no unnamed files,
// a claimed one unlinked as soon as it is made (what a crash in between leaves, a later run
// sweeps). -1 when neither can be made.
int UnnamedTemporary() {
  static const char kPrefix[] = "vexor-held.";
  const std::string dir = scratch::TemporaryFolder();
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    scratch::SweepUnclaimed(dir, kPrefix);
    std::string temp = dir + "/" + kPrefix + "XXXXXX";
    fd = scratch::CreateClaimed(temp);
    if (fd >= 0) unlink(temp.c_str());
  }
  return fd;
}

// The PEM labels of a CMS message as openssl and others write it.
bool IsMessageLabel(const std::string& label) {
  return label == "CMS" || label == "PKCS7" || label == "PKCS #7 SIGNED DATA";
}

}  // namespace

const char kPemMessageLabel[] = "CMS";

Input::Input(const std::string& path, const std::string& label, Kind kind) {
  const bool standard = path.empty() || path == "-";
  fd_ = standard ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    error_ = std::strerror(errno);
    ok_ = false;
    return;
  }
  struct stat st {};
  if (fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    error_ = std::strerror(EISDIR);
    ok_ = false;
    return;
  }
  // The library measures its input by seeking: what cannot seek is copied aside first.
  if (lseek(fd_, 0, SEEK_CUR) < 0) {
    const int from = fd_;
    fd_ = -1;
    const bool spooled = Spool(from);
    close(from);
    if (!spooled) return;
  }
  if (kind == Kind::kMessage && !DecodePem()) return;
  const off_t at = lseek(fd_, 0, SEEK_CUR);
  const off_t end = lseek(fd_, 0, SEEK_END);
  lseek(fd_, at, SEEK_SET);
  // The commands read their input front to back (a PEM head aside): a larger read-ahead
  // window keeps a file not yet in the page cache ahead of the hashing. Advice only.
  posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  file_ = std::make_unique<FdReadBuf>(fd_);
  wrapped_ = std::make_unique<std::istream>(file_.get());
  stream_ = wrapped_.get();
  const uint64_t size = end > at ? static_cast<uint64_t>(end - at) : 0;
  if (size > kProgressThreshold && ProgressMeter::Wanted()) file_->ShowProgress(static_cast<uint64_t>(end), label);
}

Input::~Input() {
  wrapped_.reset();
  if (file_) {
    file_.reset();  // closes fd_
  } else if (fd_ >= 0) {
    close(fd_);
  }
}

std::string Input::readError() const {
  return file_ && file_->error() != 0 ? std::strerror(file_->error()) : std::string();
}

bool Input::Spool(int from) {
  const int to = UnnamedTemporary();
  if (to < 0) {
    error_ = std::string("cannot keep standard input in the temporary folder: ") + std::strerror(errno);
    ok_ = false;
    return false;
  }
  ProgressMeter meter("reading standard input", 0);
  const bool shown = ProgressMeter::Wanted();
  std::vector<char> block(kWriteBlock);
  uint64_t total = 0;
  for (;;) {
    const ssize_t n = ::read(from, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n > 0 && !WriteAll(to, block.data(), static_cast<size_t>(n)))) {
      error_ = std::string(n < 0 ? "cannot read standard input: " : "cannot keep standard input aside: ") +
               std::strerror(errno);
      close(to);
      ok_ = false;
      return false;
    }
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
    if (shown && total > kProgressThreshold) meter.Update(total);
  }
  lseek(to, 0, SEEK_SET);
  fd_ = to;
  return true;
}

bool Input::DecodePem() {
  char head[128];
  const ssize_t got = pread(fd_, head, sizeof head, lseek(fd_, 0, SEEK_CUR));
  std::string start(head, got > 0 ? static_cast<size_t>(got) : 0);
  const size_t first = start.find_first_not_of(" \t\r\n");
  if (first == std::string::npos || start.compare(first, 11, "-----BEGIN ") != 0) return true;  // DER
  const size_t label_end = start.find("-----", first + 11);
  const std::string label = label_end == std::string::npos ? "" : start.substr(first + 11, label_end - first - 11);
  if (!IsMessageLabel(label)) {
    error_ = "PEM of " + (label.empty() ? std::string("no known kind") : "a " + label) +
             ", not a message (CMS or PKCS7)";
    ok_ = false;
    return false;
  }
  const int to = UnnamedTemporary();
  if (to < 0) {
    error_ = std::string("cannot decode the PEM message in the temporary folder: ") + std::strerror(errno);
    ok_ = false;
    return false;
  }
  // Base64 between the BEGIN line and the END line, decoded block by block.
  const std::string kEnd = "-----END " + label + "-----";
  lseek(fd_, static_cast<off_t>(label_end + 5), SEEK_CUR);
  std::vector<char> in(kBlock);
  std::string out;
  uint32_t bits = 0;
  int count = 0;  // sextets in bits
  int padding = 0;
  bool ended = false;
  bool bad = false;
  std::string line_start;  // what a line that may be the END line has so far
  bool at_line_start = false;
  while (!ended && !bad) {
    const ssize_t n = ::read(fd_, in.data(), in.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n && !ended && !bad; ++i) {
      const char c = in[static_cast<size_t>(i)];
      if (c == '\n') {
        at_line_start = true;
        continue;
      }
      if (at_line_start && c == '-') {
        line_start = "-";
        at_line_start = false;
        continue;
      }
      at_line_start = false;
      if (!line_start.empty()) {
        line_start += c;
        if (kEnd.compare(0, line_start.size(), line_start) != 0) bad = true;
        ended = line_start == kEnd;
        continue;
      }
      int v;
      if (c >= 'A' && c <= 'Z') v = c - 'A';
      else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
      else if (c >= '0' && c <= '9') v = c - '0' + 52;
      else if (c == '+') v = 62;
      else if (c == '/') v = 63;
      else if (c == '=') { ++padding; continue; }
      else if (c == '\r' || c == ' ' || c == '\t') continue;
      else { bad = true; break; }
      if (padding != 0) { bad = true; break; }
      bits = (bits << 6) | static_cast<uint32_t>(v);
      if (++count == 4) {
        out += static_cast<char>(bits >> 16);
        out += static_cast<char>(bits >> 8);
        out += static_cast<char>(bits);
        bits = 0;
        count = 0;
      }
    }
    if (out.size() >= kWriteBlock && !(bad = !WriteAll(to, out.data(), out.size()))) out.clear();
  }
  // What a last group of two or three characters holds.
  if (count == 2) out += static_cast<char>(bits >> 4);
  if (count == 3) {
    out += static_cast<char>(bits >> 10);
    out += static_cast<char>(bits >> 2);
  }
  if (bad || !ended || count == 1 || !WriteAll(to, out.data(), out.size())) {
    error_ = "a PEM message that does not decode (its Base64 or its END line is broken)";
    close(to);
    ok_ = false;
    return false;
  }
  close(fd_);
  lseek(to, 0, SEEK_SET);
  fd_ = to;
  return true;
}

std::string Input::Head(size_t n) const {
  if (fd_ < 0) return {};
  std::string bytes(n, '\0');
  const ssize_t got = pread(fd_, bytes.data(), n, 0);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
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

PemWriteBuf::PemWriteBuf(std::ostream& to, const char* label) : to_(to), label_(label), buffer_(48 * 1024) {
  to_ << "-----BEGIN " << label_ << "-----\n";
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

bool PemWriteBuf::Finish() {
  Encode(true);
  to_ << "-----END " << label_ << "-----\n";
  return static_cast<bool>(to_);
}

PemWriteBuf::int_type PemWriteBuf::overflow(int_type c) {
  Encode(false);
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

void PemWriteBuf::Encode(bool final) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const size_t filled = static_cast<size_t>(pptr() - pbase());
  const size_t take = final ? filled : filled / 48 * 48;
  const auto* in = reinterpret_cast<const unsigned char*>(pbase());
  std::string text;
  text.reserve(take / 3 * 4 + take / 48 + 8);
  for (size_t line = 0; line < take; line += 48) {
    const size_t end = std::min(take, line + 48);
    for (size_t i = line; i < end; i += 3) {
      const size_t n = std::min<size_t>(3, end - i);
      const uint32_t v = (uint32_t(in[i]) << 16) | (n > 1 ? uint32_t(in[i + 1]) << 8 : 0) | (n > 2 ? in[i + 2] : 0);
      text += kAlphabet[(v >> 18) & 63];
      text += kAlphabet[(v >> 12) & 63];
      text += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
      text += n > 2 ? kAlphabet[v & 63] : '=';
    }
    text += '\n';
  }
  to_.write(text.data(), static_cast<std::streamsize>(text.size()));
  std::memmove(buffer_.data(), pbase() + take, filled - take);
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  pbump(static_cast<int>(filled - take));
}

void Output::WritePem(const char* label) {
  pem_ = std::make_unique<PemWriteBuf>(*stream_, label);
  pem_stream_ = std::make_unique<std::ostream>(pem_.get());
}

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
  const int fd = UnnamedTemporary();
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
      pem_(std::move(other.pem_)),
      pem_stream_(std::move(other.pem_stream_)),
      ok_(other.ok_) {}

Output Output::Discard() {
  Output out;
  out.buffer_ = std::make_unique<DiscardBuf>();
  out.owned_ = std::make_unique<std::ostream>(out.buffer_.get());
  out.stream_ = out.owned_.get();
  return out;
}

Output::~Output() {
  pem_stream_.reset();
  pem_.reset();
  owned_.reset();
  buffer_.reset();  // closes the file; an unnamed one is gone with it
  if (!temp_path_.empty()) {
    unlink(temp_path_.c_str());  // still here: commit() was never reached
    ClearUnfinished();
  }
}

bool Output::commit() {
  if (pem_) {
    pem_stream_->flush();
    const bool finished = *pem_stream_ && pem_->Finish();
    pem_stream_.reset();
    pem_.reset();
    if (!finished) return false;
  }
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
  if (path == "-") {
    std::ostringstream s;
    s << std::cin.rdbuf();
    bytes = s.str();
    return !std::cin.bad();
  }
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
