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

class Gost2012Tool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string templ = (fs::temp_directory_path() / "vexor-g12-XXXXXX").string();
    dir_ = mkdtemp(templ.data());
    std::ofstream(dir_ + "/user.ext") << "keyUsage=digitalSignature,keyEncipherment,keyAgreement\n";
    std::ofstream(dir_ + "/doc.txt") << "a document signed with the 2012 keys\n";
    const std::string k512 = "-engine gost -newkey gost2012_512 -pkeyopt paramset:A -nodes";
    const std::string k256 = "-engine gost -newkey gost2012_256 -pkeyopt paramset:A -nodes";
    const std::string k01 = "-engine gost -newkey gost2001 -pkeyopt paramset:A -nodes";
    auto user = [](const std::string& name, const std::string& key, const std::string& ca, const std::string& md) {
      return "openssl req -new " + key + " -keyout " + name + ".key -out " + name + ".csr -subj '/CN=" + name +
             "/emailAddress=" + name + "@example.ru' && openssl x509 -req -engine gost -" + md + " -in " + name +
             ".csr -CA " + ca + ".pem -CAkey " + ca + ".key -CAcreateserial -days 30 -extfile user.ext -out " + name +
             ".pem && ";
    };
    const std::string script =
        "cd " + dir_ + " && openssl req -x509 " + k512 + " -md_gost12_512 -keyout root12.key -out root12.pem"
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
        "openssl ca -config ca.cnf -engine gost -gencrl -keyfile root12.key -cert root12.pem -out root12.crl 2>&1";
    const Result r = Sh(script);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  void SetUp() override {
    home_ = dir_ + "/home-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    work_ = home_ + "/work";
    fs::create_directories(work_);
    ASSERT_EQ(Vexor("store add-root " + P("root12.pem")).status, 0);
    ASSERT_EQ(Vexor("store add-root " + P("root01.pem")).status, 0);
  }

  Result Vexor(const std::string& args) const {
    return Sh("VEXOR_CSP_HOME='" + home_ + "' " VEXOR_BIN_DIR "/vexor " + args);
  }
  Result Lib(const std::string& args) const { return Vexor(args + " --workdir '" + work_ + "'"); }
  static std::string P(const std::string& name) { return dir_ + "/" + name; }
  void Install(const std::string& name) const {
    const Result r = Vexor("store install --cert " + P(name + ".pem") + " --key " + P(name + ".key") + " --no-pin");
    ASSERT_EQ(r.status, 0) << r.out;
  }
  static std::string OpensslVerify(const std::string& args) {
    return "openssl cms -verify -engine gost -binary -inform DER -CAfile " + P("root12.pem") + " " + args +
           " -out /dev/null 2>&1";
  }

  static std::string dir_;
  std::string home_;
  std::string work_;
};

std::string Gost2012Tool::dir_;

// Attached and detached signatures of 2012-256 and 2012-512 signers: openssl verifies ours,
// names the digest of the key's size, and we verify openssl's; a changed byte gives 14.
TEST_F(Gost2012Tool, SignaturesGoBothWaysWithOpenssl) {
  for (const char* name : {"u256", "u512"}) {
    SCOPED_TRACE(name);
    const std::string n = name;
    Install(n);
    const std::string digest = n == "u256" ? "'with 256 bit hash'" : "'with 512 bit hash'";
    const std::string attached = work_ + "/" + n + ".p7s", detached = work_ + "/" + n + ".sig";
    Result r = Lib("sign --signer " + n + "@example.ru -i " + P("doc.txt") + " -o " + attached);
    ASSERT_EQ(r.status, 0) << r.out;
    r = Lib("sign --detached --signer " + n + "@example.ru -i " + P("doc.txt") + " -o " + detached);
    ASSERT_EQ(r.status, 0) << r.out;
    r = Sh(OpensslVerify("-in " + attached));
    EXPECT_EQ(r.status, 0) << r.out;
    r = Sh(OpensslVerify("-in " + detached + " -content " + P("doc.txt")));
    EXPECT_EQ(r.status, 0) << r.out;
    r = Sh("openssl asn1parse -inform DER -in " + detached + " | grep -c " + digest);
    EXPECT_GE(std::atoi(r.out.c_str()), 2) << "the digest algorithm is named in the set and the signer";

    const std::string theirs = work_ + "/" + n + "-openssl.p7s", theirs_det = work_ + "/" + n + "-openssl.sig";
    const std::string sign = "openssl cms -sign -engine gost -binary -outform DER -in " + P("doc.txt") + " -signer " +
                             P(n + ".pem") + " -inkey " + P(n + ".key");
    ASSERT_EQ(Sh(sign + " -nodetach -out " + theirs).status, 0);
    ASSERT_EQ(Sh(sign + " -out " + theirs_det).status, 0);
    r = Lib("verify -i " + theirs + " --strict");
    EXPECT_EQ(r.status, 0) << r.out;
    r = Lib("verify -i " + theirs_det + " --content " + P("doc.txt") + " --strict");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Lib("verify -i " + attached + " --strict").status, 0);

    std::ofstream(work_ + "/changed.txt") << "a document signed with the 2012 keyz\n";
    EXPECT_EQ(Lib("verify -i " + detached + " --content " + work_ + "/changed.txt").status, 14);
    EXPECT_EQ(Lib("verify -i " + theirs_det + " --content " + work_ + "/changed.txt").status, 14);
    ASSERT_EQ(Sh("perl -pe 's/2012 keys/2012 keyz/' < " + attached + " > " + work_ + "/tampered.p7s").status, 0);
    EXPECT_EQ(Lib("verify -i " + work_ + "/tampered.p7s").status, 14);
  }
}

// Chains across generations validate; the 2012 authority's list revokes its user. cert find
// and cert list name each certificate's key algorithm.
TEST_F(Gost2012Tool, ChainsAcrossGenerationsAndTheListRevokes) {
  for (const char* name : {"u256", "u512", "u01", "mixed", "rev"}) {
    const Result r = Lib(std::string("cert check ") + P(std::string(name) + ".pem") + " --strict");
    EXPECT_EQ(r.status, 0) << name << ": " << r.out;
  }
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
  const Result revoked = Lib("cert check " + P("rev.pem"));
  EXPECT_EQ(revoked.status, 14) << revoked.out;
  EXPECT_NE(revoked.out.find("NOT valid"), std::string::npos) << revoked.out;
  EXPECT_EQ(Lib("cert check " + P("u256.pem")).status, 0);
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
    const Result r = Lib(command + " -i " + P("doc.txt") + " -o " + out);
    EXPECT_EQ(r.status, 14) << r.out;
    EXPECT_NE(r.out.find(refused), std::string::npos) << r.out;
    EXPECT_TRUE(!fs::exists(out) || fs::file_size(out) == 0) << "a partial message was written";
  }
  ASSERT_EQ(Lib("sign --format 141 --detached --signer u01@example.ru -i " + P("doc.txt") + " -o " + out).status, 0);
  const Result verified = Lib("verify --format 141 --content " + P("doc.txt") + " -i " + out + " --expect u01");
  EXPECT_EQ(verified.status, 0) << verified.out;
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
        r = Lib("decrypt -i " + theirs + " -o " + out);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(Sh("cmp " + out + " " + plain).status, 0);
      }
    }
  }
}

}  // namespace
