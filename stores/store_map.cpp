#include "stores/store_map.h"

HCERTSTORE map_id_hcertstore::Get(unsigned long id) const {
  const auto it = stores_.find(id);
  return it != stores_.end() ? it->second.handle : nullptr;
}

void map_id_hcertstore::Put(unsigned long id, HCERTSTORE store, bool owned) {
  auto [it, inserted] = stores_.try_emplace(id, Entry{store, owned});
  if (!inserted) {
    if (it->second.handle != store) CloseEntry(it->second);
    it->second = Entry{store, owned};
  }
}

void map_id_hcertstore::Set(unsigned long id, HCERTSTORE store) { Put(id, store, true); }

void map_id_hcertstore::SetBorrowed(unsigned long id, HCERTSTORE store) { Put(id, store, false); }

HCERTSTORE map_id_hcertstore::Take(unsigned long id) {
  const auto it = stores_.find(id);
  if (it == stores_.end()) return nullptr;
  HCERTSTORE store = it->second.handle;
  stores_.erase(it);
  return store;
}

void map_id_hcertstore::Close(unsigned long id) {
  const auto it = stores_.find(id);
  if (it == stores_.end()) return;
  CloseEntry(it->second);
  stores_.erase(it);
}

void map_id_hcertstore::CloseMasked(unsigned long mask) {
  for (auto it = stores_.begin(); it != stores_.end();) {
    if ((it->first & mask) == it->first) {
      CloseEntry(it->second);
      it = stores_.erase(it);
    } else {
      ++it;
    }
  }
}

void map_id_hcertstore::CloseAll() {
  for (auto& entry : stores_) CloseEntry(entry.second);
  stores_.clear();
}

void map_id_hcertstore::CloseEntry(const Entry& entry) const {
  if (entry.owned && entry.handle != nullptr)
    CertCloseStore(entry.handle, forceClose ? CERT_CLOSE_STORE_FORCE_FLAG : 0);
}
