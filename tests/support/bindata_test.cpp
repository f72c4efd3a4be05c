// CBinData and CBase64 where a fault would hide: hex against printf, the lenient Base64
// decoder against POCO's encoder, bounded search (under ASan) and whole-file loading across
// block boundaries. Hex, Base64 and PEM markers are also fuzzed.
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

}  // namespace
