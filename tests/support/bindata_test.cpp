// CBinData and CBase64 where a fault would hide: hex against printf, the lenient Base64
// decoder against POCO's encoder, bounded search (under ASan), self-append and whole-file
// loading across block boundaries. Hex, Base64 and PEM markers are also fuzzed.
#include "support/bindata.h"

#include <gtest/gtest.h>

#include <Poco/Base64Encoder.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <vector>

#include "support/test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const CBinData& b) { return Bytes(b.data(), b.data() + b.size()); }

CBinData FromText(const std::string& s) {
  return CBinData(s.data(), static_cast<uint32_t>(s.size()));
}

TEST(BinDataHex, ToHexMatchesPrintfForEveryByte) {
  Bytes all(256);
  std::string expected;
  for (int i = 0; i < 256; ++i) {
    all[i] = static_cast<uint8_t>(i);
    char two[3];
    std::snprintf(two, sizeof(two), "%02x", i);
    expected += two;
  }
  CBinData b(all.data(), 256);
  EXPECT_EQ(b.ToHex(), expected);
  CBinData back;
  ASSERT_TRUE(back.FromHex(expected));
  EXPECT_EQ(ToBytes(back), all);
  EXPECT_EQ(CBinData().ToHex(), "");
  EXPECT_EQ(CBinData("\xAB\x01", 2).ToHex(), "ab01");
}

TEST(Base64, DecodeTable) {
  struct Row {
    const char* label;
    std::string text;
    Bytes bytes;
  } rows[] = {
      {"plain", "QUJD", {'A', 'B', 'C'}},
      {"CR LF inside", "QU\r\nJD", {'A', 'B', 'C'}},
      {"blanks and tabs", " Q U\tJ D ", {'A', 'B', 'C'}},
      {"padding", "QQ==", {'A'}},
      // The four bits left before the padding stay in the accumulator and run on.
      {"after padding", "QQ==QUJD", {0x41, 0x04, 0x14, 0x24}},
      {"high bit ignored", "\xD1UJD", {'A', 'B', 'C'}},
      {"only noise", "=\r\n*", {}},
      {"single char", "Q", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    CBinData out;
    ASSERT_TRUE(CBase64().Decode(row.text.c_str(), out));
    EXPECT_EQ(ToBytes(out), row.bytes);
  }
}

TEST(Base64, EmptyOrNullTextFailsAndLeavesOutput) {
  CBinData out = FromText("keep");
  EXPECT_FALSE(CBase64().Decode("", out));
  EXPECT_FALSE(CBase64().Decode(nullptr, out));
  EXPECT_EQ(out.ToString(), "keep");
}

// POCO's encoder is an independent implementation; its line-wrapped output is what PEM
// bodies look like.
TEST(Base64, DecodesWhatPocoEncodes) {
  std::mt19937 rng(1234);
  for (size_t len : {1u, 2u, 3u, 4u, 57u, 58u, 1000u, 4099u}) {
    SCOPED_TRACE(len);
    Bytes data(len);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    std::ostringstream encoded;
    {
      Poco::Base64Encoder encoder(encoded);
      encoder.rdbuf()->setLineLength(64);
      encoder.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(len));
      encoder.close();
    }
    CBinData out;
    ASSERT_TRUE(CBase64().Decode(encoded.str().c_str(), out));
    EXPECT_EQ(ToBytes(out), data);
  }
}

TEST(BinDataSearch, FindStringBounds) {
  // The block is exactly as long as the contents, so a read past the end shows under ASan.
  const CBinData b = FromText("abcdef");
  struct Row {
    const char* text;
    uint32_t start;
    int32_t expected;
  } rows[] = {
      {"def", 3, 3}, {"defg", 3, -1}, {"ef", 5, -1}, {"f", 5, 5}, {"a", 6, -1},
      {"a", 100, -1}, {"", 0, -1}, {"abcdefg", 0, -1}, {"abcdef", 0, 0}, {"cd", 3, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.text) + " from " + std::to_string(row.start));
    EXPECT_EQ(b.FindString(row.text, row.start), row.expected);
  }
  EXPECT_EQ(b.FindString(nullptr, 0), -1);
  EXPECT_EQ(CBinData().FindString("a", 0), -1);
}

TEST(BinDataSearch, Between) {
  struct Row {
    const char* label;
    std::string data;
    std::string expected;
  } rows[] = {
      {"pem body", "junk-----BEGIN X-----MIIB\r\n-----END X-----tail", "MIIB\r\n"},
      {"markers adjacent", "-----BEGIN X----------END X-----", ""},
      {"no end marker", "-----BEGIN X-----MIIB", ""},
      {"no begin marker", "MIIB-----END X-----", ""},
      {"end only before begin", "-----END X----------BEGIN X-----MII", ""},
      {"first of two bodies", "-----BEGIN X-----A-----END X----------BEGIN X-----B-----END X-----",
       "A"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(FromText(row.data).Between("-----BEGIN X-----", "-----END X-----"), row.expected);
  }
}

TEST(BinData, AppendAllocAssignRules) {
  CBinData b;
  EXPECT_FALSE(b.Append(nullptr, 3));
  EXPECT_FALSE(b.Append("x", 0));  // zero bytes to an empty buffer
  EXPECT_TRUE(b.Alloc(0));
  EXPECT_EQ(b.data(), nullptr);
  ASSERT_TRUE(b.Append("ab", 2));
  EXPECT_TRUE(b.Append("x", 0));   // zero bytes to a non-empty buffer
  // Appending the buffer to itself must survive the block moving.
  ASSERT_TRUE(b.Append(b.data(), b.size()));
  ASSERT_TRUE(b.Append(b.data() + 1, 2));
  EXPECT_EQ(b.ToString(), "ababba");

  CBinData copy;
  EXPECT_TRUE(copy.Assign(b));
  EXPECT_EQ(copy.ToString(), "ababba");
  EXPECT_FALSE(copy.Assign(CBinData()));
  EXPECT_EQ(copy.size(), 0u);

  CBinData moved(std::move(b));
  EXPECT_EQ(moved.ToString(), "ababba");
  EXPECT_EQ(b.size(), 0u);  // NOLINT(bugprone-use-after-move): moved-from is empty
}

TEST(BinData, LoadFromFileBlockBoundaries) {
  support_test::TempDir dir;
  std::mt19937 rng(7);
  for (size_t len : {1u, 65535u, 65536u, 65537u, 131072u, 200000u}) {
    SCOPED_TRACE(len);
    std::string bytes(len, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    const std::string path = dir / ("f" + std::to_string(len));
    support_test::WriteFile(path, bytes);
    CBinData b;
    ASSERT_TRUE(b.LoadFromFile(path));
    ASSERT_EQ(b.size(), len);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data()), len), bytes);
  }
}

TEST(BinData, LoadFromFileFailures) {
  support_test::TempDir dir;
  support_test::WriteFile(dir / "empty", "");
  CBinData b = FromText("old");
  EXPECT_FALSE(b.LoadFromFile(dir / "empty"));
  EXPECT_EQ(b.size(), 0u);
  EXPECT_FALSE(b.LoadFromFile(dir / "missing"));
  EXPECT_FALSE(b.LoadFromFile(dir.path()));  // a directory reads as nothing
}

}  // namespace
