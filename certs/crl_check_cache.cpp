#include "certs/crl_check_cache.h"

#include <algorithm>
#include <cctype>

#include "call/result_codes.h"

namespace {

std::string Key(const std::string& address) {
  std::string key = address;
  std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key;
}

}  // namespace

bool CrlCheckCache::Recent(const std::string& address, int32_t& result) const {
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = entries_.find(Key(address));
  if (it == entries_.end() || it->second.result == RC_CRL_UPDATE) return false;
  const auto age = std::chrono::round<std::chrono::seconds>(std::chrono::steady_clock::now() - it->second.when);
  if (age > std::chrono::minutes(kMinutes)) return false;
  result = it->second.result;
  return true;
}

void CrlCheckCache::Store(const std::string& address, int32_t result) {
  std::lock_guard<std::mutex> guard(lock_);
  entries_[Key(address)] = Entry{result, std::chrono::steady_clock::now()};
}

void CrlCheckCache::MarkForcedUpdate() {
  std::lock_guard<std::mutex> guard(lock_);
  last_forced_ = std::time(nullptr);
}

std::optional<std::time_t> CrlCheckCache::LastForcedUpdate() const {
  std::lock_guard<std::mutex> guard(lock_);
  return last_forced_;
}
