// CINISectionStore: an in-memory store of named sections of named text records, shaped like an
// INI file. Sections and records are kept sorted by name, ignoring letter case, and found by
// binary search. Never read from or written to a file.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

// Orders two names ignoring letter case (ASCII and the Cyrillic letters of Windows-1251):
// negative, zero or positive like strcmp.
int CompareNoCase(const std::string& a, const std::string& b);

struct CINIRecord {
  std::string key;
  std::string value;
  std::list<std::string> comments;
};

// Owned records, sorted by key (ignoring case), no two keys equal.
class CINIRecordsArray : public std::vector<std::unique_ptr<CINIRecord>> {
 public:
  // Binary search for key. True with its index when present; otherwise false with the index
  // at which it would be inserted.
  bool Find(const std::string& key, size_t& index) const;
};

struct CINISection {
  std::string name;
  CINIRecordsArray records;
  std::list<std::string> comments;
};

// Owned sections, sorted by name (ignoring case), no two names equal.
class CINISectionsArray : public std::vector<std::unique_ptr<CINISection>> {
 public:
  // Binary search for name, as CINIRecordsArray::Find.
  bool Find(const std::string& name, size_t& index) const;
};

class CINISectionStore {
 public:
  CINISectionStore() = default;
  ~CINISectionStore() { Clear(); }

  CINISectionStore(const CINISectionStore&) = delete;
  CINISectionStore& operator=(const CINISectionStore&) = delete;

  // The record's value read as a leading decimal integer (0 when it does not start with one);
  // def when the section or the record is missing.
  int GetInt(const std::string& section, const std::string& key, int def) const;
  // The record's value; def when the section or the record is missing.
  std::string GetString(const std::string& section, const std::string& key,
                        const std::string& def) const;
  // Stores value printed "%d", creating the section and the record as needed. An existing
  // record of a section that existed before the call is left alone when replace is 0, and the
  // result is then false; otherwise the value is written and the result is true.
  bool SetInt(const std::string& section, const std::string& key, int value, int replace);
  // The same for a text value.
  bool SetString(const std::string& section, const std::string& key, const std::string& value,
                 int replace);
  // Deletes every section with its records.
  void Clear();

  size_t SectionCount() const { return sections_.size(); }
  const CINISectionsArray& sections() const { return sections_; }

 private:
  // The record, or null when the section or the record is missing.
  const CINIRecord* FindRecord(const std::string& section, const std::string& key) const;

  CINISectionsArray sections_;
};
