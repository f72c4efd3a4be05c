// The incremental reader under every split: data messages whose content is a primitive
// OCTET STRING or constructed ones nested with definite and indefinite lengths give the
// same content, whole and streamed, whatever the update boundaries; malformed and hostile
// structures fail either way.
#include <gtest/gtest.h>

#include "common/der_build.h"
#include "test_msg_util.h"

using namespace msg_test;

namespace {


using test_common::Cat;
using test_common::Der;
Bytes Indef(uint8_t tag, const Bytes& content) {
  Bytes out = {tag, 0x80};
  out.insert(out.end(), content.begin(), content.end());
  out.insert(out.end(), {0, 0});
  return out;
}
const Bytes kDataOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
Bytes Octets(const std::string& s) { return Der(0x04, Bytes(s.begin(), s.end())); }

class MessageStreamParser : public ::testing::Test {
 protected:
  test_pki::ScopedHome home_;
};

TEST_F(MessageStreamParser, ContentIsTheSameUnderEveryEncodingAndSplit) {
  const Bytes long_part(300, 'x');
  struct Case {
    const char* name;
    Bytes message;
    std::string content;
  } cases[] = {
      {"primitive, definite", Der(0x30, Cat({kDataOid, Der(0xA0, Octets("hello"))})), "hello"},
      {"empty content", Der(0x30, Cat({kDataOid, Der(0xA0, Octets(""))})), ""},
      {"constructed, definite, nested",
       Der(0x30, Cat({kDataOid, Der(0xA0, Der(0x24, Cat({Octets("ab"), Der(0x24, Cat({Octets("cd"),
                                                                                       Octets("")})),
                                                          Octets("e")})))})),
       "abcde"},
      {"constructed, indefinite, nested",
       Indef(0x30, Cat({kDataOid, Indef(0xA0, Indef(0x24, Cat({Octets("12"),
                                                               Indef(0x24, Octets("345")),
                                                               Octets("6")})))})),
       "123456"},
      {"long-form lengths",
       Indef(0x30, Cat({kDataOid, Indef(0xA0, Indef(0x24, Der(0x04, long_part)))})),
       std::string(300, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t piece = 1; piece <= c.message.size(); piece += (piece < 20 ? 1 : 37)) {
      SCOPED_TRACE(piece);
      Collected got;
      CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, CollectOutput, &got};
      Msg streamed(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, &stream));
      ASSERT_TRUE(FeedInPieces(streamed.h, c.message, {piece})) << std::hex << GetLastError();
      EXPECT_EQ(std::string(got.data.begin(), got.data.end()), c.content);
      EXPECT_EQ(got.finals, 1);
      EXPECT_EQ(GetDword(streamed.h, CMSG_TYPE_PARAM), DWORD(CMSG_DATA));

      Msg kept(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
      ASSERT_TRUE(FeedInPieces(kept.h, c.message, {piece}));
      Bytes content;
      ASSERT_TRUE(GetBytes(kept.h, CMSG_CONTENT_PARAM, 0, content));
      EXPECT_EQ(std::string(content.begin(), content.end()), c.content);
    }
  }
}

// Structural faults and hostile nesting fail the update, whole and streamed in small pieces;
// a whole decode names the ASN.1 error where there is one. The failed message stays usable
// for queries and refuses further data. Truncations and random bytes are the fuzz target's.
TEST_F(MessageStreamParser, StructuralFaultsFailWholeAndStreamed) {
  Bytes deep;
  for (int i = 0; i < 100000; ++i) deep.insert(deep.end(), {0x30, 0x80});
  Bytes deep_octets = Cat({Bytes{0x30, 0x80}, kDataOid, Bytes{0xA0, 0x80}});
  for (int i = 0; i < 5000; ++i) deep_octets.insert(deep_octets.end(), {0x24, 0x80});
  const Bytes signed_oid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
  const Bytes unknown_oid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x06};
  struct Case {
    const char* name;
    Bytes message;
    DWORD error;  // of a whole decode; 0: any
  } cases[] = {
      {"piece of another type inside a constructed OCTET STRING",
       Indef(0x30, Cat({kDataOid, Indef(0xA0, Indef(0x24, Der(0x02, {1})))})),
       DWORD(CRYPT_E_ASN1_BADTAG)},
      {"piece longer than its constructed parent",
       Der(0x30, Cat({kDataOid, Der(0xA0, Cat({Bytes{0x24, 0x03}, Octets("abc")}))})),
       DWORD(CRYPT_E_ASN1_CORRUPT)},
      {"ContentInfo not a SEQUENCE", Der(0x31, kDataOid), DWORD(CRYPT_E_ASN1_BADTAG)},
      {"element after the content", Der(0x30, Cat({kDataOid, Der(0xA0, Cat({Octets("a"), Octets("b")}))})),
       DWORD(CRYPT_E_ASN1_CORRUPT)},
      {"end-of-contents missing", Bytes{0x30, 0x80, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                                        0x01, 0x07, 0x01, 0xA0, 0x03, 0x04, 0x01, 0x61, 0x00, 0x01},
       DWORD(CRYPT_E_ASN1_CORRUPT)},
      {"length with nine octets", Bytes{0x30, 0x89, 1, 1, 1, 1, 1, 1, 1, 1, 1}, DWORD(CRYPT_E_ASN1_LARGE)},
      {"length beyond any message", Bytes{0x30, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0},
      {"100000 nested indefinite SEQUENCEs", deep, 0},
      {"5000 nested constructed OCTET STRINGs", deep_octets, 0},
      {"child longer than its parent", Cat({Bytes{0x30, 0x0D}, signed_oid, Bytes{0xA0, 0x7F, 0x30}}), 0},
      {"unsupported content type", Cat({Bytes{0x30, 0x0D}, unknown_oid, Bytes{0xA0, 0x00}}), 0},
      {"primitive element with indefinite length", Bytes{0x30, 0x80, 0x06, 0x80}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool streamed : {false, true}) {
      Collected sink;
      CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, CollectOutput, &sink};
      Msg m(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, streamed ? &stream : nullptr));
      SetLastError(0);
      EXPECT_FALSE(FeedInPieces(m.h, c.message, {streamed ? size_t(5) : c.message.size()}));
      const DWORD error = GetLastError();
      EXPECT_NE(error, 0u);
      if (c.error != 0 && !streamed) {
        EXPECT_EQ(error, c.error);
      }
      DWORD n = 0;
      CryptMsgGetParam(m.h, CMSG_SIGNER_COUNT_PARAM, 0, nullptr, &n);
      EXPECT_FALSE(CryptMsgUpdate(m.h, c.message.data(), 1, TRUE));
    }
  }
}

}  // namespace
