// Settings: the Vexor.ini lookup rules, UsingCustomOptions, and the app.info family rule.
#include <string>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "frame/settings.h"
#include "frame/settings_file.h"

using test_common::TempDir;

namespace {

OptionBlock Read(const TempDir& dir, bool* family = nullptr) {
  OptionBlock o;
  bool f = false;
  ReadSettings(dir.path(), o, f);
  if (family != nullptr) *family = f;
  return o;
}

}  // namespace

TEST(Settings, UsingCustomOptionsDecidesWhetherOtherKeysCount) {
  struct Row {
    const char* value;  // nullptr: key absent
    bool on;
  } rows[] = {{"1", true}, {"2", true}, {"0", false}, {"true", false}, {"yes", false},
              {"FALSE", false}, {"", false}, {nullptr, false}, {" 1 ", true}, {"7abc", true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value ? row.value : "(absent)");
    TempDir dir;
    std::string ini = "[Settings]\nSkipCheckCRL=1\n";
    if (row.value) ini += std::string("UsingCustomOptions=") + row.value + "\n";
    dir.Write("Vexor.ini", ini);
    const OptionBlock o = Read(dir);
    EXPECT_EQ(o.UsingCustomOptions != 0, row.on);
    EXPECT_EQ(o.SkipCheckCRL, row.on ? 1 : 0);
  }
}

TEST(Settings, KeyLookupRules) {
  struct Row {
    const char* label;
    const char* lines;
    int32_t OptionBlock::*word;
    int32_t expected;
  } rows[] = {
      {"blank before equals sign is not the key", "SkipCheckCRL = 1\n", &OptionBlock::SkipCheckCRL, 0},
      {"lower-case key is found", "skipcheckcrl=1\n", &OptionBlock::SkipCheckCRL, 1},
      {"comment after value", "LogExtended=1 ; comment\n", &OptionBlock::LogExtended, 1},
      {"first of two occurrences", "OffLogFile=1\nOffLogFile=0\n", &OptionBlock::OffLogFile, 1},
      {"non-numeric value gives 0", "UseSST=abc\n", &OptionBlock::UseSST, 0},
      {"empty value keeps default", "UseSST=\n", &OptionBlock::UseSST, 1},
      {"blank after equals sign", "SkipCheckTimeRemains= 5\n", &OptionBlock::SkipCheckTimeRemains, 5},
      {"key of another section", "[Other]\nSkipCheckCertValid=1\n", &OptionBlock::SkipCheckCertValid, 0},
      {"tabs and CR are blanks", "\tShowUICSP=0\r\n", &OptionBlock::ShowUICSP, 0},
      {"prefix of a longer key does not match", "SkipUpdateCRLInInit=0\n", &OptionBlock::SkipUpdateCRL, 1},
      {"raise flag is never read", "RaiseErrors=0\n", &OptionBlock::RaiseErrors, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    TempDir dir;
    dir.Write("Vexor.ini", std::string("[Settings]\nUsingCustomOptions=1\n") + row.lines);
    EXPECT_EQ(Read(dir).*row.word, row.expected);
  }
}

TEST(Settings, FamilyRuleInAnyLetterCase) {
  for (const char* name : {"Moravel", "MORAVEL client", "the moravel suite"}) {
    SCOPED_TRACE(name);
    TempDir dir;
    dir.Write("app.info", std::string("[Application]\nName=") + name + "\n");
    bool family = false;
    const OptionBlock o = Read(dir, &family);
    EXPECT_TRUE(family);
    EXPECT_EQ(o.SkipUpdateCRL, 0);
    EXPECT_EQ(o.SkipCheckCRL, 0);
    EXPECT_EQ(o.NoErrorCheckChain, 1);
  }
  TempDir other;
  other.Write("app.info", "[Application]\nName=Morave\n");
  bool family = true;
  Read(other, &family);
  EXPECT_FALSE(family);
}

TEST(SettingsFile, LoadModes) {
  TempDir dir;
  CSettingsFile file;
  EXPECT_FALSE(file.Load(dir.path().string() + "/absent.ini", 1));
  EXPECT_TRUE(file.Load(dir.path().string() + "/absent.ini", CSettingsFile::kMissingIsEmpty));
  EXPECT_EQ(file.GetValue("Settings", "Key"), "");

  dir.Write("s.ini", "[Settings]\nKey=Value\n");
  ASSERT_TRUE(file.Load(dir.path().string() + "/s.ini", CSettingsFile::kCaseSensitive));
  EXPECT_EQ(file.GetValue("Settings", "Key"), "Value");
  EXPECT_EQ(file.GetValue("Settings", "key"), "");
  EXPECT_EQ(file.GetValue("Settings", "key", "fb"), "fb");
}
