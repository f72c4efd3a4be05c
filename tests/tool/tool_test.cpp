// The vexor tool as a user runs it: exit statuses, output, error texts in UTF-8.
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tool/tool_shell.h"

namespace fs = std::filesystem;

namespace {

using tool_test::Result;
using tool_test::Sh;

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

  // Runs the tool with this test's platform home (and per-user folders: the default working
  // directory is $XDG_DATA_HOME/vexor).
  Result Vexor(const std::string& args) const { return Sh(Env() + VEXOR_BIN_DIR "/vexor " + args); }
  std::string Env() const {
    return "VEXOR_CSP_HOME='" + home_ + "' XDG_DATA_HOME='" + home_ + "/data' VEXOR_WORKDIR= ";
  }
  Result Lib(const std::string& args) const { return Vexor(args + " --workdir '" + work_ + "'"); }

  static std::string P(const std::string& name) { return dir_ + "/" + name; }
  // What an openssl command with the GOST engine writes to -out.
  std::string Openssl(const std::string& args) const {
    const std::string out = home_ + "/openssl.out";
    fs::remove(out);
    Sh("openssl " + args + " -engine gost -out " + out);
    std::ifstream in(out, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
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

// A command line the tool does not accept exits 64 before anything is done: nothing signed,
// written or installed, and never a word taken for an option's value by mistake.
TEST_F(ToolTest, CommandLineIsCheckedBeforeAnythingIsDone) {
  InstallUser();
  const std::string p7s = work_ + "/doc.p7s";
  ASSERT_EQ(Lib("sign --signer s@example.ru -i " + P("doc.txt") + " -o " + p7s).status, 0);
  // A misspelt --expect used to swallow the expected signer and report success.
  const Result expcet = Lib("verify -i " + p7s + " --expcet " + Thumb("u2.pem"));
  EXPECT_EQ(expcet.status, 64) << expcet.out;
  EXPECT_NE(expcet.out.find("unknown option --expcet"), std::string::npos) << expcet.out;
  EXPECT_NE(expcet.out.find("vexor verify [-i SIGNED]"), std::string::npos) << expcet.out;
  // A misspelt --detached used to give an attached signature on standard output.
  const Result detatched = Sh("VEXOR_CSP_HOME='" + home_ + "' " VEXOR_BIN_DIR "/vexor sign --detatched --signer s@example.ru -i " +
                              P("doc.txt") + " --workdir '" + work_ + "' 2>/dev/null | wc -c");
  EXPECT_EQ(std::stoi(detatched.out), 0);
  const std::string store_before = Sh("cat " + work_ + "/certstore.sst | sha1sum").out;
  for (const std::string& line : std::vector<std::string>{
           "sign --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/x.p7s surplus",  // an operand too many
           "sign --signer s@example.ru -i " + P("doc.txt") + " -o",                              // a value missing
           "sign --signer s@example.ru -i " + P("doc.txt") + " -o --detached",                   // an option for a value
           "sign --signer s@example.ru --in= -o " + work_ + "/x.p7s",                          // an empty value
           "sign --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/x.p7s -o " + work_ + "/y.p7s",
           "sign --signer s@example.ru --json -i " + P("doc.txt") + " -o " + work_ + "/x.p7s",  // another command's option
           "sign --signer s@example.ru --pem --format 141 --detached -i " + P("doc.txt") + " -o " + work_ + "/x.p7s",
           "store add-my " + P("u2.pem") + " surplus",
           "store add-my",
           "cert import " + P("u2.pem") + " --to",
           "cert frobnicate x",
           "frobnicate"}) {
    SCOPED_TRACE(line);
    const Result r = Lib(line);
    EXPECT_EQ(r.status, 64) << r.out;
  }
  EXPECT_FALSE(fs::exists(work_ + "/x.p7s"));
  EXPECT_FALSE(fs::exists(work_ + "/y.p7s"));
  EXPECT_EQ(Vexor("store list My").out.find(Thumb("u2.pem")), std::string::npos);
  EXPECT_EQ(Sh("cat " + work_ + "/certstore.sst | sha1sum").out, store_before);
  // Without a command: the usage, on standard error.
  const Result bare = Sh("{ " VEXOR_BIN_DIR "/vexor 2>&1 >/dev/null; }");
  EXPECT_EQ(bare.status, 64);
  EXPECT_NE(bare.out.find("usage: vexor"), std::string::npos) << bare.out;
  const Result version = Sh(VEXOR_BIN_DIR "/vexor --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("vexor 1.", 0), 0u) << version.out;
  EXPECT_EQ(Vexor("--version sign").status, 64);
  // Global options before or after the command, values joined with '=', short forms.
  EXPECT_EQ(Vexor("--workdir '" + work_ + "' verify --in=" + p7s + " --expect=" + Thumb("u1.pem")).status, 0);
  EXPECT_NE(Vexor("verify -i " + p7s + " --workdir=" + work_ + " -o -").out.find("document body"), std::string::npos);
}

TEST_F(ToolTest, StoreAdministration) {
  InstallUser();
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
  EXPECT_EQ(bad.status, 64) << bad.out;
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
  // The same for compact "141" signatures, whose signer the library hands back.
  const std::string s141 = " --format 141 --content " + P("doc.txt") + " -i " + work_;
  ASSERT_EQ(Lib("sign --format 141 --detached --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/doc.s141")
                .status,
            0);
  EXPECT_EQ(Lib("verify" + s141 + "/doc.s141 --expect Сидоров --strict").status, 0);
  ASSERT_EQ(Vexor("store install --cert " + P("r2.pem") + " --key " + P("u2.key") + " --no-pin").status, 0);
  ASSERT_EQ(Lib("sign --format 141 --detached --signer Other -i " + P("doc.txt") + " -o " + work_ + "/rogue.s141").status,
            0);
  EXPECT_EQ(Lib("verify" + s141 + "/rogue.s141 --expect Other").status, 0);
  const Result rogue141 = Lib("verify" + s141 + "/rogue.s141 --expect Other --strict");
  EXPECT_EQ(rogue141.status, 14) << rogue141.out;
  EXPECT_NE(rogue141.out.find("NOT trusted"), std::string::npos) << rogue141.out;

  ASSERT_EQ(Sh(sign + " -signer " + P("expired.pem") + " -inkey " + P("u2.key") + " -out " + work_ + "/old.p7s").status, 0);
  const Result expired = Lib("verify -i " + work_ + "/old.p7s --check-validity");
  EXPECT_EQ(expired.status, 14) << expired.out;
  EXPECT_NE(expired.out.find("certificate INVALID"), std::string::npos) << expired.out;
}

// Only a verification that holds writes the content to -o; one by a signer not expected says
// that the signature itself holds.
TEST_F(ToolTest, AFailedVerificationWritesNothing) {
  InstallUser();
  const std::string keep = work_ + "/keep.txt";
  std::ofstream(keep) << "precious\n";
  ASSERT_EQ(chmod(keep.c_str(), 0600), 0);
  auto kept = [&] {
    std::ifstream in(keep);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const std::string p7s = work_ + "/doc.p7s";
  ASSERT_EQ(Lib("sign --signer s@example.ru -i " + P("doc.txt") + " -o " + p7s).status, 0);
  ASSERT_EQ(Sh("perl -pe 's/document body/documEnt body/' < " + p7s + " > " + work_ + "/tampered.p7s").status, 0);
  ASSERT_EQ(Sh("openssl cms -sign -engine gost -binary -nodetach -outform DER -in " + P("doc.txt") + " -signer " +
               P("u2.pem") + " -inkey " + P("u2.key") + " -out " + work_ + "/other.p7s").status, 0);
  ASSERT_EQ(Sh("openssl crl2pkcs7 -nocrl -certfile " + P("u1.pem") + " -outform DER -out " + work_ + "/bag.p7b").status, 0);
  std::ofstream(work_ + "/doc.xml") << "<doc>text</doc>";
  ASSERT_EQ(Lib("sign --format xml --signer s@example.ru -i " + work_ + "/doc.xml -o " + work_ + "/signed.xml").status, 0);
  ASSERT_EQ(Sh("sed -i 's/>text</>txet</' " + work_ + "/signed.xml").status, 0);

  const Result tampered = Lib("verify -i " + work_ + "/tampered.p7s -o " + keep);
  EXPECT_EQ(tampered.status, 14) << tampered.out;
  EXPECT_NE(tampered.out.find("signature INVALID"), std::string::npos) << tampered.out;
  const Result to_stdout = Lib("verify -i " + work_ + "/tampered.p7s -o -");
  EXPECT_EQ(to_stdout.status, 14);
  EXPECT_EQ(to_stdout.out.find("documEnt"), std::string::npos) << to_stdout.out;
  const Result other = Lib("verify -i " + work_ + "/other.p7s --expect s@example.ru -o " + keep);
  EXPECT_EQ(other.status, 14) << other.out;
  EXPECT_NE(other.out.find("signature valid, but not by the expected signer"), std::string::npos) << other.out;
  EXPECT_EQ(other.out.find("INVALID"), std::string::npos) << other.out;
  EXPECT_EQ(Lib("verify -i " + work_ + "/bag.p7b -o " + keep).status, 7);
  EXPECT_EQ(Lib("verify --format xml -i " + work_ + "/signed.xml -o " + keep).status, 14);
  EXPECT_EQ(Lib("verify -i " + p7s + " --strict --expect Other -o " + keep).status, 14);
  EXPECT_EQ(kept(), "precious\n");

  // A verification that holds replaces the file, which keeps its mode.
  ASSERT_EQ(Lib("verify -i " + p7s + " --expect s@example.ru -o " + keep).status, 0);
  EXPECT_EQ(kept(), "document body\n");
  struct stat st {};
  ASSERT_EQ(stat(keep.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A writer killed half-way (kill -9, a file-size limit) leaves nothing anyone else can read:
// the output is an unnamed file until it is complete; where it is named (file systems
// without unnamed files), it is owner-only and the next run into the folder sweeps it.
TEST_F(ToolTest, AKilledWriterLeavesNothingReadable) {
  InstallUser();
  const std::string big = home_ + "/big.bin";
  {
    std::ofstream out(big, std::ios::binary);
    const std::string block(1 << 20, 'p');
    for (int i = 0; i < 96; ++i) out << block;
  }
  const std::string dir = home_ + "/out";
  fs::create_directories(dir);
  // A file system without unnamed files (an older overlayfs) always takes the named way.
  const int probe = open(dir.c_str(), O_TMPFILE | O_WRONLY, 0600);
  const bool has_unnamed = probe >= 0;
  if (probe >= 0) close(probe);
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named" : "unnamed");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setenv("VEXOR_CSP_HOME", home_.c_str(), 1);
      if (named) setenv("VEXOR_OUTPUT_NAMED", "1", 1);
      freopen("/dev/null", "w", stderr);
      execl(VEXOR_BIN_DIR "/vexor", "vexor", "sign", "--signer", "s@example.ru", "-i", big.c_str(), "-o",
            (dir + "/big.p7m").c_str(), "--workdir", work_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // Until output has been written: every name in the folder is owner-only.
    bool writing = false;
    for (int i = 0; i < 1000 && !writing; ++i) {
      for (const auto& entry : fs::directory_iterator(dir)) {
        struct stat st {};
        if (stat(entry.path().c_str(), &st) != 0) continue;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << entry.path();
        writing = writing || st.st_size > 0;
      }
      std::error_code ec;
      for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        struct stat st {};
        const std::string target = fs::read_symlink(fd.path(), ec).string();
        if (target.rfind(dir + "/", 0) == 0 && stat(fd.path().c_str(), &st) == 0) writing = writing || st.st_size > 0;
      }
      if (!writing) usleep(20000);
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(writing);
    ASSERT_TRUE(WIFSIGNALED(status));
    size_t left = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
      struct stat st {};
      ASSERT_EQ(stat(entry.path().c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u) << entry.path();
      ++left;
      // As old as a sweep wants a file nobody claims.
      const struct timespec old[2] = {{time(nullptr) - 600, 0}, {time(nullptr) - 600, 0}};
      utimensat(AT_FDCWD, entry.path().c_str(), old, 0);
    }
    EXPECT_EQ(left, named || !has_unnamed ? 1u : 0u);
    const Result next = Sh(std::string(named ? "VEXOR_OUTPUT_NAMED=1 " : "") + "VEXOR_CSP_HOME='" + home_ + "' " VEXOR_BIN_DIR
                           "/vexor sign --signer s@example.ru -i " + P("doc.txt") + " -o " + dir + "/small.p7s --workdir " + work_);
    ASSERT_EQ(next.status, 0) << next.out;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"small.p7s"});
    fs::remove(dir + "/small.p7s");
  }
  // A file-size limit that ends the writer.
  const Result limited = Sh("ulimit -f 1000; VEXOR_CSP_HOME='" + home_ + "' " VEXOR_BIN_DIR "/vexor sign --signer s@example.ru -i " +
                            big + " -o " + dir + "/big.p7m --workdir " + work_);
  EXPECT_NE(limited.status, 0);
  for (const auto& entry : fs::directory_iterator(dir)) {
    struct stat st {};
    ASSERT_EQ(stat(entry.path().c_str(), &st), 0);
    EXPECT_TRUE(!has_unnamed && (st.st_mode & 0777) == 0600) << entry.path();
  }
}

// The RFC 4490 key-agreement and key-transport examples for the RFC 4491 certificate, long
// expired: its time plays no part in decryption. Without the key nothing is written and the
// recipients are named.
TEST_F(ToolTest, DecryptsThePublishedExamples) {
  const std::string vectors = VEXOR_VECTORS "/rfc4490/";
  const Result nokey = Lib("decrypt -i " + vectors + "enveloped-keyagree.der -o " + work_ + "/none.txt");
  EXPECT_EQ(nokey.status, 48) << nokey.out;
  EXPECT_NE(nokey.out.find("сертификаты шифрования: 2BF5C61EC211BD17C7DCD46266B42E21"), std::string::npos) << nokey.out;
  EXPECT_FALSE(fs::exists(work_ + "/none.txt"));
  const Result installed = Vexor("store install --cert " + vectors + "rfc4491-gostr3410-2001-cert.pem --key " + vectors +
                                 "gostr3410-2001-example-key.pem --no-pin");
  ASSERT_EQ(installed.status, 0) << installed.out;
  for (const char* message : {"enveloped-keyagree.der", "enveloped-keytrans.der"}) {
    const Result dec = Lib("decrypt -i " + vectors + message + " -o " + work_ + "/plain.txt");
    ASSERT_EQ(dec.status, 0) << message << ": " << dec.out;
    std::ifstream in(work_ + "/plain.txt", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "sample text\n") << message;
  }
}

// cert check names the revocation list at hand; cert list escapes what a subject holds.
TEST_F(ToolTest, CheckShowsTheListAndListingEscapesSubjects) {
  EXPECT_NE(Lib("cert check " + P("u1.pem")).out.find("revocation list: none at hand"), std::string::npos);
  ASSERT_EQ(Vexor("store add-root " + P("root.pem")).status, 0);
  EXPECT_EQ(Lib("cert import --crl " + P("root.crl")).status, 0);
  const Result checked = Lib("cert check " + P("u1.pem"));
  EXPECT_NE(checked.out.find("revocation list: issued "), std::string::npos) << checked.out;
  EXPECT_NE(checked.out.find("certstore.sst"), std::string::npos) << checked.out;
  // Control characters of a subject are escaped: a record stays one line per field, and
  // nothing reaches the terminal raw.
  ASSERT_EQ(Sh("cd " + work_ + " && openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout c.key"
               " -out ctl.pem -days 3 -utf8 -subj \"/CN=$(printf 'Line\\nBreak\\tTab\\033[31m')\"").status, 0);
  ASSERT_EQ(Lib("cert import " + work_ + "/ctl.pem").status, 0);
  const Result text = Lib("cert list");
  EXPECT_NE(text.out.find("subject       CN=\"Line\\nBreak\\tTab\\x1b[31m\"\n"), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
  const Result json = Sh("VEXOR_CSP_HOME='" + home_ + "' " VEXOR_BIN_DIR "/vexor cert list --json --workdir " + work_ +
                         " | python3 -c 'import json,sys; print(json.load(sys.stdin)[0][\"subject\"] == \"CN=\\\"Line\\nBreak\\tTab\\x1b[31m\\\"\")'");
  EXPECT_EQ(json.out, "True\n");
}

// A list imported into certstore.sst revokes the certificate it names however it arrives:
// as the file cert check is given, or as the signer of a message verify checks.
TEST_F(ToolTest, AnImportedListRevokesAFileAndASigner) {
  const Result made = Sh(
      "cd '" + home_ + "' && touch revoked.txt && echo 01 > revnumber && printf '[ca]\\ndefault_ca=d\\n[d]\\n"
      "database=revoked.txt\\ncrlnumber=revnumber\\ndefault_md=md_gost94\\ndefault_crl_days=7\\n' > revoke.cnf && "
      "openssl ca -config revoke.cnf -engine gost -keyfile " + P("root.key") + " -cert " + P("root.pem") +
      " -revoke " + P("u2.pem") + " 2>&1 && openssl ca -config revoke.cnf -engine gost -gencrl -keyfile " +
      P("root.key") + " -cert " + P("root.pem") + " -out revoked.crl 2>&1 && openssl cms -sign -engine gost -binary"
      " -nodetach -outform DER -in " + P("doc.txt") + " -signer " + P("u2.pem") + " -inkey " + P("u2.key") +
      " -out signed.p7s 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  ASSERT_EQ(Vexor("store add-root " + P("root.pem")).status, 0);
  ASSERT_EQ(Lib("cert import --crl " + home_ + "/revoked.crl").status, 0);
  const Result checked = Lib("cert check " + P("u2.pem"));
  EXPECT_EQ(checked.status, 14) << checked.out;
  EXPECT_NE(checked.out.find("NOT valid"), std::string::npos) << checked.out;
  const Result verified = Lib("verify -i " + home_ + "/signed.p7s --check-validity");
  EXPECT_EQ(verified.status, 14) << verified.out;
  EXPECT_NE(verified.out.find("certificate INVALID"), std::string::npos) << verified.out;
  EXPECT_EQ(Lib("cert check " + P("u1.pem")).status, 0);  // its sibling is not revoked
}

// The list cert check shows is one the issuer's key signed: a trusted look-alike root of the
// same name, whose list was imported, does not make that list the one in use.
TEST_F(ToolTest, TheListShownIsOneTheIssuerSigned) {
  const Result made = Sh(
      "cd '" + home_ + "' && openssl req -x509 -engine gost -newkey gost2001 -pkeyopt paramset:A -nodes -keyout"
      " fake.key -out fake.pem -subj '/CN=Tool Root' -days 30 -addext basicConstraints=critical,CA:TRUE 2>&1 && "
      "touch fake.txt && echo 01 > fakenumber && printf '[ca]\\ndefault_ca=d\\n[d]\\ndatabase=fake.txt\\n"
      "crlnumber=fakenumber\\ndefault_md=md_gost94\\ndefault_crl_days=3\\n' > fake.cnf && openssl ca -config"
      " fake.cnf -engine gost -gencrl -keyfile fake.key -cert fake.pem -out fake.crl 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  ASSERT_EQ(Vexor("store add-root " + P("root.pem")).status, 0);
  ASSERT_EQ(Vexor("store add-root " + home_ + "/fake.pem").status, 0);
  ASSERT_EQ(Lib("cert import --crl " + home_ + "/fake.crl").status, 0);
  const Result shown = Lib("cert check " + P("u1.pem"));
  EXPECT_NE(shown.out.find("revocation list: none at hand"), std::string::npos) << shown.out;
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
  // A document beyond what the XML library takes is refused unread, not cut to 32 bits.
  std::ofstream(P("big.xml")).close();
  fs::resize_file(P("big.xml"), (64u << 20) + 1);
  const Result big = Lib("decrypt --format xml -i " + P("big.xml") + " -o " + P("plain.xml"));
  EXPECT_EQ(big.status, 6) << big.out;
  EXPECT_FALSE(fs::exists(P("plain.xml")));
}

TEST_F(ToolTest, DemoRunsToASuccessfulSummary) {
  const Result demo = Vexor("demo");
  EXPECT_EQ(demo.status, 0) << demo.out;
  EXPECT_NE(demo.out.find(" 0 failed"), std::string::npos) << demo.out;
}

// Pipes in and out: the tool keeps a pipe aside in the temporary folder, so the library sees a
// stream it can measure; '-' names the standard streams. openssl reads what came out.
TEST_F(ToolTest, PipesInAndOut) {
  InstallUser();
  ASSERT_EQ(Vexor("store add-my " + P("u2.pem")).status, 0);
  const std::string vexor = Env() + VEXOR_BIN_DIR "/vexor ";
  const std::string w = " --workdir '" + work_ + "'";
  // 20 MB through sign and unpack, pipe to pipe.
  // The file is complete before the pipeline starts: cmp must not open it while tee creates it.
  ASSERT_EQ(Sh("head -c 20000000 /dev/urandom > " + work_ + "/big.bin").status, 0);
  const Result big = Sh("cat " + work_ + "/big.bin | " + vexor + "sign --quiet --signer s@example.ru" + w +
                        " | cat | " + vexor + "unpack -i -" + w + " | cmp - " + work_ + "/big.bin");
  EXPECT_EQ(big.status, 0) << big.out;
  ASSERT_EQ(Sh("cat " + P("doc.txt") + " | " + vexor + "sign --signer s@example.ru" + w + " | cat > " + work_ +
               "/doc.p7s").status, 0);
  EXPECT_EQ(Openssl("cms -verify -noverify -inform DER -in " + work_ + "/doc.p7s"), "document body\n");
  const Result verified = Sh("cat " + work_ + "/doc.p7s | " + vexor + "verify -o -" + w);
  EXPECT_EQ(verified.status, 0) << verified.out;
  EXPECT_NE(verified.out.find("document body"), std::string::npos) << verified.out;
  ASSERT_EQ(Lib("sign --detached --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/d.p7s").status, 0);
  EXPECT_EQ(Sh("cat " + P("doc.txt") + " | " + vexor + "verify -i " + work_ + "/d.p7s --content -" + w).status, 0);
  EXPECT_EQ(Sh("cat " + P("doc.txt") + " | " + vexor + "verify --content -" + w).status, 64);
  // Encrypted to a pipe, decrypted from one.
  const Result round = Sh("cat " + P("doc.txt") + " | " + vexor + "encrypt --from s@example.ru --to Other" + w +
                          " | cat | " + vexor + "decrypt -o -" + w);
  EXPECT_EQ(round.status, 0) << round.out;
  EXPECT_EQ(round.out, "document body\n");
  // Certificates from a pipe.
  EXPECT_EQ(Sh("cat " + P("u1.pem") + " | " + vexor + "cert check -" + w).status, 0);
  ASSERT_EQ(Sh("cat " + P("u2.pem") + " | " + vexor + "cert import -" + w).status, 0);
  EXPECT_NE(Lib("cert list").out.find("CN=Other"), std::string::npos);
  // Nothing of it is left in the temporary folder.
  const std::string tmp = home_ + "/tmp";
  fs::create_directories(tmp);
  EXPECT_EQ(Sh("cat " + work_ + "/doc.p7s | TMPDIR=" + tmp + " " + vexor + "verify" + w).status, 0);
  EXPECT_TRUE(fs::is_empty(tmp));
}

// PEM both ways with openssl cms: what the tool writes with --pem openssl reads with -inform
// PEM, and what openssl writes as PEM (CMS, PKCS7) the tool reads as it comes.
TEST_F(ToolTest, PemBothWaysWithOpenssl) {
  InstallUser();
  ASSERT_EQ(Vexor("store add-my " + P("u2.pem")).status, 0);
  const std::string pem = work_ + "/doc.pem";
  ASSERT_EQ(Lib("sign --pem --signer s@example.ru -i " + P("doc.txt") + " -o " + pem).status, 0);
  EXPECT_EQ(Sh("head -1 " + pem).out, "-----BEGIN CMS-----\n");
  EXPECT_EQ(Sh("awk 'length > 64' " + pem).out, "");
  EXPECT_EQ(Openssl("cms -verify -noverify -inform PEM -in " + pem), "document body\n");
  EXPECT_EQ(Lib("verify -i " + pem + " --expect s@example.ru").status, 0);
  const std::string enc = work_ + "/doc.p7m.pem";
  ASSERT_EQ(Lib("encrypt --pem --from s@example.ru --to Other -i " + P("doc.txt") + " -o " + enc).status, 0);
  EXPECT_EQ(Openssl("cms -decrypt -inform PEM -in " + enc + " -recip " + P("u2.pem") + " -inkey " + P("u2.key")),
            "document body\n");
  // openssl's PEM, under both labels it writes.
  ASSERT_EQ(Sh("openssl cms -sign -engine gost -binary -nodetach -signer " + P("u2.pem") + " -inkey " + P("u2.key") +
               " -in " + P("doc.txt") + " -outform PEM -out " + work_ + "/o.pem").status, 0);
  EXPECT_EQ(Sh("head -1 " + work_ + "/o.pem").out, "-----BEGIN CMS-----\n");
  const Result cms = Lib("verify -i " + work_ + "/o.pem -o -");
  EXPECT_EQ(cms.status, 0) << cms.out;
  EXPECT_NE(cms.out.find("document body"), std::string::npos);
  ASSERT_EQ(Sh("openssl cms -cmsout -engine gost -in " + work_ + "/o.pem -inform PEM -outform DER | openssl pkcs7"
               " -inform DER -outform PEM -out " + work_ + "/o7.pem").status, 0);
  EXPECT_EQ(Sh("head -1 " + work_ + "/o7.pem").out, "-----BEGIN PKCS7-----\n");
  EXPECT_EQ(Sh("cat " + work_ + "/o7.pem | " + Env() + VEXOR_BIN_DIR "/vexor unpack --workdir " + work_).out,
            "document body\n");
  ASSERT_EQ(Sh("openssl cms -encrypt -engine gost -binary -gost89 -in " + P("doc.txt") + " -outform PEM -out " + work_ +
               "/o.p7m " + P("u1.pem")).status, 0);
  const Result dec = Lib("decrypt -i " + work_ + "/o.p7m -o -");
  EXPECT_EQ(dec.status, 0) << dec.out;
  EXPECT_EQ(dec.out, "document body\n");
  // A cut PEM, or the PEM of something else, is refused before the library sees it.
  ASSERT_EQ(Sh("head -3 " + pem + " > " + work_ + "/cut.pem").status, 0);
  const Result cut = Lib("verify -i " + work_ + "/cut.pem");
  EXPECT_EQ(cut.status, 4) << cut.out;
  EXPECT_NE(cut.out.find("does not decode"), std::string::npos) << cut.out;
  const Result cert = Lib("verify -i " + P("u1.pem"));
  EXPECT_EQ(cert.status, 4) << cert.out;
  EXPECT_NE(cert.out.find("not a message"), std::string::npos) << cert.out;
}

// Each --json parses, and its dates and serial numbers are those openssl gives.
TEST_F(ToolTest, JsonOfEveryCommand) {
  InstallUser();
  ASSERT_EQ(Lib("cert import " + P("u1.pem")).status, 0);
  ASSERT_EQ(Lib("sign --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/doc.p7s").status, 0);
  ASSERT_EQ(Lib("sign --detached --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/d.p7s").status, 0);
  std::string serial = Sh("openssl x509 -in " + P("u1.pem") + " -noout -serial").out;
  serial = serial.substr(serial.find('=') + 1, serial.find('\n') - serial.find('=') - 1);
  std::string not_after = Sh("date -u -d \"$(openssl x509 -in " + P("u1.pem") +
                             " -noout -enddate | cut -d= -f2)\" +%Y-%m-%dT%H:%M:%SZ").out;
  not_after.pop_back();
  // A Python predicate of c, a certificate object: u1.pem as openssl sees it.
  const std::string cert = "(lambda c: c['serialNumber'] == '" + serial + "' and c['notAfter'] == '" + not_after +
                           "' and c['thumbprint'] == '" + Thumb("u1.pem") + "' and 'Сидоров' in c['subject'])";
  // The command, and a Python expression of d, the parsed document, that must hold.
  const std::pair<std::string, std::string> cases[] = {
      {"verify -i " + work_ + "/doc.p7s --strict",
       "d['result'] == 0 and d['signers'][0]['signature'] == 'valid' and d['signers'][0]['chain']['trusted'] and "
       "d['signers'][0]['thumbprint'] == '" + Thumb("u1.pem") + "' and d['signers'][0]['signingTime'].endswith('Z')"},
      {"verify -i " + work_ + "/doc.p7s --expect Other",
       "d['result'] == 14 and d['signers'][0]['signature'] == 'unexpected signer'"},
      {"signers -i " + work_ + "/d.p7s --content " + P("doc.txt"),
       "d['result'] == 0 and [s['signature'] for s in d['signers']] == ['valid'] and " + cert +
           "(d['signers'][0]['certificate'])"},
      {"cert find s@example.ru", cert + "(d)"},
      {"cert check " + P("u1.pem"), "d['valid'] and d['result'] == 0 and " + cert + "(d['certificate'])"},
      {"cert list",
       "len(d) == 1 and " + cert + "(d[0]) and bytes.fromhex(d[0]['serialNumberStored'])[::-1].lstrip(b'\\0').hex()"
       ".upper() == d[0]['serialNumber'] and all(u[0].isdigit() for u in d[0]['keyUsages'])"},
      {"store list My", "d['store'] == 'My' and len(d['certificates']) == 1 and "
                        "d['certificates'][0]['hasPrivateKey'] and " + cert + "(d['certificates'][0])"},
      {"store list Root", "d['certificates'][0]['hasPrivateKey'] is False"},
  };
  for (const auto& [line, check] : cases) {
    SCOPED_TRACE(line);
    const Result r = Sh(Env() + VEXOR_BIN_DIR "/vexor " + line + " --json --workdir " + work_ +
                        " 2>/dev/null | python3 -c \"import json,sys; d = json.load(sys.stdin); print(" + check + ")\"");
    EXPECT_EQ(r.out, "True\n") << Lib(line + " --json").out;
  }
}

// Failures a user can act on say what to do, beside the library's own code and text.
TEST_F(ToolTest, FailuresSayWhatToDo) {
  InstallUser();
  ASSERT_EQ(Vexor("store add-my " + P("u2.pem")).status, 0);
  const Result one = Lib("encrypt --to Other -i " + P("doc.txt") + " -o " + work_ + "/x.p7m");
  EXPECT_NE(one.status, 0);
  EXPECT_NE(one.out.find("add --from with your own"), std::string::npos) << one.out;
  EXPECT_FALSE(fs::exists(work_ + "/x.p7m"));
  ASSERT_EQ(Lib("sign --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/doc.p7s").status, 0);
  const Result signature = Lib("decrypt -i " + work_ + "/doc.p7s -o " + work_ + "/x.txt");
  EXPECT_NE(signature.status, 0);
  EXPECT_NE(signature.out.find("this is a signed message"), std::string::npos) << signature.out;
  ASSERT_EQ(Lib("sign --detached --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/d.p7s").status, 0);
  const Result detached = Lib("verify -i " + work_ + "/d.p7s");
  EXPECT_NE(detached.status, 0);
  EXPECT_NE(detached.out.find("give the signed document with --content"), std::string::npos) << detached.out;
  const Result text = Lib("cert check " + P("doc.txt"));
  EXPECT_EQ(text.status, 32) << text.out;
  EXPECT_NE(text.out.find("holds no certificate"), std::string::npos) << text.out;
  const Result missing = Lib("verify -i " + work_ + "/nothing.p7s");
  EXPECT_EQ(missing.status, 4);
  EXPECT_NE(missing.out.find("nothing.p7s: No such file or directory"), std::string::npos) << missing.out;
  // A wrong PIN on decrypt.
  ASSERT_EQ(Vexor("store install --force --cert " + P("u1.pem") + " --key " + P("u1.key") + " --pin 4711").status, 0);
  ASSERT_EQ(Lib("encrypt --from s@example.ru --to Other -i " + P("doc.txt") + " -o " + work_ + "/doc.p7m").status, 0);
  std::ofstream(home_ + "/wrong") << "1234\n";
  const Result pin = Lib("decrypt -i " + work_ + "/doc.p7m -o " + work_ + "/x.txt --pin-file " + home_ + "/wrong");
  EXPECT_NE(pin.status, 0);
  EXPECT_NE(pin.out.find("the PIN of the key is wrong"), std::string::npos) << pin.out;
}

// Nothing lands in the directory the user stands in: the working directory is per user.
TEST_F(ToolTest, WorkingDirectoryIsPerUser) {
  InstallUser();
  const std::string cwd = home_ + "/cwd";
  fs::create_directories(cwd);
  const std::string vexor = Env() + VEXOR_BIN_DIR "/vexor ";
  ASSERT_EQ(Sh("cd " + cwd + " && " + vexor + "sign --signer s@example.ru -i " + P("doc.txt") + " -o doc.p7s && " +
               vexor + "verify -i doc.p7s").status, 0);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(cwd)) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"doc.p7s"});
  struct stat st {};
  ASSERT_EQ(stat((home_ + "/data/vexor").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(fs::exists(home_ + "/data/vexor/certstore.sst"));
  ASSERT_EQ(Sh("cd " + cwd + " && " + Env() + "VEXOR_WORKDIR=" + work_ + " " VEXOR_BIN_DIR "/vexor verify -i doc.p7s").status, 0);
  EXPECT_TRUE(fs::exists(work_ + "/certstore.sst"));
}
