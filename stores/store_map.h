// map_id_hcertstore: the stores one call has opened, keyed by store identifier. The map owns
// every handle it holds and closes it when the entry is replaced, erased or the map goes.
#pragma once

#include <map>

#include "vexor/platform.h"

class map_id_hcertstore {
 public:
  map_id_hcertstore() = default;
  ~map_id_hcertstore() { CloseAll(); }
  map_id_hcertstore(const map_id_hcertstore&) = delete;
  map_id_hcertstore& operator=(const map_id_hcertstore&) = delete;

  // The handle of the identifier, null when there is none.
  HCERTSTORE Get(unsigned long id) const;
  bool Has(unsigned long id) const { return stores_.count(id) != 0; }
  // Takes ownership of the handle; a handle the identifier already had is closed first.
  void Set(unsigned long id, HCERTSTORE store);
  // Keeps a handle somebody else owns (the host's store): the map forgets it but never
  // closes it.
  void SetBorrowed(unsigned long id, HCERTSTORE store);
  // Gives the handle of the identifier up without closing it (null when absent).
  HCERTSTORE Take(unsigned long id);
  // Closes and removes one entry.
  void Close(unsigned long id);
  // Closes every entry whose identifier lies wholly inside the mask.
  void CloseMasked(unsigned long mask);
  void CloseAll();

  bool empty() const { return stores_.empty(); }
  size_t size() const { return stores_.size(); }

  // Handles are closed with CERT_CLOSE_STORE_FORCE_FLAG while this is true (from
  // construction), else with no flags.
  bool forceClose = true;

 private:
  struct Entry {
    HCERTSTORE handle;
    bool owned;
  };
  void Put(unsigned long id, HCERTSTORE store, bool owned);
  void CloseEntry(const Entry& entry) const;

  std::map<unsigned long, Entry> stores_;
};
