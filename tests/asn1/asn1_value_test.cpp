// The library's ASN.1 value tree: known encodings, the parsing failures with their texts,
// and a certificate made by openssl read and written back byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "asn1/asn1_value.h"
#include "common/hex.h"

namespace {

using test_common::Hex;
using test_common::Unhex;
using Bytes = std::vector<uint8_t>;

std::string Encode(const CASN1Value& v) {
  std::ostringstream out;
  v.Write(out);
  const std::string s = out.str();
  EXPECT_EQ(s.size(), v.EncodedSize());
  return Hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(Asn1Value, KnownEncodings) {
  EXPECT_EQ(Encode(CASN1Value(0u)), "020100");
  EXPECT_EQ(Encode(CASN1Value(0x1234u)), "02021234");
  EXPECT_EQ(Encode(CASN1Value(0x80u)), "020180");  // no sign octet
  EXPECT_EQ(Encode(CASN1Value(CASN1Value::kInteger, std::string("123"))), "02020123");
  EXPECT_EQ(Encode(CASN1Value(CASN1Value::kBitString, std::string("AB"))), "0303004142");
  EXPECT_EQ(Encode(CASN1Value()), "0500");
  EXPECT_EQ(Encode(CASN1Value(CASN1Value::Constructed{CASN1Value::kSequence})), "3000");
  EXPECT_EQ(Encode(CASN1Value(std::vector<uint32_t>{1, 2, 840, 113549, 1, 7, 3})), "06092A864886F70D010703");
  EXPECT_EQ(Encode(CASN1Value(CASN1Value::kObjectIdentifier, std::string("1.2.643.2.2.21"))), "06062A8503020215");

  CASN1Value seq(CASN1Value::Constructed{CASN1Value::kSequence});
  seq.AddSubvalue(std::make_unique<CASN1Value>(5u));
  auto tagged = std::make_unique<CASN1Value>(CASN1Value::Constructed{CASN1Value::ContextSpecific(0)});
  tagged->AddSubvalue(std::make_unique<CASN1Value>());
  seq.AddSubvalue(std::move(tagged));
  EXPECT_EQ(Encode(seq), "3007020105A0020500");
  const CASN1Value copy(seq);  // deep
  EXPECT_EQ(Encode(copy), Encode(seq));

  std::vector<uint32_t> arcs;
  ASSERT_TRUE(CASN1Value(Unhex("06092A864886F70D010703").data(), 11).GetOID(arcs));
  EXPECT_EQ(arcs, (std::vector<uint32_t>{1, 2, 840, 113549, 1, 7, 3}));
  EXPECT_FALSE(CASN1Value(Unhex("06022A86").data(), 4).GetOID(arcs));  // ends inside an arc
  EXPECT_FALSE(CASN1Value(5u).GetOID(arcs));
}

TEST(Asn1Value, ParsingFailuresCarryTheirTexts) {
  struct Row {
    const char* hex;
    const char* text;
  };
  const Row rows[] = {
      {"", "ASN.1: Cannot get a type tag from stream."},
      {"04", "ASN.1: Cannot get the first size octet."},
      {"0482 01", "ASN.1: Cannot get the size octet."},
      {"0403 4142", "ASN.1: Cannot read data."},
      {"3006 0201 05", "ASN.1: Cannot get a type tag from stream."},  // a child is missing
      {"3084 FFFFFFFF 0400", "ASN.1: Cannot get a type tag from stream."},
      {"0484 7FFFFFFF 00", "ASN.1: Cannot read data."},  // a claimed 2 GiB is never allocated
      // Lengths are DER's, as everywhere else: the indefinite form (once taken as 0, which
      // made the contents look like following values), non-minimal or over four octets.
      {"3080 0400 0000", "ASN.1: The length is not in definite minimal form."},
      {"0481 05 0102030405", "ASN.1: The length is not in definite minimal form."},
      {"0482 0005 0102030405", "ASN.1: The length is not in definite minimal form."},
      {"0485 0100000000", "ASN.1: The length is not in definite minimal form."},
      {"1F01 00", "ASN.1: Multi-octet type tags are not supported."},
      {"3003 0402 4142", "ASN.1: A value runs past the end of its container."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hex);
    const Bytes in = Unhex(row.hex);
    try {
      CASN1Value v(in.data(), in.size());
      ADD_FAILURE() << "parsed";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), row.text);
    }
  }
  // Nesting deeper than any real input is refused instead of exhausting the stack.
  Bytes deep;
  for (int i = 0; i < 100000; ++i) deep.insert(deep.end(), {0x30, 0x83, 0xFF, 0xFF, 0xFF});
  EXPECT_THROW(CASN1Value(deep.data(), deep.size()), std::runtime_error);
}

// What openssl writes, the tree reads and writes again unchanged.
TEST(Asn1Value, CertificateFromOpensslRoundTrips) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string path = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/asn1_rt_" +
                           std::to_string(::getpid()) + ".der";
  const std::string cmd =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout /dev/null "
      "-subj '/CN=asn1 round trip/O=vexor' -days 30 -outform DER -out '" + path + "' 2>/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream f(path, std::ios::binary);
  const std::string der((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::remove(path.c_str());
  ASSERT_GT(der.size(), 100u);

  std::istringstream in(der);
  const CASN1Value cert(in);
  std::ostringstream out;
  cert.Write(out);
  EXPECT_EQ(out.str(), der);
  ASSERT_EQ(cert.identifier(), 0x30);
  ASSERT_EQ(cert.children().size(), 3u);  // tbsCertificate, signatureAlgorithm, signature
  std::vector<uint32_t> arcs;
  ASSERT_TRUE(cert.children()[1]->children()[0]->GetOID(arcs));
  EXPECT_EQ(arcs, (std::vector<uint32_t>{1, 2, 840, 10045, 4, 3, 2}));  // ecdsa-with-SHA256
}

}  // namespace
