// The incremental reader under every split: data messages whose content is a primitive
// OCTET STRING or constructed ones nested with definite and indefinite lengths give the
// same content, whole and streamed, whatever the update boundaries.
#include <gtest/gtest.h>

#include "der/der.h"
#include "test_msg_util.h"

using namespace msg_test;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

Bytes Tlv(uint8_t tag, const Bytes& content) {
  Bytes out;
  der::Put(out, tag, content);
  return out;
}
Bytes Indef(uint8_t tag, const Bytes& content) {
  Bytes out = {tag, 0x80};
  out.insert(out.end(), content.begin(), content.end());
  out.insert(out.end(), {0, 0});
  return out;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
const Bytes kDataOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
Bytes Octets(const std::string& s) { return Tlv(0x04, Bytes(s.begin(), s.end())); }

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
      {"primitive, definite", Tlv(0x30, Cat({kDataOid, Tlv(0xA0, Octets("hello"))})), "hello"},
      {"empty content", Tlv(0x30, Cat({kDataOid, Tlv(0xA0, Octets(""))})), ""},
      {"constructed, definite, nested",
       Tlv(0x30, Cat({kDataOid, Tlv(0xA0, Tlv(0x24, Cat({Octets("ab"), Tlv(0x24, Cat({Octets("cd"),
                                                                                       Octets("")})),
                                                          Octets("e")})))})),
       "abcde"},
      {"constructed, indefinite, nested",
       Indef(0x30, Cat({kDataOid, Indef(0xA0, Indef(0x24, Cat({Octets("12"),
                                                               Indef(0x24, Octets("345")),
                                                               Octets("6")})))})),
       "123456"},
      {"long-form lengths",
       Indef(0x30, Cat({kDataOid, Indef(0xA0, Indef(0x24, Tlv(0x04, long_part)))})),
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

TEST_F(MessageStreamParser, StructuralFaultsAreReportedAsAsn1Errors) {
  struct Case {
    const char* name;
    Bytes message;
    DWORD error;
  } cases[] = {
      {"piece of another type inside a constructed OCTET STRING",
       Indef(0x30, Cat({kDataOid, Indef(0xA0, Indef(0x24, Tlv(0x02, {1})))})),
       DWORD(CRYPT_E_ASN1_BADTAG)},
      {"piece longer than its constructed parent",
       Tlv(0x30, Cat({kDataOid, Tlv(0xA0, Cat({Bytes{0x24, 0x03}, Octets("abc")}))})),
       DWORD(CRYPT_E_ASN1_CORRUPT)},
      {"ContentInfo not a SEQUENCE", Tlv(0x31, kDataOid), DWORD(CRYPT_E_ASN1_BADTAG)},
      {"element after the content", Tlv(0x30, Cat({kDataOid, Tlv(0xA0, Cat({Octets("a"), Octets("b")}))})),
       DWORD(CRYPT_E_ASN1_CORRUPT)},
      {"end-of-contents missing", Bytes{0x30, 0x80, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                                        0x01, 0x07, 0x01, 0xA0, 0x03, 0x04, 0x01, 0x61, 0x00, 0x01},
       DWORD(CRYPT_E_ASN1_CORRUPT)},
      {"length with nine octets", Bytes{0x30, 0x89, 1, 1, 1, 1, 1, 1, 1, 1, 1},
       DWORD(CRYPT_E_ASN1_LARGE)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Msg m(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    EXPECT_FALSE(CryptMsgUpdate(m.h, c.message.data(), DWORD(c.message.size()), TRUE));
    EXPECT_EQ(GetLastError(), c.error);
  }
}

}  // namespace
