// CINISectionStore and its sorted arrays.
#include "support/ini_sections.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

// Folds one Windows-1251 byte to lower case: ASCII letters, А-Я (0xC0-0xDF) and Ё (0xA8).
unsigned char FoldCase(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
  if (c >= 0xC0 && c <= 0xDF) return static_cast<unsigned char>(c + 32);
  if (c == 0xA8) return 0xB8;
  return c;
}

// The binary search both arrays share: low..high over the sorted names; on a miss low is
// the insertion index.
template <class Array, class NameOf>
bool BinarySearch(const Array& items, const std::string& wanted, NameOf name_of, size_t& index) {
  ptrdiff_t low = 0;
  ptrdiff_t high = static_cast<ptrdiff_t>(items.size()) - 1;
  while (low <= high) {
    const ptrdiff_t middle = (low + high) / 2;
    const int order = CompareNoCase(wanted, name_of(*items[static_cast<size_t>(middle)]));
    if (order == 0) {
      index = static_cast<size_t>(middle);
      return true;
    }
    if (order < 0) {
      high = middle - 1;
    } else {
      low = middle + 1;
    }
  }
  index = static_cast<size_t>(low);
  return false;
}

int LeadingInt(const std::string& text) {
  errno = 0;
  const long v = std::strtol(text.c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace

int CompareNoCase(const std::string& a, const std::string& b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const int ca = FoldCase(static_cast<unsigned char>(a[i]));
    const int cb = FoldCase(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool CINIRecordsArray::Find(const std::string& key, size_t& index) const {
  return BinarySearch(*this, key, [](const CINIRecord& r) -> const std::string& { return r.key; },
                      index);
}

bool CINISectionsArray::Find(const std::string& name, size_t& index) const {
  return BinarySearch(*this, name,
                      [](const CINISection& s) -> const std::string& { return s.name; }, index);
}

const CINIRecord* CINISectionStore::FindRecord(const std::string& section,
                                               const std::string& key) const {
  size_t s = 0;
  if (!sections_.Find(section, s)) return nullptr;
  const CINIRecordsArray& records = sections_[s]->records;
  size_t r = 0;
  if (!records.Find(key, r)) return nullptr;
  return records[r].get();
}

int CINISectionStore::GetInt(const std::string& section, const std::string& key, int def) const {
  const CINIRecord* record = FindRecord(section, key);
  return record != nullptr ? LeadingInt(record->value) : def;
}

std::string CINISectionStore::GetString(const std::string& section, const std::string& key,
                                        const std::string& def) const {
  const CINIRecord* record = FindRecord(section, key);
  return record != nullptr ? record->value : def;
}

bool CINISectionStore::SetInt(const std::string& section, const std::string& key, int value,
                              int replace) {
  return SetString(section, key, std::to_string(value), replace);
}

bool CINISectionStore::SetString(const std::string& section, const std::string& key,
                                 const std::string& value, int replace) {
  size_t s = 0;
  const bool section_existed = sections_.Find(section, s);
  if (!section_existed) {
    auto created = std::make_unique<CINISection>();
    created->name = section;
    sections_.insert(sections_.begin() + static_cast<ptrdiff_t>(s), std::move(created));
  }
  CINIRecordsArray& records = sections_[s]->records;
  size_t r = 0;
  if (!records.Find(key, r)) {
    auto created = std::make_unique<CINIRecord>();
    created->key = key;
    created->value = value;
    records.insert(records.begin() + static_cast<ptrdiff_t>(r), std::move(created));
    return true;
  }
  if (section_existed && replace == 0) return false;
  records[r]->value = value;
  return true;
}

void CINISectionStore::Clear() { sections_.clear(); }
