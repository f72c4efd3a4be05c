// What a repeated signature finds again: the personal store, kept open and brought up to date
// with its file at every use, and the signer's certificate found in it for a party. An entry
// is good only while the store still holds that very certificate context (any change of the
// store file, by this process or another, reloads the store and so drops every entry), and
// for as long as a validity verdict is kept.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "stores/auto_handle.h"
#include "vexor/platform.h"

class SignerCache {
 public:
  // The personal store of the location, up to date with its file: a handle of its own the
  // caller closes, or null when the store cannot be opened (the platform's last error says
  // why).
  HCERTSTORE PersonalStore(DWORD location);

  // The certificate kept for the key (a reference the caller releases) when `store` still
  // holds it and the entry is young enough; null otherwise.
  PCCERT_CONTEXT Find(const std::string& key, HCERTSTORE store);
  // Keeps a certificate found in the personal store for the key.
  void Keep(const std::string& key, PCCERT_CONTEXT cert);
  void Clear();

  // The clock of the entries' age; tests move it.
  using Clock = std::chrono::steady_clock;
  void SetClock(Clock::time_point (*now)()) { now_ = now; }

 private:
  struct Entry {
    auto_cert cert;
    Clock::time_point found;
  };
  std::mutex lock_;
  DWORD location_ = 0;
  auto_store store_;
  std::map<std::string, Entry> entries_;
  Clock::time_point (*now_)() = &Clock::now;
};
