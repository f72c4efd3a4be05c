// The shared DER codec: every valid encoding reads back what the writer wrote, and every
// malformed one fails with its own reason, without reading past the span.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/hex.h"
#include "der/der.h"

namespace {

using test_common::Hex;
using test_common::Unhex;
using Bytes = std::vector<uint8_t>;

TEST(DerReader, ElementsValidAndInvalid) {
  struct Row {
    const char* label;
    const char* hex;
    der::Error error;  // kOk: the element reads and is all of the input
    size_t length;     // of the contents, when valid
  };
  const Row rows[] = {
      {"empty sequence", "3000", der::kOk, 0},
      {"short form, contents missing", "04 7F", der::kEndOfData, 0},
      {"long form, contents missing", "04 81 80", der::kEndOfData, 0},
      {"indefinite length", "30 80 0000", der::kCorrupt, 0},
      {"long form where short was due", "04 81 05 0102030405", der::kCorrupt, 0},
      {"leading zero length octet", "04 82 0080", der::kCorrupt, 0},
      {"five length octets", "04 85 0100000000", der::kTooLarge, 0},
      {"high tag number", "1F 01 00", der::kBadTag, 0},
      {"no length octet", "04", der::kEndOfData, 0},
      {"length octets cut", "04 82 01", der::kEndOfData, 0},
      {"contents cut", "04 03 4142", der::kEndOfData, 0},
      {"nothing", "", der::kEndOfData, 0},
      {"integer", "02 01 00", der::kOk, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const Bytes in = Unhex(row.hex);
    der::Reader r(in.data(), in.size());
    der::Tlv t;
    const bool ok = r.Next(t);
    EXPECT_EQ(ok, row.error == der::kOk);
    EXPECT_EQ(r.error(), row.error);
    if (ok) {
      EXPECT_EQ(t.length, row.length);
      EXPECT_EQ(t.size, in.size());
      EXPECT_TRUE(r.ExpectEnd());
    }
  }
}

TEST(DerReader, LongLengthsRoundTripThroughTheWriter) {
  for (size_t len : {size_t(0), size_t(127), size_t(128), size_t(255), size_t(256), size_t(65536), size_t(1) << 24}) {
    SCOPED_TRACE(len);
    Bytes content(len, 0xAB);
    Bytes out;
    der::Put(out, der::kOctetString, content);
    ASSERT_EQ(out.size(), der::HeaderSize(len) + len);
    der::Reader r(out.data(), out.size());
    der::Tlv t;
    ASSERT_TRUE(r.Expect(der::kOctetString, t));
    EXPECT_EQ(t.length, len);
    EXPECT_TRUE(r.ExpectEnd());
  }
  Bytes header;
  der::PutHeader(header, der::kSequence, 300);
  EXPECT_EQ(Hex(header), "3082012C");
}

TEST(DerReader, ErrorsAreStickyAndNestedReadersStayInside) {
  // SEQUENCE { INTEGER 5, OCTET STRING "AB" } followed by a stray byte.
  const Bytes in = Unhex("3007 020105 04024142 FF");
  der::Reader r(in.data(), in.size());
  der::Reader seq;
  ASSERT_TRUE(r.Enter(der::kSequence, seq));
  der::Tlv t;
  EXPECT_FALSE(seq.Expect(der::kOctetString, t));  // an INTEGER comes first
  EXPECT_EQ(seq.error(), der::kBadTag);
  EXPECT_FALSE(seq.Next(t));  // still failed
  EXPECT_FALSE(r.ExpectEnd());
  EXPECT_EQ(r.error(), der::kCorrupt);

  bool present = true;
  der::Reader opt(in.data() + 2, 3);
  EXPECT_TRUE(opt.Optional(der::kOctetString, t, present));
  EXPECT_FALSE(present);
  EXPECT_TRUE(opt.Optional(der::kInteger, t, present));
  EXPECT_TRUE(present);
}

TEST(DerOid, TextAndContents) {
  struct Row {
    const char* text;
    const char* contents;
  };
  const Row rows[] = {
      {"1.2.840.113549.1.7.3", "2A864886F70D010703"},
      {"1.2.643.2.2.19", "2A850302021 3"},
      {"2.999.3", "883703"},
      {"0.0", "00"},
      {"2.5.29.31", "551D1F"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    Bytes body;
    ASSERT_TRUE(der::OidFromText(row.text, body));
    EXPECT_EQ(Hex(body), Hex(Unhex(row.contents)));
    std::string back;
    ASSERT_TRUE(der::OidToText(body.data(), body.size(), back));
    EXPECT_EQ(back, row.text);
  }
  for (const char* bad : {"", "1", "1.", ".1", "1..2", "3.1", "1.40", "1.2x", "99999999999999999999.1"}) {
    SCOPED_TRACE(bad);
    Bytes body;
    EXPECT_FALSE(der::OidFromText(bad, body));
  }
  for (const char* bad : {"", "2A86", "2A8048", "2AFFFFFFFFFFFFFFFFFF7F"}) {
    SCOPED_TRACE(bad);
    const Bytes body = Unhex(bad);
    std::string text;
    EXPECT_FALSE(der::OidToText(body.data(), body.size(), text));
  }
}

}  // namespace
