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

// A GOST root and two users made by openssl, and what openssl makes with them.
class ToolTest : public tool_test::ToolHome {
 protected:
  static void SetUpTestSuite() {
    const std::string key = "-engine gost -newkey gost2001 -pkeyopt paramset:A -nodes";
    auto issue = [](const std::string& user, const std::string& ca, const std::string& out, const char* days = "30") {
      return "openssl x509 -req -engine gost -CAcreateserial -extfile user.ext -in " + user + ".csr -CA " + ca +
             ".pem -CAkey " + ca + ".key -days " + days + " -out " + out + ".pem && ";
    };
    const std::string sign = "openssl cms -sign -engine gost -binary -nodetach -outform DER -in doc.txt";
    MakeSuiteFiles(
        "echo keyUsage=digitalSignature,keyEncipherment,keyAgreement > user.ext && echo 'document body' > doc.txt && "
        "openssl req -x509 " + key + " -keyout root.key -out root.pem -subj '/CN=Tool Root'"
        " -days 30 -addext basicConstraints=critical,CA:TRUE && "
        "openssl req -new -utf8 " + key + " -keyout u1.key -out u1.csr -subj '/CN=Сидоров/emailAddress=s@example.ru' && " +
        issue("u1", "root", "u1") +
        "openssl req -new " + key + " -keyout u2.key -out u2.csr -subj '/CN=Other' && " +
        issue("u2", "root", "u2") +
        // A user of a root nobody trusts, one whose certificate expires as it is made, a
        // look-alike of the root (same name, other key), a subject with control characters.
        "openssl req -x509 " + key + " -keyout rogue.key -out rogue.pem -subj '/CN=Rogue Root' -days 30"
        " -addext basicConstraints=critical,CA:TRUE && " +
        issue("u2", "rogue", "r2") + issue("u2", "root", "expired", "0") +
        "openssl req -x509 " + key + " -keyout fake.key -out fake.pem -subj '/CN=Tool Root' -days 30"
        " -addext basicConstraints=critical,CA:TRUE && "
        "openssl req -x509 " + key + " -keyout ctl.key -out ctl.pem -days 3 -utf8"
        " -subj \"/CN=$(printf 'Line\\nBreak\\tTab\\033[31m')\" && "
        // Signatures by u2, the rogue root's user and the expired one; a certificates-only
        // message; u1 in DER.
        + sign + " -signer u2.pem -inkey u2.key -out other.p7s && " +
        sign + " -signer r2.pem -inkey u2.key -out rogue.p7s && " +
        sign + " -signer expired.pem -inkey u2.key -out old.p7s && "
        "openssl crl2pkcs7 -nocrl -certfile u1.pem -outform DER -out bag.p7b && "
        "openssl x509 -in u1.pem -outform DER -out u1.der && "
        // The look-alike's list, then the root's, which revokes u2.
        "touch index.txt && echo 01 > crlnumber && printf '[ca]\\ndefault_ca=d\\n[d]\\ndatabase=index.txt\\n"
        "crlnumber=crlnumber\\ndefault_md=md_gost94\\ndefault_crl_days=7\\n' > ca.cnf && "
        "openssl ca -config ca.cnf -engine gost -gencrl -keyfile fake.key -cert fake.pem -out fake.crl 2>&1 && "
        "openssl ca -config ca.cnf -engine gost -keyfile root.key -cert root.pem -revoke u2.pem 2>&1 && "
        "openssl ca -config ca.cnf -engine gost -gencrl -keyfile root.key -cert root.pem -out root.crl 2>&1 && "
        "sleep 1");  // expired.pem lapses within the second
  }

  // What an openssl command with the GOST engine writes to -out.
  std::string Openssl(const std::string& args) const {
    const std::string out = home_ + "/openssl.out";
    fs::remove(out);
    Sh("openssl " + args + " -engine gost -out " + out);
    return tool_test::Slurp(out);
  }
  static std::string Thumb(const std::string& pem) {
    return Sh("openssl x509 -in " + P(pem) + " -noout -fingerprint -sha1 | cut -d= -f2 | tr -d ':\\n'").out;
  }
  void InstallUser() const {
    ASSERT_EQ(Vexor("store add-root " + P("root.pem")).status, 0);
    Install("u1");
  }
  // Signs doc.txt as u1 into the working directory.
  void SignDoc(const std::string& name, const std::string& options = "") const {
    const Result r = Lib("sign " + options + " --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/" + name);
    ASSERT_EQ(r.status, 0) << r.out;
  }
};

}  // namespace

// A command line the tool does not accept exits 64 before anything is done: nothing signed,
// written or installed, and never a word taken for an option's value by mistake.
TEST_F(ToolTest, CommandLineIsCheckedBeforeAnythingIsDone) {
  InstallUser();
  SignDoc("doc.p7s");
  const std::string p7s = work_ + "/doc.p7s";
  // A misspelt --expect used to swallow the expected signer and report success.
  const Result expcet = Lib("verify -i " + p7s + " --expcet " + Thumb("u2.pem"));
  EXPECT_EQ(expcet.status, 64) << expcet.out;
  EXPECT_NE(expcet.out.find("unknown option --expcet"), std::string::npos) << expcet.out;
  EXPECT_NE(expcet.out.find("vexor verify [-i SIGNED]"), std::string::npos) << expcet.out;
  // A misspelt --detached used to give an attached signature on standard output.
  const Result detatched = Sh(Tool() + "sign --detatched --signer s@example.ru -i " + P("doc.txt") + " --workdir '" +
                              work_ + "' 2>/dev/null | wc -c");
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
           "frobnicate"})
    Expect(line, 64);
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

// certstore.sst changes through the library. A key that is not the certificate's, or a
// garbage key, installs nothing; an existing container is replaced only with --force. A file
// that is not a store (here a DER certificate) is never rewritten as one.
TEST_F(ToolTest, StoreAdministration) {
  InstallUser();
  const std::string sst = work_ + "/certstore.sst", u2 = Thumb("u2.pem"), der = Sh("sha1sum < " + P("u1.der")).out;
  ASSERT_EQ(Vexor("store sst-add " + sst + " " + P("u2.pem")).status, 0);
  EXPECT_NE(Vexor("store list " + sst).out.find(u2), std::string::npos);
  EXPECT_EQ(Vexor("store sst-delete " + sst + " " + u2).status, 0);
  EXPECT_EQ(Vexor("store list " + sst).out.find(u2), std::string::npos);
  const std::string install = "store install --cert " + P("u2.pem") + " --key ";
  const struct {
    std::string args;
    int status;
    const char* text;
  } rows[] = {
      {"store sst-delete " + sst + " " + u2, 13, ""},  // a certificate the library cannot find
      {install + P("u1.key"), 27, "is not the key of the certificate"},
      {install + P("doc.txt"), 27, ""},
      {install + P("u2.key") + " --container vexor-" + Thumb("u1.pem"), 27, "exists already"},
      {"store sst-add " + P("u1.der") + " " + P("u2.pem"), 15, "not a certificate store file"},
      {"store sst-delete " + P("u1.der") + " " + Thumb("u1.pem"), 15, ""},
      // A thumbprint of the right length that is not hex is refused with a message, not a crash.
      {"store sst-delete " + sst + " " + std::string(40, 'z'), 64, "40 hex digits"},
  };
  for (const auto& row : rows) Expect(row.args, row.status, row.text);
  EXPECT_EQ(Vexor("store list My").out.find(u2), std::string::npos);
  EXPECT_EQ(Sh("sha1sum < " + P("u1.der")).out, der);
  Install("u2");
}

// Key trouble gives 27 and the message says which: a key file others may read, a missing key,
// a PIN-protected key without its PIN (no terminal here, so nothing asks) or with a wrong one.
// A PIN file that is not there gives 4; a wrong PIN on decrypt is named.
TEST_F(ToolTest, KeyProblemsAreNamed) {
  InstallUser();
  SignDoc("doc.p7s");
  const std::string sign = "sign --signer s@example.ru -i " + P("doc.txt") + " -o " + work_ + "/x.p7s";
  const std::string key_file = home_ + "/keys/vexor-" + Thumb("u1.pem") + ".key";
  ASSERT_EQ(chmod(key_file.c_str(), 0644), 0);
  Expect(sign, 27, "chmod 600");
  fs::remove(key_file);
  Expect(sign, 27, "Keyset does not exist");
  ASSERT_EQ(Vexor("store install --force --cert " + P("u1.pem") + " --key " + P("u1.key") + " --pin 4711").status, 0);
  std::ofstream(home_ + "/pin") << "4711\n";
  std::ofstream(home_ + "/wrong") << "1234\n";
  Expect(sign, 27);
  Expect(sign + " --pin-file " + home_ + "/wrong", 27);
  Expect(sign + " --pin-file " + home_ + "/missing", 4);
  Expect(sign + " --pin-file " + home_ + "/pin", 0);
  ASSERT_EQ(Vexor("store add-my " + P("u2.pem")).status, 0);
  ASSERT_EQ(Lib("encrypt --from s@example.ru --to Other -i " + P("doc.txt") + " -o " + work_ + "/doc.p7m").status, 0);
  Expect("decrypt -i " + work_ + "/doc.p7m -o " + work_ + "/x.txt --pin-file " + home_ + "/wrong", 48,
         "the PIN of the key is wrong");
}

// Failures give the library's code and its text in UTF-8 and, where a user can act on them,
// say what to do; nothing half-written is left behind.
TEST_F(ToolTest, FailuresGiveTheCodeTheTextAndWhatToDo) {
  InstallUser();
  ASSERT_EQ(Vexor("store add-my " + P("u2.pem")).status, 0);
  SignDoc("doc.p7s");
  SignDoc("d.p7s", "--detached");
  const std::string w = work_ + "/", doc = " -i " + P("doc.txt");
  const struct {
    std::string args;
    int status;
    const char* text;
  } rows[] = {
      {"sign --signer Никто" + doc + " -o " + w + "x.p7s", 17, "Никто"},
      {"sign --signer Сидоров -i /dev/null -o " + w + "x.p7s", 22, "Ошибка чтения блока данных из потока"},
      {"encrypt --to Other" + doc + " -o " + w + "x.p7m", 17, "add --from with your own"},
      {"decrypt -i " + w + "doc.p7s -o " + w + "x.txt", 46, "this is a signed message"},
      {"verify -i " + w + "d.p7s", 14, "give the signed document with --content"},
      {"cert check " + P("doc.txt"), 32, "holds no certificate"},
      {"verify -i " + w + "nothing.p7s", 4, "nothing.p7s: No such file or directory"},
  };
  for (const auto& row : rows) Expect(row.args, row.status, row.text);
  for (const char* name : {"x.p7s", "x.p7m", "x.txt"}) EXPECT_FALSE(fs::exists(w + name)) << name;
  // Writing fails half-way (here at the file-size limit): the command fails and leaves nothing.
  std::ofstream(w + "big.bin", std::ios::binary) << std::string(3 << 20, 'b');
  const Result full = Sh("trap '' XFSZ; ulimit -f 1000; " + Tool() + "sign --signer Сидоров -i " + w + "big.bin -o " + w +
                         "big.p7m --workdir '" + work_ + "'");
  EXPECT_EQ(full.status, 22) << full.out;
  for (const auto& entry : fs::directory_iterator(work_))
    EXPECT_EQ(entry.path().filename().string().rfind("big.p7m", 0), std::string::npos) << entry.path();
}

// verify exits 0 only when a signer's signature verified and every --expect was met by one.
TEST_F(ToolTest, VerifyNeverSaysValidWithoutAVerifiedExpectedSigner) {
  InstallUser();
  SignDoc("doc.p7s");
  const std::string verify = "verify -i " + work_ + "/doc.p7s";
  // The e-mail address is resolved through the library's search.
  Expect(verify + " --expect s@example.ru", 0);
  Expect(verify + " --expect " + Thumb("u1.pem"), 0);
  // -o naming a device: nothing is renamed over the device.
  Expect(verify + " -o /dev/null --check-validity", 0);
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  Expect(verify + " -o -", 0, "document body");
  // A second expected signer that did not sign.
  Expect(verify + " --expect " + Thumb("u1.pem") + " --expect Other", 14);
  // A certificates-only message has no signature at all.
  Expect("verify -i " + P("bag.p7b"), 7, "no signature");
  Expect("verify -i " + P("bag.p7b") + " --expect " + Thumb("u1.pem"), 7);
  EXPECT_NE(Lib("signers -i " + P("bag.p7b")).status, 0);
}

// The default check is lenient about chains; --strict asks for a trusted root, and
// --check-validity counts an expired signer.
TEST_F(ToolTest, StrictAndValidityChecksCount) {
  InstallUser();
  SignDoc("doc.p7s");
  Expect("verify -i " + work_ + "/doc.p7s --strict", 0, "chain trusted");
  Expect("cert check " + P("u1.pem") + " --strict", 0);
  Expect("verify -i " + P("rogue.p7s"), 0);
  Expect("verify -i " + P("rogue.p7s") + " --strict", 14, "NOT trusted");
  Expect("cert check " + P("r2.pem") + " --strict", 14);
  // The same for compact "141" signatures, whose signer the library hands back.
  const std::string s141 = "verify --format 141 --content " + P("doc.txt") + " -i " + work_;
  SignDoc("doc.s141", "--format 141 --detached");
  Expect(s141 + "/doc.s141 --expect Сидоров --strict", 0);
  ASSERT_EQ(Vexor("store install --cert " + P("r2.pem") + " --key " + P("u2.key") + " --no-pin").status, 0);
  Expect("sign --format 141 --detached --signer Other -i " + P("doc.txt") + " -o " + work_ + "/rogue.s141", 0);
  Expect(s141 + "/rogue.s141 --expect Other", 0);
  Expect(s141 + "/rogue.s141 --expect Other --strict", 14, "NOT trusted");
  Expect("verify -i " + P("old.p7s") + " --check-validity", 14, "certificate INVALID");
}

// Only a verification that holds writes the content to -o; one by a signer not expected says
// that the signature itself holds.
TEST_F(ToolTest, AFailedVerificationWritesNothing) {
  InstallUser();
  const std::string keep = work_ + "/keep.txt", p7s = work_ + "/doc.p7s";
  std::ofstream(keep) << "precious\n";
  ASSERT_EQ(chmod(keep.c_str(), 0600), 0);
  SignDoc("doc.p7s");
  ASSERT_EQ(Sh("perl -pe 's/document body/documEnt body/' < " + p7s + " > " + work_ + "/tampered.p7s").status, 0);
  std::ofstream(work_ + "/doc.xml") << "<doc>text</doc>";
  ASSERT_EQ(Lib("sign --format xml --signer s@example.ru -i " + work_ + "/doc.xml -o " + work_ + "/signed.xml").status, 0);
  ASSERT_EQ(Sh("sed -i 's/>text</>txet</' " + work_ + "/signed.xml").status, 0);

  Expect("verify -i " + work_ + "/tampered.p7s -o " + keep, 14, "signature INVALID");
  const Result to_stdout = Lib("verify -i " + work_ + "/tampered.p7s -o -");
  EXPECT_EQ(to_stdout.status, 14);
  EXPECT_EQ(to_stdout.out.find("documEnt"), std::string::npos) << to_stdout.out;
  const Result other = Lib("verify -i " + P("other.p7s") + " --expect s@example.ru -o " + keep);
  EXPECT_EQ(other.status, 14) << other.out;
  EXPECT_NE(other.out.find("signature valid, but not by the expected signer"), std::string::npos) << other.out;
  EXPECT_EQ(other.out.find("INVALID"), std::string::npos) << other.out;
  Expect("verify -i " + P("bag.p7b") + " -o " + keep, 7);
  Expect("verify --format xml -i " + work_ + "/signed.xml -o " + keep, 14);
  Expect("verify -i " + p7s + " --strict --expect Other -o " + keep, 14);
  EXPECT_EQ(tool_test::Slurp(keep), "precious\n");

  // A verification that holds replaces the file, which keeps its mode.
  Expect("verify -i " + p7s + " --expect s@example.ru -o " + keep, 0);
  EXPECT_EQ(tool_test::Slurp(keep), "document body\n");
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
  std::ofstream(big).close();
  fs::resize_file(big, 96u << 20);
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
    const Result next = Sh(std::string(named ? "VEXOR_OUTPUT_NAMED=1 " : "") + Tool() + "sign --signer s@example.ru -i " +
                           P("doc.txt") + " -o " + dir + "/small.p7s --workdir " + work_);
    ASSERT_EQ(next.status, 0) << next.out;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"small.p7s"});
    fs::remove(dir + "/small.p7s");
  }
  // A file-size limit that ends the writer.
  const Result limited =
      Sh("ulimit -f 1000; " + Tool() + "sign --signer s@example.ru -i " + big + " -o " + dir + "/big.p7m --workdir " + work_);
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
  Expect("decrypt -i " + vectors + "enveloped-keyagree.der -o " + work_ + "/none.txt", 48,
         "сертификаты шифрования: 2BF5C61EC211BD17C7DCD46266B42E21");
  EXPECT_FALSE(fs::exists(work_ + "/none.txt"));
  ASSERT_EQ(Vexor("store install --cert " + vectors + "rfc4491-gostr3410-2001-cert.pem --key " + vectors +
                  "gostr3410-2001-example-key.pem --no-pin").status, 0);
  for (const char* message : {"enveloped-keyagree.der", "enveloped-keytrans.der"}) {
    Expect("decrypt -i " + vectors + message + " -o " + work_ + "/plain.txt", 0);
    EXPECT_EQ(tool_test::Slurp(work_ + "/plain.txt"), "sample text\n") << message;
  }
}

// cert check names the revocation list at hand: one the issuer's key signed, not the list of
// a trusted look-alike root of the same name. A list imported into certstore.sst revokes the
// certificate it names however it arrives: as the file cert check is given, or as the signer
// of a message verify checks.
TEST_F(ToolTest, AnImportedListIsShownAndRevokes) {
  for (const char* root : {"root.pem", "fake.pem"}) ASSERT_EQ(Vexor("store add-root " + P(root)).status, 0);
  Expect("cert import --crl " + P("fake.crl"), 0);
  Expect("cert check " + P("u1.pem"), 0, "revocation list: none at hand");
  Expect("cert import --crl " + P("root.crl"), 0);
  const Result checked = Lib("cert check " + P("u1.pem"));  // its sibling is revoked, not it
  EXPECT_EQ(checked.status, 0) << checked.out;
  EXPECT_NE(checked.out.find("revocation list: issued "), std::string::npos) << checked.out;
  EXPECT_NE(checked.out.find("certstore.sst"), std::string::npos) << checked.out;
  Expect("cert check " + P("u2.pem"), 14, "NOT valid");
  Expect("verify -i " + P("other.p7s") + " --check-validity", 14, "certificate INVALID");
}

// Control characters of a subject are escaped: a record stays one line per field, and
// nothing reaches the terminal raw.
TEST_F(ToolTest, ListingEscapesControlCharacters) {
  ASSERT_EQ(Lib("cert import " + P("ctl.pem")).status, 0);
  const Result text = Lib("cert list");
  EXPECT_NE(text.out.find("subject       CN=\"Line\\nBreak\\tTab\\x1b[31m\"\n"), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
  const Result json = Sh(Tool() + "cert list --json --workdir " + work_ + " | python3 -c 'import json,sys; "
                         "print(json.load(sys.stdin)[0][\"subject\"] == \"CN=\\\"Line\\nBreak\\tTab\\x1b[31m\\\"\")'");
  EXPECT_EQ(json.out, "True\n");
}

TEST_F(ToolTest, XmlFailsCleanlyWithoutTheSiblingLibrary) {
  InstallUser();
  // libvexor.so alone in a folder: libvexorxml.so is looked for beside it only.
  fs::create_directories(home_ + "/lib");
  fs::copy_file(VEXOR_BIN_DIR "/../lib/libvexor.so", home_ + "/lib/libvexor.so");
  std::ofstream(home_ + "/doc.xml") << "<doc>text</doc>";
  Expect("sign --format xml --signer s@example.ru -i " + home_ + "/doc.xml -o " + home_ + "/signed.xml --library " +
         home_ + "/lib/libvexor.so", 46);
  EXPECT_FALSE(fs::exists(home_ + "/signed.xml"));
  // A document beyond what the XML library takes is refused unread, not cut to 32 bits.
  std::ofstream(home_ + "/big.xml").close();
  fs::resize_file(home_ + "/big.xml", (64u << 20) + 1);
  Expect("decrypt --format xml -i " + home_ + "/big.xml -o " + home_ + "/plain.xml", 6);
  EXPECT_FALSE(fs::exists(home_ + "/plain.xml"));
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
  const std::string vexor = Tool(), w = " --workdir '" + work_ + "'";
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
  SignDoc("d.p7s", "--detached");
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
  SignDoc("doc.pem", "--pem");
  EXPECT_EQ(Sh("head -1 " + pem).out, "-----BEGIN CMS-----\n");
  EXPECT_EQ(Sh("awk 'length > 64' " + pem).out, "");
  EXPECT_EQ(Openssl("cms -verify -noverify -inform PEM -in " + pem), "document body\n");
  Expect("verify -i " + pem + " --expect s@example.ru", 0);
  const std::string enc = work_ + "/doc.p7m.pem";
  ASSERT_EQ(Lib("encrypt --pem --from s@example.ru --to Other -i " + P("doc.txt") + " -o " + enc).status, 0);
  EXPECT_EQ(Openssl("cms -decrypt -inform PEM -in " + enc + " -recip " + P("u2.pem") + " -inkey " + P("u2.key")),
            "document body\n");
  // openssl's PEM, under both labels it writes.
  ASSERT_EQ(Sh("openssl cms -sign -engine gost -binary -nodetach -signer " + P("u2.pem") + " -inkey " + P("u2.key") +
               " -in " + P("doc.txt") + " -outform PEM -out " + work_ + "/o.pem").status, 0);
  EXPECT_EQ(Sh("head -1 " + work_ + "/o.pem").out, "-----BEGIN CMS-----\n");
  Expect("verify -i " + work_ + "/o.pem -o -", 0, "document body");
  ASSERT_EQ(Sh("openssl cms -cmsout -engine gost -in " + work_ + "/o.pem -inform PEM -outform DER | openssl pkcs7"
               " -inform DER -outform PEM -out " + work_ + "/o7.pem").status, 0);
  EXPECT_EQ(Sh("head -1 " + work_ + "/o7.pem").out, "-----BEGIN PKCS7-----\n");
  EXPECT_EQ(Sh("cat " + work_ + "/o7.pem | " + Tool() + "unpack --workdir " + work_).out, "document body\n");
  ASSERT_EQ(Sh("openssl cms -encrypt -engine gost -binary -gost89 -in " + P("doc.txt") + " -outform PEM -out " + work_ +
               "/o.p7m " + P("u1.pem")).status, 0);
  const Result dec = Lib("decrypt -i " + work_ + "/o.p7m -o -");
  EXPECT_EQ(dec.status, 0) << dec.out;
  EXPECT_EQ(dec.out, "document body\n");
  // A cut PEM, or the PEM of something else, is refused before the library sees it.
  ASSERT_EQ(Sh("head -3 " + pem + " > " + work_ + "/cut.pem").status, 0);
  Expect("verify -i " + work_ + "/cut.pem", 4, "does not decode");
  Expect("verify -i " + P("u1.pem"), 4, "not a message");
}

// Each --json parses, and its dates and serial numbers are those openssl gives.
TEST_F(ToolTest, JsonOfEveryCommand) {
  InstallUser();
  ASSERT_EQ(Lib("cert import " + P("u1.pem")).status, 0);
  SignDoc("doc.p7s");
  SignDoc("d.p7s", "--detached");
  const std::string serial = Sh("openssl x509 -in " + P("u1.pem") + " -noout -serial | cut -d= -f2 | tr -d '\\n'").out;
  const std::string not_after = Sh("date -u -d \"$(openssl x509 -in " + P("u1.pem") +
                                   " -noout -enddate | cut -d= -f2)\" +%Y-%m-%dT%H:%M:%SZ | tr -d '\\n'").out;
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
    const Result r = Sh(Tool() + line + " --json --workdir " + work_ +
                        " 2>/dev/null | python3 -c \"import json,sys; d = json.load(sys.stdin); print(" + check + ")\"");
    EXPECT_EQ(r.out, "True\n") << Lib(line + " --json").out;
  }
}

// Nothing lands in the directory the user stands in: the working directory is per user.
TEST_F(ToolTest, WorkingDirectoryIsPerUser) {
  InstallUser();
  const std::string cwd = home_ + "/cwd";
  fs::create_directories(cwd);
  const std::string vexor = Tool();
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
