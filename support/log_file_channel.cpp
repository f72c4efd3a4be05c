#include "support/log_file_channel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <mutex>

#include <Poco/ArchiveStrategy.h>
#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Exception.h>
#include <Poco/LogFile.h>
#include <Poco/Message.h>
#include <Poco/PurgeStrategy.h>

namespace {

// "<digits>[ ]*[K|M]" as a byte count; "never" as no rotation; anything else unknown.
bool ParseRotation(const std::string& text, std::optional<uint64_t>& rotate_at) {
  if (text == "never") {
    rotate_at.reset();
    return true;
  }
  size_t i = 0;
  uint64_t n = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    if (n > (UINT64_MAX - 9) / 10) return false;
    n = n * 10 + static_cast<uint64_t>(text[i++] - '0');
  }
  if (i == 0) return false;
  while (i < text.size() && text[i] == ' ') ++i;
  const std::string unit = text.substr(i);
  const uint64_t factor = unit.empty() ? 1 : unit == "K" ? 1024 : unit == "M" ? 1024 * 1024 : 0;
  if (factor == 0 || n > UINT64_MAX / factor) return false;
  rotate_at = n * factor;
  return true;
}

bool ParsePurgeCount(const std::string& text, std::optional<int>& count) {
  if (text == "none") {
    count.reset();
    return true;
  }
  if (text.empty() || text.size() > 9) return false;
  int n = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    n = n * 10 + (c - '0');
  }
  if (n == 0) return false;
  count = n;
  return true;
}

}  // namespace

Poco::AutoPtr<AppendFileChannel> AppendFileChannel::Create(const std::string& path, const std::string& rotation,
                                                           const std::string& purge_count, bool compress) {
  std::optional<uint64_t> rotate_at;
  std::optional<int> count;
  if (!ParseRotation(rotation, rotate_at) || !ParsePurgeCount(purge_count, count)) return nullptr;
  return Poco::AutoPtr<AppendFileChannel>(new AppendFileChannel(path, rotate_at, count, compress));
}

AppendFileChannel::AppendFileChannel(std::string path, std::optional<uint64_t> rotate_at,
                                     std::optional<int> purge_count, bool compress)
    : path_(std::move(path)), rotate_at_(rotate_at) {
  if (rotate_at_) {
    archive_ = std::make_unique<Poco::ArchiveByTimestampStrategy<Poco::DateTime>>();
    archive_->compress(compress);
    if (purge_count) purge_ = std::make_unique<Poco::PurgeByCountStrategy>(*purge_count);
  }
}

AppendFileChannel::~AppendFileChannel() {
  std::unique_lock lock(mutex_);
  CloseLocked();
}

void AppendFileChannel::open() {
  std::unique_lock lock(mutex_);
  OpenLocked();
}

void AppendFileChannel::close() {
  std::unique_lock lock(mutex_);
  CloseLocked();
}

void AppendFileChannel::OpenLocked() {
  if (fd_ >= 0) return;
  // Owner-only: the log names subjects and paths.
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw Poco::OpenFileException(path_);
  struct stat st {};
  size_.store(fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0);
  fd_ = fd;
}

void AppendFileChannel::CloseLocked() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

void AppendFileChannel::RotateLocked() {
  CloseLocked();
  // POCO's strategy renames the file to "<path>.<UTC time to the millisecond>" and opens a
  // fresh one at the path; when an archive of that name exists already, it renumbers the
  // archives and leaves the file where it is. Two rotations are kept a millisecond apart.
  for (int tries = 0; tries < 100; ++tries) {
    const std::string name =
        path_ + "." + Poco::DateTimeFormatter::format(Poco::DateTime().timestamp(), "%Y%m%d%H%M%S%i");
    if (access(name.c_str(), F_OK) != 0 && access((name + ".gz").c_str(), F_OK) != 0) break;
    usleep(1000);
  }
  std::unique_ptr<Poco::LogFile> fresh(archive_->archive(new Poco::LogFile(path_)));
  fresh.reset();
  chmod(path_.c_str(), 0600);  // POCO made the fresh file with the default mode
  if (purge_) purge_->purge(path_);
  OpenLocked();
}

void AppendFileChannel::log(const Poco::Message& msg) {
  std::string line;
  line.reserve(msg.getText().size() + 1);
  line.append(msg.getText()).push_back('\n');

  std::shared_lock shared(mutex_);
  if (fd_ < 0) {
    shared.unlock();
    {
      std::unique_lock lock(mutex_);
      OpenLocked();
    }
    shared.lock();
    if (fd_ < 0) throw Poco::WriteFileException(path_);  // closed again in between
  }
  // pwrite on a descriptor opened with O_APPEND appends all the same (Linux ignores the
  // offset there) and, unlike write, does not take the descriptor's position lock, which
  // two threads logging at once otherwise spin on (3% of a signature's time each).
  for (size_t done = 0; done < line.size();) {
    const ssize_t n = ::pwrite(fd_, line.data() + done, line.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Poco::WriteFileException(path_);
    }
    done += static_cast<size_t>(n);
  }
  const uint64_t size = size_.fetch_add(line.size()) + line.size();
  if (!rotate_at_ || size < *rotate_at_) return;
  shared.unlock();
  std::unique_lock lock(mutex_);
  // Another writer may have rotated already.
  if (fd_ >= 0 && size_.load() >= *rotate_at_) RotateLocked();
}
