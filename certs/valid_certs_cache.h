// Certificates found valid in the last few minutes, keyed by the bytes of their serial
// number, so repeated checks of one certificate skip the chain and revocation work.
#pragma once

#include <functional>
#include <list>
#include <mutex>
#include <vector>

#include "vexor/platform.h"

class ValidCertsCache {
 public:
  // How long an entry lives, in whole minutes of age.
  static constexpr long kLifetimeMinutes = 5;

  ValidCertsCache();

  // True when an entry with these bytes is at most five minutes old. Older entries are
  // dropped on the way.
  bool Contains(const CRYPT_INTEGER_BLOB& key);
  // Stores the key now, or refreshes the time of an existing entry.
  void Add(const CRYPT_INTEGER_BLOB& key);
  void Clear();

  // The clock as a local date value (days since 1899-12-30); tests move it.
  void SetClock(std::function<double()> clock);

 private:
  struct Entry {
    std::vector<BYTE> key;
    double time;
  };
  std::recursive_mutex lock_;
  std::list<Entry> entries_;
  std::function<double()> clock_;
};

// The current local time as a date value.
double CurrentLocalDate();
