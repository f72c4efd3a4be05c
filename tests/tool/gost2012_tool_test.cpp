// GOST R 34.10-2012 certificates through the tool as a user runs it, against openssl with
// the GOST engine: a 2012-512 authority over 2012-256, 2012-512 and 2001 users, a 2001
// authority over a 2012 user, the 2012 authority's revocation list, and signatures both ways.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tool/tool_shell.h"

namespace fs = std::filesystem;

namespace {

using tool_test::Result;
using tool_test::Sh;

class Gost2012Tool : public tool_test::ToolHome {
 protected:
  static void SetUpTestSuite() {
    const std::string k512 = "-engine gost -newkey gost2012_512 -pkeyopt paramset:A -nodes";
    const std::string k256 = "-engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes";
    const std::string k01 = "-engine gost -newkey gost2001 -pkeyopt paramset:A -nodes";
    auto user = [](const std::string& name, const std::string& key, const std::string& ca, const std::string& md) {
      return "openssl req -new " + key + " -keyout " + name + ".key -out " + name + ".csr -subj '/CN=" + name +
             "/emailAddress=" + name + "@example.ru' && openssl x509 -req -engine gost -" + md + " -in " + name +
             ".csr -CA " + ca + ".pem -CAkey " + ca + ".key -CAcreateserial -days 30 -extfile user.ext -out " + name +
             ".pem && ";
    };
    MakeSuiteFiles(
        "echo keyUsage=digitalSignature,keyEncipherment,keyAgreement > user.ext && "
        "echo 'a document signed with the 2012 keys' > doc.txt && "
        "openssl req -x509 " + k512 + " -md_gost12_512 -keyout root12.key -out root12.pem"
        " -subj '/CN=Root 2012' -days 30 -addext basicConstraints=critical,CA:TRUE && "
        "openssl req -x509 " + k01 + " -keyout root01.key -out root01.pem -subj '/CN=Root 2001' -days 30"
        " -addext basicConstraints=critical,CA:TRUE && " +
        user("u256", k256, "root12", "md_gost12_512") + user("u512", k512, "root12", "md_gost12_512") +
        user("u01", k01, "root12", "md_gost12_512") + user("rev", k256, "root12", "md_gost12_512") +
        user("mixed", k256, "root01", "md_gost94") +
        // The 2012 authority revokes rev.
        "touch index.txt && echo 01 > crlnumber && printf '[ca]\\ndefault_ca=d\\n[d]\\ndatabase=index.txt\\n"
        "crlnumber=crlnumber\\ndefault_md=md_gost12_512\\ndefault_crl_days=7\\n' > ca.cnf && "
        "openssl ca -config ca.cnf -engine gost -keyfile root12.key -cert root12.pem -revoke rev.pem 2>&1 && "
        "openssl ca -config ca.cnf -engine gost -gencrl -keyfile root12.key -cert root12.pem -out root12.crl 2>&1");
  }

  void SetUp() override {
    ToolHome::SetUp();
    ASSERT_EQ(Vexor("store add-root " + P("root12.pem")).status, 0);
    ASSERT_EQ(Vexor("store add-root " + P("root01.pem")).status, 0);
  }

  static std::string OpensslVerify(const std::string& args) {
    return "openssl cms -verify -engine gost -binary -inform DER -CAfile " + P("root12.pem") + " " + args +
           " -out /dev/null 2>&1";
  }
};

// Attached and detached signatures of 2012-256 and 2012-512 signers: openssl verifies ours,
// names the digest of the key's size, and we verify openssl's; a changed byte gives 14.
TEST_F(Gost2012Tool, SignaturesGoBothWaysWithOpenssl) {
  std::ofstream(work_ + "/changed.txt") << "a document signed with the 2012 keyz\n";
  const std::string changed = " --content " + work_ + "/changed.txt";
  for (const std::string n : {"u256", "u512"}) {
    SCOPED_TRACE(n);
    Install(n);
    const std::string attached = work_ + "/" + n + ".p7s", detached = work_ + "/" + n + ".sig";
    const std::string theirs = work_ + "/" + n + "-openssl.p7s", theirs_det = work_ + "/" + n + "-openssl.sig";
    Expect("sign --signer " + n + "@example.ru -i " + P("doc.txt") + " -o " + attached, 0);
    Expect("sign --detached --signer " + n + "@example.ru -i " + P("doc.txt") + " -o " + detached, 0);
    Result r = Sh(OpensslVerify("-in " + attached));
    EXPECT_EQ(r.status, 0) << r.out;
    r = Sh(OpensslVerify("-in " + detached + " -content " + P("doc.txt")));
    EXPECT_EQ(r.status, 0) << r.out;
    r = Sh("openssl asn1parse -inform DER -in " + detached + " | grep -c 'with " + (n == "u256" ? "256" : "512") +
           " bit hash'");
    EXPECT_GE(std::atoi(r.out.c_str()), 2) << "the digest algorithm is named in the set and the signer";

    const std::string sign = "openssl cms -sign -engine gost -binary -outform DER -in " + P("doc.txt") + " -signer " +
                             P(n + ".pem") + " -inkey " + P(n + ".key");
    ASSERT_EQ(Sh(sign + " -nodetach -out " + theirs).status, 0);
    ASSERT_EQ(Sh(sign + " -out " + theirs_det).status, 0);
    Expect("verify -i " + theirs + " --strict", 0);
    Expect("verify -i " + theirs_det + " --content " + P("doc.txt") + " --strict", 0);
    Expect("verify -i " + attached + " --strict", 0);
    Expect("verify -i " + detached + changed, 14);
    Expect("verify -i " + theirs_det + changed, 14);
    ASSERT_EQ(Sh("perl -pe 's/2012 keys/2012 keyz/' < " + attached + " > " + work_ + "/tampered.p7s").status, 0);
    Expect("verify -i " + work_ + "/tampered.p7s", 14);
  }
}

// Chains across generations validate; the 2012 authority's list revokes its user. cert find
// and cert list name each certificate's key algorithm.
TEST_F(Gost2012Tool, ChainsAcrossGenerationsAndTheListRevokes) {
  for (const std::string name : {"u256", "u512", "u01", "mixed", "rev"})
    Expect("cert check " + P(name + ".pem") + " --strict", 0);
  for (const auto& [name, algorithm] : {std::pair{"u01", "GOST R 34.10-2001"}, {"u256", "GOST R 34.10-2012 256"},
                                        {"u512", "GOST R 34.10-2012 512"}}) {
    ASSERT_EQ(Lib(std::string("cert import ") + P(std::string(name) + ".pem")).status, 0);
    const Result found = Lib(std::string("cert find ") + name + "@example.ru");
    EXPECT_NE(found.out.find(std::string("\n    key ") + algorithm + "\n"), std::string::npos) << found.out;
  }
  const Result listed = Sh("VEXOR_CSP_HOME='" + home_ + "' " VEXOR_BIN_DIR "/vexor cert list --json --workdir '" +
                           work_ + "' | python3 -c 'import json,sys; print(sorted((c[\"subject\"].split(\",\")[0], "
                           "c[\"keyAlgorithm\"]) for c in json.load(sys.stdin)))'");
  EXPECT_EQ(listed.out,
            "[('CN=u01', 'GOST R 34.10-2001'), ('CN=u256', 'GOST R 34.10-2012 256'), "
            "('CN=u512', 'GOST R 34.10-2012 512')]\n");
  EXPECT_NE(Lib("cert list").out.find("\nkeyAlgorithm  GOST R 34.10-2012 512\n"), std::string::npos);
  ASSERT_EQ(Lib("cert import --crl " + P("root12.crl")).status, 0);
  Expect("cert check " + P("rev.pem"), 14, "NOT valid");
  Expect("cert check " + P("u256.pem"), 0);
}

// "141" carries GOST R 34.10-2001 keys only: a 2012 signer, sender or recipient is refused
// with the algorithm check's text and no message is left behind; 2001 keys still work.
TEST_F(Gost2012Tool, Format141RefusesA2012Key) {
  Install("u256");
  Install("u01");
  const std::string refused = "Сертификат забракован проверкой по алгоритму";
  const std::string out = work_ + "/out.141";
  const std::string cases[] = {
      "sign --format 141 --detached --signer u256@example.ru",
      "encrypt --format 141 --from u01@example.ru --to u256@example.ru",
      "encrypt --format 141 --from u256@example.ru --to u01@example.ru",
  };
  for (const std::string& command : cases) {
    SCOPED_TRACE(command);
    fs::remove(out);
    Expect(command + " -i " + P("doc.txt") + " -o " + out, 14, refused);
    EXPECT_TRUE(!fs::exists(out) || fs::file_size(out) == 0) << "a partial message was written";
  }
  ASSERT_EQ(Lib("sign --format 141 --detached --signer u01@example.ru -i " + P("doc.txt") + " -o " + out).status, 0);
  Expect("verify --format 141 --content " + P("doc.txt") + " -i " + out + " --expect u01", 0);
}

// Encryption both ways with openssl for 2012 keys installed by the tool: one message of ours
// to a 2012-256 and a 2012-512 recipient opens in openssl with each key, and openssl's
// -gost89, -kuznyechik-ctr-acpkm and -magma-ctr-acpkm messages to either one open here;
// empty, one-byte and 10 MiB + 1 contents.
TEST_F(Gost2012Tool, EncryptionGoesBothWaysWithOpenssl) {
  Install("u256");
  Install("u512");
  const std::string sizes[] = {"0", "1", std::to_string((10 << 20) + 1)};
  for (const std::string& size : sizes)
    ASSERT_EQ(Sh("head -c " + size + " /dev/urandom > " + work_ + "/plain-" + size).status, 0);
  for (const std::string& size : sizes) {
    SCOPED_TRACE("size " + size);
    const std::string plain = work_ + "/plain-" + size, ours = work_ + "/ours.p7m", out = work_ + "/out";
    Result r = Lib("encrypt --to u256@example.ru --to u512@example.ru -i " + plain + " -o " + ours);
    ASSERT_EQ(r.status, 0) << r.out;
    for (const char* user : {"u256", "u512"}) {
      r = Sh("openssl cms -decrypt -engine gost -binary -inform DER -in " + ours + " -recip " +
             P(std::string(user) + ".pem") + " -inkey " + P(std::string(user) + ".key") + " -out " + out);
      EXPECT_EQ(r.status, 0) << user << ": " << r.out;
      EXPECT_EQ(Sh("cmp " + out + " " + plain).status, 0) << user;
    }
    for (const char* cipher : {"gost89", "kuznyechik-ctr-acpkm", "magma-ctr-acpkm"}) {
      for (const char* user : {"u256", "u512"}) {
        SCOPED_TRACE(std::string(cipher) + " to " + user);
        const std::string theirs = work_ + "/theirs.p7m";
        r = Sh(std::string("openssl cms -encrypt -engine gost -binary -outform DER -") + cipher + " -in " + plain +
               " -out " + theirs + " " + P(std::string(user) + ".pem"));
        ASSERT_EQ(r.status, 0) << r.out;
        Expect("decrypt -i " + theirs + " -o " + out, 0);
        EXPECT_EQ(Sh("cmp " + out + " " + plain).status, 0);
      }
    }
  }
}

}  // namespace
