// The store set of one call: the personal and trusted-root system stores, the library's
// store file and the host's store, opened on demand and closed with the call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "stores/sst_accessor.h"
#include "stores/store_map.h"
#include "vexor/platform.h"

class CallContext;

// Encoding and flags the store set opens the store file with.
constexpr DWORD kStoreEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kStoreFileOpenFlags = CERT_STORE_CREATE_NEW_FLAG | CERT_STORE_OPEN_EXISTING_FLAG;

class StoreSet {
 public:
  // The call whose services (callback, store location, failure reports) the set uses and
  // the guard of the store file (null: the call has none); both outlive the set.
  StoreSet(CallContext& call, SSTAccessor* storeFile) : call_(call), file_(storeFile) {}
  ~StoreSet() { CloseAll(); }
  StoreSet(const StoreSet&) = delete;
  StoreSet& operator=(const StoreSet&) = delete;

  // Opens every store of the mask not yet open, in the order CST_SST, CST_MY, CST_ROOT,
  // CST_HOST (CST_EXTERNAL has no handle). Returns 0, or reports the first failure through
  // the call (15) - which raises while the raise flag is on. An unopenable store file is
  // skipped silently when the object has a host callback.
  int32_t Open(unsigned long mask);

  // Opens the store file for a change: takes its lock for the rest of the call (or until
  // CST_SST is closed) and reads the file afresh under it, so that the save that ends the
  // change cannot overwrite what another thread or process saved meanwhile. Returns 0, or
  // reports failure as Open does (15) when the lock or the file cannot be had.
  int32_t OpenFileForChange();

  // The handle of one store, opened now if needed; null when it cannot be opened (the
  // failure has been logged) or when the store has no handle. Never raises.
  HCERTSTORE Get(unsigned long id);

  // Releases the stores of the mask: the host's store goes back to the host's callback,
  // the others are closed. The mask 31 empties the set.
  void Close(unsigned long mask);
  // Close(CST_ALL) that never throws, whatever the host's callback does.
  void CloseAll() noexcept;

  // Writes the store file from the given store, or from the set's CST_SST store when it is
  // null. 0 on success; 36, reported through the call, when there is no store or the save
  // fails.
  int32_t SaveFile(HCERTSTORE store);

  // Changes the store file as it is on disk now, for a change prepared on an image read
  // earlier in the call without the lock (a download that must not hold the file meanwhile):
  // reads the file afresh under its lock, lets `change` add to that image and saves it before
  // the lock goes, so what another process saved since is kept. 0, or 36 as SaveFile reports.
  int32_t ChangeFileAsItIsNow(const std::function<void(HCERTSTORE)>& change);

  // Takes an already open handle for a store of the set not opened yet (a store the operation
  // object keeps between calls); it is closed with the set.
  void Adopt(unsigned long id, HCERTSTORE store) { handles_.Set(id, store); }

  bool Has(unsigned long id) const { return handles_.Has(id); }
  size_t size() const { return handles_.size(); }

 private:
  int32_t ReportSaveFailure();

  CallContext& call_;
  SSTAccessor* const file_;
  std::unique_ptr<SSTAccessor::ChangeLock> change_;  // held from the read to the save
  map_id_hcertstore handles_;
};
