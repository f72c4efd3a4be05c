#include "certs/valid_certs_cache.h"

#include <cmath>

#include "certs/cert_time.h"

namespace {

std::vector<BYTE> KeyBytes(const CRYPT_INTEGER_BLOB& key) {
  if (key.pbData == nullptr || key.cbData == 0) return {};
  return std::vector<BYTE>(key.pbData, key.pbData + key.cbData);
}

}  // namespace

double CurrentLocalDate() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  double date = 0;
  FileTimeToLocalDate(now, date);
  return date;
}

ValidCertsCache::ValidCertsCache() : clock_(CurrentLocalDate) {}

void ValidCertsCache::SetClock(std::function<double()> clock) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  clock_ = clock ? std::move(clock) : std::function<double()>(CurrentLocalDate);
}

bool ValidCertsCache::Contains(const CRYPT_INTEGER_BLOB& key) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const double now = clock_();
  const std::vector<BYTE> wanted = KeyBytes(key);
  bool found = false;
  for (auto it = entries_.begin(); it != entries_.end();) {
    // Age rounded to the nearest second, then counted in whole minutes.
    const long long seconds = std::llround((now - it->time) * 86400.0);
    if (seconds / 60 > kLifetimeMinutes) {
      it = entries_.erase(it);
      continue;
    }
    if (it->key == wanted) found = true;
    ++it;
  }
  return found;
}

void ValidCertsCache::Add(const CRYPT_INTEGER_BLOB& key) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const double now = clock_();
  std::vector<BYTE> bytes = KeyBytes(key);
  for (Entry& e : entries_) {
    if (e.key == bytes) {
      e.time = now;
      return;
    }
  }
  entries_.push_back(Entry{std::move(bytes), now});
}

void ValidCertsCache::Clear() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  entries_.clear();
}
