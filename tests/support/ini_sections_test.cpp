// CINISectionStore: case-insensitive names and keys, sorted arrays, replace semantics.
#include "support/ini_sections.h"

#include <gtest/gtest.h>
#include <strings.h>

#include <map>
#include <random>
#include <set>

namespace {

TEST(INISectionStore, NamesAndKeysIgnoreCase) {
  CINISectionStore store;
  ASSERT_TRUE(store.SetInt("CRL", "http://Example.ru/A.crl", 1, 1));
  EXPECT_EQ(store.GetInt("crl", "HTTP://EXAMPLE.RU/a.CRL", 0), 1);
  // Cyrillic letters of Windows-1251 fold as well: "Раздел" / "РАЗДЕЛ", "ёж" / "ЁЖ".
  ASSERT_TRUE(store.SetInt("\xD0\xE0\xE7\xE4\xE5\xEB", "\xB8\xE6", 5, 1));
  EXPECT_EQ(store.GetInt("\xD0\xC0\xC7\xC4\xC5\xCB", "\xA8\xC6", 0), 5);
  EXPECT_EQ(store.SectionCount(), 2u);
}

TEST(INISectionStore, ReplaceFlag) {
  struct Row {
    const char* label;
    bool section_exists;
    bool record_exists;
    int replace;
    bool result;
    int value_after;
  } rows[] = {
      {"existing record, replace 0", true, true, 0, false, 1},
      {"existing record, replace 1", true, true, 1, true, 2},
      {"new record in existing section, replace 0", true, false, 0, true, 2},
      {"new section, replace 0", false, false, 0, true, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    CINISectionStore store;
    if (row.section_exists) store.SetInt("S", "other", 9, 1);
    if (row.record_exists) store.SetInt("S", "key", 1, 1);
    EXPECT_EQ(store.SetInt("s", "KEY", 2, row.replace), row.result);
    EXPECT_EQ(store.GetInt("S", "key", -1), row.value_after);
    EXPECT_EQ(store.sections()[0]->records.size(), row.section_exists ? 2u : 1u);
  }
}

TEST(INISectionStore, DefaultsAndNumberParsing) {
  CINISectionStore store;
  EXPECT_EQ(store.GetInt("CRL", "x", 0), 0);
  EXPECT_EQ(store.GetInt("CRL", "x", -17), -17);
  EXPECT_EQ(store.GetString("CRL", "x", "dflt"), "dflt");
  struct Row {
    std::string value;
    int number;
  } rows[] = {{"42", 42}, {"42abc", 42}, {"abc", 0}, {"-7", -7}, {" 3", 3}, {"", 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value);
    store.SetString("S", "k", row.value, 1);
    EXPECT_EQ(store.GetInt("S", "k", 99), row.number);
    EXPECT_EQ(store.GetString("S", "K", "dflt"), row.value);
  }
  store.SetInt("S", "n", -2147483647 - 1, 1);
  EXPECT_EQ(store.GetString("S", "n", ""), "-2147483648");
  store.Clear();
  EXPECT_EQ(store.SectionCount(), 0u);
  EXPECT_EQ(store.GetInt("S", "n", 5), 5);
}

// Random names in random case: the arrays must stay sorted (strcasecmp is the oracle for
// ASCII), hold one entry per case-folded name, and the last value set under each name wins.
TEST(INISectionStore, ArraysStaySortedAndUnique) {
  std::mt19937 rng(42);
  CINISectionStore store;
  auto fold = [](std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(c));
    return s;
  };
  auto random_name = [&](size_t longest, int letters) {
    std::string name(1 + rng() % longest, 'a');
    for (char& c : name) c = static_cast<char>((rng() % 2 ? 'a' : 'A') + rng() % letters);
    return name;
  };
  std::map<std::pair<std::string, std::string>, int> last;  // by the folded names
  std::vector<std::pair<std::string, std::string>> inserted;
  std::set<std::string> folded_sections;
  for (int i = 0; i < 600; ++i) {
    const std::string section = random_name(2, 4), key = random_name(3, 5);
    store.SetInt(section, key, i, 1);
    inserted.emplace_back(section, key);
    last[{fold(section), fold(key)}] = i;
    folded_sections.insert(fold(section));
  }
  const CINISectionsArray& sections = store.sections();
  ASSERT_EQ(sections.size(), folded_sections.size());
  for (size_t i = 0; i < sections.size(); ++i) {
    EXPECT_TRUE(i == 0 || strcasecmp(sections[i - 1]->name.c_str(), sections[i]->name.c_str()) < 0) << i;
    const CINIRecordsArray& records = sections[i]->records;
    for (size_t j = 1; j < records.size(); ++j) EXPECT_LT(strcasecmp(records[j - 1]->key.c_str(), records[j]->key.c_str()), 0);
  }
  for (const auto& [section, key] : inserted) EXPECT_EQ(store.GetInt(section, key, -1), (last[{fold(section), fold(key)}]));
}

}  // namespace
