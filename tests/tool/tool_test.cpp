// The vexor tool as a user runs it: exit statuses, output, error texts in UTF-8.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

struct Result {
  int status = -1;
  std::string out;  // standard output and standard error together
};

// Runs a shell command line and collects its output and exit status.
Result Sh(const std::string& command) {
  Result r;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), p)) > 0) r.out.append(buffer, n);
  const int raw = pclose(p);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

// A temporary directory with a GOST root and two users made by openssl, and a platform home
// of its own for every tool run.
class ToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string templ = (fs::temp_directory_path() / "vexor-tool-XXXXXX").string();
    dir_ = mkdtemp(templ.data());
    const std::string key = "-engine gost -newkey gost2001 -pkeyopt paramset:A -nodes";
    std::ofstream(dir_ + "/user.ext") << "keyUsage=digitalSignature,keyEncipherment,keyAgreement\n";
    std::ofstream(dir_ + "/doc.txt") << "document body\n";
    const std::string script =
        "cd " + dir_ + " && openssl req -x509 " + key + " -keyout root.key -out root.pem -subj '/CN=Tool Root'"
        " -days 30 -addext basicConstraints=critical,CA:TRUE && "
        "openssl req -new -utf8 " + key + " -keyout u1.key -out u1.csr -subj '/CN=Сидоров/emailAddress=s@example.ru' && "
        "openssl x509 -req -engine gost -in u1.csr -CA root.pem -CAkey root.key -CAcreateserial -days 30"
        " -extfile user.ext -out u1.pem && "
        "openssl req -new " + key + " -keyout u2.key -out u2.csr -subj '/CN=Other' && "
        "openssl x509 -req -engine gost -in u2.csr -CA root.pem -CAkey root.key -CAcreateserial -days 30"
        " -extfile user.ext -out u2.pem && "
        // A user of a root nobody trusts, and one whose certificate expires as it is made.
        "openssl req -x509 " + key + " -keyout rogue.key -out rogue.pem -subj '/CN=Rogue Root' -days 30"
        " -addext basicConstraints=critical,CA:TRUE && "
        "openssl x509 -req -engine gost -in u2.csr -CA rogue.pem -CAkey rogue.key -CAcreateserial -days 30"
        " -extfile user.ext -out r2.pem && "
        "openssl x509 -req -engine gost -in u2.csr -CA root.pem -CAkey root.key -CAcreateserial -days 0"
        " -extfile user.ext -out expired.pem && "
        // The root's revocation list.
        "touch index.txt && echo 01 > crlnumber && printf '[ca]\\ndefault_ca=d\\n[d]\\ndatabase=index.txt\\n"
        "crlnumber=crlnumber\\ndefault_md=md_gost94\\ndefault_crl_days=7\\n' > ca.cnf && "
        "openssl ca -config ca.cnf -engine gost -gencrl -keyfile root.key -cert root.pem -out root.crl && "
        "sleep 1";  // expired.pem lapses within the second
    const Result r = Sh(script);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  void SetUp() override {
    home_ = dir_ + "/home-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(home_);
    work_ = home_ + "/work";
    fs::create_directories(work_);
  }

  // Runs the tool with this test's platform home and working directory.
  Result Vexor(const std::string& args) const {
    return Sh("VEXOR_CSP_HOME='" + home_ + "' " VEXOR_BIN_DIR "/vexor " + args);
  }
  Result Lib(const std::string& args) const { return Vexor(args + " --workdir '" + work_ + "'"); }

  static std::string P(const std::string& name) { return dir_ + "/" + name; }
  static std::string Thumb(const std::string& pem) {
    Result r = Sh("openssl x509 -in " + P(pem) + " -noout -fingerprint -sha1");
    std::string hex;
    for (char c : r.out.substr(r.out.find('=') + 1))
      if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
    return hex;
  }

  void InstallUser() const {
    ASSERT_EQ(Vexor("store add-root " + P("root.pem")).status, 0);
    const Result r = Vexor("store install --cert " + P("u1.pem") + " --key " + P("u1.key") + " --no-pin");
    ASSERT_EQ(r.status, 0) << r.out;
  }

  static std::string dir_;
  std::string home_;
  std::string work_;
};

std::string ToolTest::dir_;

}  // namespace

TEST_F(ToolTest, HelpExplainsEveryCommand) {
  const Result top = Vexor("--help");
  EXPECT_EQ(top.status, 0);
  for (const char* cmd : {"sign", "verify", "unpack", "signers", "encrypt", "decrypt", "cert", "crl", "store", "demo"}) {
    SCOPED_TRACE(cmd);
    EXPECT_NE(top.out.find(std::string("  ") + cmd), std::string::npos);
    const Result help = Vexor(std::string(cmd) + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find(std::string("vexor ") + cmd), std::string::npos) << help.out;
  }
  const Result unknown = Vexor("frobnicate");
  EXPECT_EQ(unknown.status, 49);
  EXPECT_NE(unknown.out.find("unknown command"), std::string::npos);
}

TEST_F(ToolTest, StoreAdministration) {
  InstallUser();
  const Result my = Vexor("store list My");
  EXPECT_EQ(my.status, 0);
  EXPECT_NE(my.out.find(Thumb("u1.pem")), std::string::npos) << my.out;
  EXPECT_NE(my.out.find("Сидоров"), std::string::npos) << my.out;
  EXPECT_NE(my.out.find("has a private key"), std::string::npos);
  EXPECT_NE(Vexor("store list Root").out.find(Thumb("root.pem")), std::string::npos);

  const std::string sst = work_ + "/certstore.sst";
  ASSERT_EQ(Vexor("store sst-add " + sst + " " + P("u2.pem")).status, 0);
  EXPECT_NE(Vexor("store list " + sst).out.find(Thumb("u2.pem")), std::string::npos);
  EXPECT_EQ(Vexor("store sst-delete " + sst + " " + Thumb("u2.pem")).status, 0);
  const Result after = Vexor("store list " + sst);
  EXPECT_EQ(after.out.find(Thumb("u2.pem")), std::string::npos) << after.out;
  // certstore.sst changes through the library, which reports a certificate it cannot find.
  EXPECT_EQ(Vexor("store sst-delete " + sst + " " + Thumb("u2.pem")).status, 13);
  // A key that is not the certificate's, or a garbage key, installs nothing; an existing
  // container is replaced only with --force.
  const Result wrong = Vexor("store install --cert " + P("u2.pem") + " --key " + P("u1.key"));
  EXPECT_EQ(wrong.status, 27) << wrong.out;
  EXPECT_NE(wrong.out.find("is not the key of the certificate"), std::string::npos) << wrong.out;
  EXPECT_EQ(Vexor("store list My").out.find(Thumb("u2.pem")), std::string::npos);
  const Result garbage = Vexor("store install --cert " + P("u2.pem") + " --key " + P("doc.txt"));
  EXPECT_EQ(garbage.status, 27) << garbage.out;
  EXPECT_EQ(Vexor("store list My").out.find(Thumb("u2.pem")), std::string::npos);
  const std::string u1_container = "vexor-" + Thumb("u1.pem");
  const Result taken = Vexor("store install --cert " + P("u2.pem") + " --key " + P("u2.key") + " --container " + u1_container);
  EXPECT_EQ(taken.status, 27) << taken.out;
  EXPECT_NE(taken.out.find("exists already"), std::string::npos) << taken.out;
  EXPECT_EQ(Vexor("store install --cert " + P("u2.pem") + " --key " + P("u2.key") + " --no-pin").status, 0);

  // A file that is not a store (here a DER certificate) is never rewritten as one.
  ASSERT_EQ(Sh("openssl x509 -in " + P("u1.pem") + " -outform DER -out " + work_ + "/cert.der").status, 0);
  const std::string before = Sh("sha1sum < " + work_ + "/cert.der").out;
  const Result foreign = Vexor("store sst-add " + work_ + "/cert.der " + P("u2.pem"));
  EXPECT_EQ(foreign.status, 15) << foreign.out;
  EXPECT_NE(foreign.out.find("not a certificate store file"), std::string::npos) << foreign.out;
  EXPECT_EQ(Vexor("store sst-delete " + work_ + "/cert.der " + Thumb("u1.pem")).status, 15);
  EXPECT_EQ(Sh("sha1sum < " + work_ + "/cert.der").out, before);
  // A thumbprint of the right length that is not hex is refused with a message, not a crash.
  const Result bad = Vexor("store sst-delete " + sst + " " + std::string(40, 'z'));
  EXPECT_EQ(bad.status, 49) << bad.out;
  EXPECT_NE(bad.out.find("40 hex digits"), std::string::npos) << bad.out;
}

// The demo checks signatures both ways with openssl; here, what the tool says about keys.
TEST_F(ToolTest, SignNamesTheKeyProblem) {
  InstallUser();
  const Result sign = Lib("sign --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/doc.p7s");
  ASSERT_EQ(sign.status, 0) << sign.out;
  // A key file others may read and a missing key both give 27; the message says which.
  const std::string key_file = home_ + "/keys/vexor-" + Thumb("u1.pem") + ".key";
  ASSERT_EQ(chmod(key_file.c_str(), 0644), 0);
  const Result exposed = Lib("sign --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/x.p7s");
  EXPECT_EQ(exposed.status, 27);
  EXPECT_NE(exposed.out.find("chmod 600"), std::string::npos) << exposed.out;
  fs::remove(key_file);
  const Result missing = Lib("sign --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/x.p7s");
  EXPECT_EQ(missing.status, 27);
  EXPECT_NE(missing.out.find("Keyset does not exist"), std::string::npos) << missing.out;
}

// verify exits 0 only when a signer's signature verified and every --expect was met by one.
TEST_F(ToolTest, VerifyNeverSaysValidWithoutAVerifiedExpectedSigner) {
  InstallUser();
  ASSERT_EQ(Lib("sign --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/doc.p7s").status, 0);
  // The e-mail address is resolved through the library's search.
  EXPECT_EQ(Lib("verify -i " + work_ + "/doc.p7s --expect s@example.ru").status, 0);
  EXPECT_EQ(Lib("verify -i " + work_ + "/doc.p7s --expect " + Thumb("u1.pem")).status, 0);
  // Neither a check without -o nor -o naming a device renames anything over the device.
  EXPECT_EQ(Lib("verify -i " + work_ + "/doc.p7s -o /dev/null --check-validity").status, 0);
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  const Result to_stdout = Lib("verify -i " + work_ + "/doc.p7s -o -");
  EXPECT_EQ(to_stdout.status, 0);
  EXPECT_NE(to_stdout.out.find("document body"), std::string::npos) << to_stdout.out;
  // A second expected signer that did not sign.
  const Result unmet = Lib("verify -i " + work_ + "/doc.p7s --expect " + Thumb("u1.pem") + " --expect Other");
  EXPECT_EQ(unmet.status, 14) << unmet.out;
  // A certificates-only message has no signature at all.
  ASSERT_EQ(Sh("openssl crl2pkcs7 -nocrl -certfile " + P("u1.pem") + " -outform DER -out " + work_ + "/bag.p7b").status, 0);
  const Result bag = Lib("verify -i " + work_ + "/bag.p7b");
  EXPECT_EQ(bag.status, 7) << bag.out;
  EXPECT_NE(bag.out.find("no signature"), std::string::npos) << bag.out;
  EXPECT_EQ(Lib("verify -i " + work_ + "/bag.p7b --expect " + Thumb("u1.pem")).status, 7);
  EXPECT_NE(Lib("signers -i " + work_ + "/bag.p7b").status, 0);
}

// The default check is lenient about chains; --strict asks for a trusted root, and
// --check-validity counts an expired signer.
TEST_F(ToolTest, StrictAndValidityChecksCount) {
  InstallUser();
  ASSERT_EQ(Lib("sign --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/doc.p7s").status, 0);
  const Result trusted = Lib("verify -i " + work_ + "/doc.p7s --strict");
  EXPECT_EQ(trusted.status, 0) << trusted.out;
  EXPECT_NE(trusted.out.find("chain trusted"), std::string::npos) << trusted.out;
  EXPECT_EQ(Lib("cert check " + P("u1.pem") + " --strict").status, 0);

  const std::string sign = "openssl cms -sign -engine gost -binary -nodetach -outform DER -in " + P("doc.txt");
  ASSERT_EQ(Sh(sign + " -signer " + P("r2.pem") + " -inkey " + P("u2.key") + " -out " + work_ + "/rogue.p7s").status, 0);
  EXPECT_EQ(Lib("verify -i " + work_ + "/rogue.p7s").status, 0);
  const Result rogue = Lib("verify -i " + work_ + "/rogue.p7s --strict");
  EXPECT_EQ(rogue.status, 14) << rogue.out;
  EXPECT_NE(rogue.out.find("NOT trusted"), std::string::npos) << rogue.out;
  EXPECT_EQ(Lib("cert check " + P("r2.pem") + " --strict").status, 14);

  ASSERT_EQ(Sh(sign + " -signer " + P("expired.pem") + " -inkey " + P("u2.key") + " -out " + work_ + "/old.p7s").status, 0);
  const Result expired = Lib("verify -i " + work_ + "/old.p7s --check-validity");
  EXPECT_EQ(expired.status, 14) << expired.out;
  EXPECT_NE(expired.out.find("certificate INVALID"), std::string::npos) << expired.out;
}

TEST_F(ToolTest, DecryptsWithTheInstalledKeyOnly) {
  InstallUser();
  const std::string msg = work_ + "/doc.p7m";
  const Result enc = Lib("encrypt --from s@example.ru --to " + Thumb("u2.pem") + " -i " + P("doc.txt") + " -o " + msg);
  EXPECT_EQ(enc.status, 17) << enc.out;  // Other's certificate is nowhere yet
  ASSERT_EQ(Vexor("store add-my " + P("u2.pem")).status, 0);
  const Result again = Lib("encrypt --from s@example.ru --to Other -i " + P("doc.txt") + " -o " + msg);
  ASSERT_EQ(again.status, 0) << again.out;
  const Result dec = Lib("decrypt -i " + msg + " -o " + work_ + "/back.txt");
  ASSERT_EQ(dec.status, 0) << dec.out;
  EXPECT_EQ(Sh("cmp " + work_ + "/back.txt " + P("doc.txt")).status, 0);
  // Without the key nothing is written and the recipients are named.
  fs::remove_all(home_ + "/keys");
  const Result nokey = Lib("decrypt -i " + msg + " -o " + work_ + "/none.txt");
  EXPECT_EQ(nokey.status, 48) << nokey.out;
  EXPECT_NE(nokey.out.find("сертификаты шифрования: "), std::string::npos) << nokey.out;
  EXPECT_FALSE(fs::exists(work_ + "/none.txt"));
}

TEST_F(ToolTest, ImportListAndDelete) {
  EXPECT_EQ(Lib("cert check " + P("u1.pem")).out.find("revocation list: none at hand") != std::string::npos, true);
  EXPECT_EQ(Lib("cert import --crl " + P("root.crl")).status, 0);
  const Result checked = Lib("cert check " + P("u1.pem"));
  EXPECT_NE(checked.out.find("revocation list: issued "), std::string::npos) << checked.out;
  EXPECT_NE(checked.out.find("certstore.sst"), std::string::npos) << checked.out;
  EXPECT_EQ(Lib("cert import " + P("u2.pem")).status, 0);
  EXPECT_EQ(Lib("cert import " + P("doc.txt")).status, 12);
  const Result listed = Lib("cert list --json");
  EXPECT_EQ(listed.status, 0);
  EXPECT_NE(listed.out.find("\"subject\": \"CN=Other\""), std::string::npos) << listed.out;
  EXPECT_EQ(Lib("cert delete Other").status, 0);
  EXPECT_EQ(Lib("cert list --json").out, "[]\n");
}

TEST_F(ToolTest, FailuresGiveTheResultCodeAndUtf8Text) {
  InstallUser();
  const Result nobody = Lib("sign --signer Никто -i " + P("doc.txt") + " -o " + work_ + "/x.p7s");
  EXPECT_EQ(nobody.status, 17) << nobody.out;
  EXPECT_NE(nobody.out.find("Никто"), std::string::npos) << nobody.out;
  EXPECT_FALSE(fs::exists(work_ + "/x.p7s"));  // nothing half-written is left behind

  const Result empty = Lib("sign --signer Сидоров -i /dev/null -o " + work_ + "/e.p7s");
  EXPECT_EQ(empty.status, 22) << empty.out;
  EXPECT_NE(empty.out.find("Ошибка чтения блока данных из потока"), std::string::npos) << empty.out;

  const Result missing = Lib("verify -i " + work_ + "/does-not-exist");
  EXPECT_EQ(missing.status, 4);

  // Writing fails half-way (here at the file-size limit): the command fails and leaves nothing.
  std::ofstream(work_ + "/big.bin", std::ios::binary) << std::string(3 << 20, 'b');
  const Result full = Sh("trap '' XFSZ; ulimit -f 1000; VEXOR_CSP_HOME='" + home_ + "' " VEXOR_BIN_DIR
                         "/vexor sign --signer Сидоров -i " + work_ + "/big.bin -o " + work_ + "/big.p7m --workdir '" +
                         work_ + "'");
  EXPECT_EQ(full.status, 22) << full.out;
  for (const auto& entry : fs::directory_iterator(work_))
    EXPECT_EQ(entry.path().filename().string().rfind("big.p7m", 0), std::string::npos) << entry.path();
}

TEST_F(ToolTest, APinProtectedKeySignsWithThePinFile) {
  ASSERT_EQ(Vexor("store install --cert " + P("u1.pem") + " --key " + P("u1.key") + " --pin 4711").status, 0);
  std::ofstream(home_ + "/pin") << "4711\n";
  std::ofstream(home_ + "/wrong") << "1234\n";
  const std::string sign = "sign --signer s@example.ru -i " + P("doc.txt") + " -o " + home_ + "/doc.p7s";
  // No terminal here, so nothing asks: without the PIN the key stays closed.
  EXPECT_EQ(Lib(sign).status, 27);
  EXPECT_EQ(Lib(sign + " --pin-file " + home_ + "/wrong").status, 27);
  const Result r = Lib(sign + " --pin-file " + home_ + "/pin");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(Lib(sign + " --pin-file " + home_ + "/missing").status, 4);
}

TEST_F(ToolTest, XmlFailsCleanlyWithoutTheSiblingLibrary) {
  InstallUser();
  // libvexor.so alone in a folder: libvexorxml.so is looked for beside it only.
  fs::create_directories(home_ + "/lib");
  fs::copy_file(VEXOR_BIN_DIR "/../lib/libvexor.so", home_ + "/lib/libvexor.so");
  std::ofstream(P("doc.xml")) << "<doc>text</doc>";
  const Result r = Lib("sign --format xml --signer s@example.ru -i " + P("doc.xml") + " -o " + P("signed.xml") +
                       " --library " + home_ + "/lib/libvexor.so");
  EXPECT_EQ(r.status, 46) << r.out;
  EXPECT_FALSE(fs::exists(P("signed.xml")));
}

TEST_F(ToolTest, DemoRunsToASuccessfulSummary) {
  const Result demo = Vexor("demo");
  EXPECT_EQ(demo.status, 0) << demo.out;
  EXPECT_NE(demo.out.find(" 0 failed"), std::string::npos) << demo.out;
}
