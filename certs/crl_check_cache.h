// The rate limit of revocation-list downloads: per address (lower-cased), the result and
// time of its last processing. An address processed within the last 5 minutes is not
// fetched again unless that processing failed to download (44). Entries are never removed;
// the object lives as long as the operation object. It also keeps when the last forced
// update of the store file processed an address.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>

class CrlCheckCache {
 public:
  static constexpr int kMinutes = 5;

  // True with the stored result when the address was processed recently enough to reuse it.
  bool Recent(const std::string& address, int32_t& result) const;
  void Store(const std::string& address, int32_t result);

  // The forced update processed at least one address now; when it last did (none yet: empty).
  void MarkForcedUpdate();
  std::optional<std::time_t> LastForcedUpdate() const;

 private:
  struct Entry {
    int32_t result;
    std::chrono::steady_clock::time_point when;
  };
  mutable std::mutex lock_;
  std::map<std::string, Entry> entries_;
  std::optional<std::time_t> last_forced_;
};
