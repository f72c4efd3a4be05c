// The log's file: one append per line, rotated by size.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>

namespace Poco {
class ArchiveStrategy;
class PurgeStrategy;
}  // namespace Poco

// A log file that every thread writes at once: each line goes to the file in one write(2) on a
// descriptor opened for appending, so the kernel keeps lines whole and in one piece, nothing
// waits in user space for another thread's write, and a line is in the file when log()
// returns (a crash loses nothing written). Rotation by size archives the file under a
// timestamp name (gzip-compressed when asked) and keeps at most the given number of archives,
// through POCO's own archive and purge strategies, so archives are named as POCO's file
// channel names them.
class AppendFileChannel : public Poco::Channel {
 public:
  // rotation: "<n>", "<n> K", "<n> M" or "never"; purge_count: a number of archives or "none".
  // Returns null when a setting is not one of these forms (POCO's FileChannel takes it then).
  static Poco::AutoPtr<AppendFileChannel> Create(const std::string& path, const std::string& rotation,
                                                 const std::string& purge_count, bool compress);

  void open() override;
  void close() override;
  // Appends msg's text and a line feed. Throws Poco::WriteFileException when the file cannot
  // be opened or written.
  void log(const Poco::Message& msg) override;

 protected:
  ~AppendFileChannel() override;

 private:
  AppendFileChannel(std::string path, std::optional<uint64_t> rotate_at, std::optional<int> purge_count,
                    bool compress);
  // With mutex_ held exclusively.
  void OpenLocked();
  void CloseLocked();
  void RotateLocked();

  const std::string path_;
  const std::optional<uint64_t> rotate_at_;
  std::unique_ptr<Poco::ArchiveStrategy> archive_;
  std::unique_ptr<Poco::PurgeStrategy> purge_;
  // Writers hold it shared; opening, closing and rotating hold it alone.
  std::shared_mutex mutex_;
  int fd_ = -1;
  std::atomic<uint64_t> size_{0};
};
