// vexor demo: a throwaway GOST PKI made with OpenSSL and its GOST engine, installed under a
// temporary platform home, and every operation the library has run on a sample document.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tools/vexor/commands.h"
#include "tools/vexor/io.h"
#include "tools/vexor/session.h"

namespace fs = std::filesystem;

namespace {

// Runs a shell command quietly; true when it exits with 0.
bool Shell(const std::string& command, const std::string& dir) {
  const std::string line = "cd '" + dir + "' && { " + command + " ; } >>demo-openssl.log 2>&1";
  return std::system(line.c_str()) == 0;
}

class Demo {
 public:
  explicit Demo(const Args& args) : keep_(args.has("keep")), verbose_(args.has("verbose")), library_(args.get("library")) {
    std::string templ = (fs::temp_directory_path() / "vexor-demo-XXXXXX").string();
    if (mkdtemp(templ.data()) != nullptr) dir_ = templ;
  }
  ~Demo() {
    std::error_code ec;
    if (!dir_.empty() && !keep_) fs::remove_all(dir_, ec);
  }

  int Run() {
    if (dir_.empty()) {
      PrintError("cannot make a temporary directory");
      return 1;
    }
    setenv("VEXOR_CSP_HOME", (dir_ + "/csp").c_str(), 1);
    std::printf("vexor demo in %s\n", dir_.c_str());

    Step("make a GOST root and four users with openssl", [&] { return MakePki(); });
    Step("install the root into Root", [&] { return Tool({"store", "add-root", P("root.pem")}) == 0; });
    Step("install Ivanov's certificate and key into My",
         [&] { return Tool({"store", "install", "--cert", P("u1.pem"), "--key", P("u1.key"), "--no-pin"}) == 0; });
    Step("install Petrov's certificate and key into My",
         [&] { return Tool({"store", "install", "--cert", P("u2.pem"), "--key", P("u2.key"), "--no-pin"}) == 0; });
    Step("list the personal store", [&] { return Tool({"store", "list", "My"}) == 0; });
    Step("import Petrov's certificate into certstore.sst", [&] { return Lib({"cert", "import", P("u2.pem")}) == 0; });
    Step("import Ivanov's certificate, then delete it again", [&] {
      return Lib({"cert", "import", P("u1.pem")}) == 0 && Lib({"cert", "delete", "ivanov@example.ru"}) == 0;
    });
    Step("list certstore.sst", [&] { return Lib({"cert", "list"}) == 0; });
    Step("collect both certificates in a PKCS#7 file openssl reads", [&] {
      return Lib({"cert", "import", P("u1.pem"), "--to", P("bundle.p7b")}) == 0 &&
             Lib({"cert", "import", P("u2.pem"), "--to", P("bundle.p7b")}) == 0 &&
             Shell("openssl pkcs7 -inform DER -in bundle.p7b -print_certs | grep -c subject= | grep -qx 2", dir_);
    });
    Step("find Ivanov by e-mail", [&] { return Lib({"cert", "find", "ivanov@example.ru"}) == 0; });
    Step("export Petrov by common name", [&] { return Lib({"cert", "export", "Petrov", "-o", P("petrov.cer")}) == 0; });
    Step("check Ivanov's certificate", [&] { return Lib({"cert", "check", P("u1.pem")}) == 0; });
    Step("sign attached (PKCS#7)", [&] {
      return Lib({"sign", "--signer", "Ivanov", "-i", P("document.txt"), "-o", P("document.p7s")}) == 0;
    });
    Step("sign detached (PKCS#7)", [&] {
      return Lib({"sign", "--detached", "--signer", "ivanov@example.ru", "-i", P("document.txt"), "-o",
                  P("document.sig")}) == 0;
    });
    Step("openssl cms -verify accepts the attached signature", [&] {
      return Shell("openssl cms -verify -engine gost -binary -inform DER -in document.p7s -CAfile root.pem -out "
                   "verified.txt && cmp verified.txt document.txt",
                   dir_);
    });
    Step("openssl cms -verify accepts the detached signature", [&] {
      return Shell("openssl cms -verify -engine gost -binary -inform DER -in document.sig -content document.txt "
                   "-CAfile root.pem -out /dev/null",
                   dir_);
    });
    Step("verify the attached signature", [&] { return Lib({"verify", "-i", P("document.p7s")}) == 0; });
    Step("verify the detached signature",
         [&] { return Lib({"verify", "-i", P("document.sig"), "--content", P("document.txt")}) == 0; });
    Step("verify a signature made by openssl cms -sign", [&] {
      return Shell("openssl cms -sign -engine gost -binary -nodetach -outform DER -md md_gost94 -in document.txt "
                   "-signer u2.pem -inkey u2.key -out openssl.p7s",
                   dir_) &&
             Lib({"verify", "-i", P("openssl.p7s")}) == 0;
    });
    Step("unpack the attached signature", [&] {
      return Lib({"unpack", "-i", P("document.p7s"), "-o", P("unpacked.txt")}) == 0 &&
             Shell("cmp unpacked.txt document.txt", dir_);
    });
    Step("list the signers of the detached signature",
         [&] { return Lib({"signers", "-i", P("document.sig"), "--content", P("document.txt")}) == 0; });
    Step("encrypt for Ivanov and Petrov (PKCS#7)", [&] {
      return Lib({"encrypt", "--to", "ivanov@example.ru", "--to", "Petrov", "-i", P("document.txt"), "-o",
                  P("document.p7m")}) == 0;
    });
    for (const char* user : {"u1", "u2"}) {
      Step(std::string("openssl cms -decrypt opens it with ") + (user[1] == '1' ? "Ivanov's" : "Petrov's") + " key",
           [&] {
             return Shell(std::string("openssl cms -decrypt -engine gost -binary -inform DER -in document.p7m -recip ") +
                              user + ".pem -inkey " + user + ".key -out decrypted-" + user + ".txt && cmp decrypted-" +
                              user + ".txt document.txt",
                          dir_);
           });
    }
    Step("decrypt it with the key in My", [&] {
      return Lib({"decrypt", "-i", P("document.p7m"), "-o", P("decrypted.txt")}) == 0 &&
             Shell("cmp decrypted.txt document.txt", dir_);
    });
    Step("decrypt a message made by openssl cms -encrypt", [&] {
      return Shell("CRYPT_PARAMS=id-Gost28147-89-CryptoPro-A-ParamSet openssl cms -encrypt -engine gost -gost89 "
                   "-binary -outform DER -in document.txt -out openssl.p7m u2.pem",
                   dir_) &&
             Lib({"decrypt", "-i", P("openssl.p7m"), "-o", P("openssl-decrypted.txt")}) == 0 &&
             Shell("cmp openssl-decrypted.txt document.txt", dir_);
    });

    // Users with GOST R 34.10-2012 keys of both sizes (their certificates from the same root).
    for (const User2012& u : kUsers2012) {
      Step(std::string("install ") + u.who + "'s certificate and " + u.algorithm + " key into My", [&] {
        return Tool({"store", "install", "--cert", P(u.file + std::string(".pem")), "--key",
                     P(u.file + std::string(".key")), "--no-pin"}) == 0;
      });
      const std::string signed_file = P(u.file + std::string("-document.p7s"));
      Step(std::string(u.who) + " signs, the signature verifies as " + u.who + "'s", [&] {
        return Lib({"sign", "--signer", u.email, "-i", P("document.txt"), "-o", signed_file}) == 0 &&
               Lib({"verify", "-i", signed_file, "--expect", u.email}) == 0;
      });
      Step(std::string("openssl cms -verify accepts ") + u.who + "'s signature", [&] {
        return Shell("openssl cms -verify -engine gost -binary -inform DER -in " + signed_file +
                         " -CAfile root.pem -out /dev/null",
                     dir_);
      });
    }
    Step("encrypt for Sidorov and Kuznetsova (GOST R 34.10-2012 256 and 512)", [&] {
      return Lib({"encrypt", "--to", kUsers2012[0].email, "--to", kUsers2012[1].email, "-i", P("document.txt"), "-o",
                  P("document-2012.p7m")}) == 0;
    });
    for (const User2012& u : kUsers2012) {
      // Each opens it on a machine of their own: a platform home that holds only their key.
      const std::string home = P(std::string("csp-") + u.file);
      Step(std::string(u.who) + " decrypts it with the only key in a store of their own", [&] {
        const std::string own = dir_ + "/csp";
        setenv("VEXOR_CSP_HOME", home.c_str(), 1);
        const std::string out = P(std::string("decrypted-") + u.file + ".txt");
        const bool ok = Tool({"store", "add-root", P("root.pem")}) == 0 &&
                        Tool({"store", "install", "--cert", P(u.file + std::string(".pem")), "--key",
                              P(u.file + std::string(".key")), "--no-pin"}) == 0 &&
                        Lib({"decrypt", "-i", P("document-2012.p7m"), "-o", out}) == 0 &&
                        Shell("cmp '" + out + "' document.txt", dir_);
        setenv("VEXOR_CSP_HOME", own.c_str(), 1);
        return ok;
      });
      Step(std::string("openssl cms -decrypt opens it with ") + u.who + "'s key", [&] {
        return Shell(std::string("openssl cms -decrypt -engine gost -binary -inform DER -in document-2012.p7m ") +
                         "-recip " + u.file + ".pem -inkey " + u.file + ".key | cmp - document.txt",
                     dir_);
      });
    }

    Step("sign detached in the compact 141 format", [&] {
      return Lib({"sign", "--detached", "--format", "141", "--signer", "Ivanov", "-i", P("document.txt"), "-o",
                  P("document.s141")}) == 0;
    });
    Step("openssl pkeyutl verifies the 141 signature over the md_gost94 hash", [&] {
      // The last 64 bytes are the signature in CryptoAPI's order: reversed, they are the engine's.
      return Shell("perl -0777 -ne 'print scalar reverse substr($_, -64)' document.s141 > s141.sig && "
                   "openssl dgst -engine gost -md_gost94 -binary document.txt > document.hash && "
                   "openssl pkeyutl -engine gost -verify -certin -inkey u1.pem -in document.hash -sigfile s141.sig",
                   dir_);
    });
    Step("verify the 141 signature, expecting Ivanov", [&] {
      return Lib({"verify", "--format", "141", "-i", P("document.s141"), "--content", P("document.txt"), "--expect",
                  "Ivanov"}) == 0;
    });
    Step("encrypt from Ivanov to Petrov in the 141 format", [&] {
      return Lib({"encrypt", "--format", "141", "--from", "Ivanov", "--to", "Petrov", "-i", P("document.txt"), "-o",
                  P("document.e141")}) == 0;
    });
    Step("decrypt the 141 message", [&] {
      return Lib({"decrypt", "--format", "141", "-i", P("document.e141"), "-o", P("decrypted-141.txt")}) == 0 &&
             Shell("cmp decrypted-141.txt document.txt", dir_);
    });

    for (const char* encoding : {"UTF-8", "windows-1251"}) {
      const std::string tag = encoding[0] == 'U' ? "utf8" : "cp1251";
      const std::string doc = "invoice-" + tag + ".xml";
      Step(std::string("sign an XML document in ") + encoding, [&] {
        // iconv writes the Windows-1251 bytes the declaration announces.
        return Shell("printf '<?xml version=\"1.0\" encoding=\"" + std::string(encoding) +
                         "\"?>\\n<Счёт Номер=\"7\"><Сумма>1000</Сумма></Счёт>\\n' | iconv -f UTF-8 -t " +
                         encoding + " > " + doc,
                     dir_) &&
               Lib({"sign", "--format", "xml", "--signer", "Ivanov", "-i", P(doc), "-o", P("signed-" + doc)}) == 0;
      });
      Step(std::string("verify the signed XML document in ") + encoding,
           [&] { return Lib({"verify", "--format", "xml", "-i", P("signed-" + doc)}) == 0; });
      Step(std::string("encrypt the XML document in ") + encoding + " for Petrov, and decrypt it", [&] {
        return Lib({"encrypt", "--format", "xml", "--to", "Petrov", "-i", P(doc), "-o", P("encrypted-" + doc)}) == 0 &&
               Lib({"decrypt", "--format", "xml", "-i", P("encrypted-" + doc), "-o", P("decrypted-" + doc)}) == 0;
      });
    }

    std::printf("\n%d step(s) passed, %d failed\n", passed_, failed_);
    if (keep_) std::printf("files kept in %s\n", dir_.c_str());
    return failed_ == 0 ? 0 : 1;
  }

 private:
  std::string P(const std::string& name) const { return dir_ + "/" + name; }

  void Step(const std::string& what, const std::function<bool()>& body) {
    std::printf("--- %s\n", what.c_str());
    std::fflush(stdout);
    const bool ok = body();
    std::printf("[%s] %s\n", ok ? " ok " : "FAIL", what.c_str());
    std::fflush(stdout);
    ok ? ++passed_ : ++failed_;
  }

  // A tool command without the library (store administration), parsed as the command line is.
  int Tool(const std::vector<std::string>& argv) { return RunCommand(argv); }

  // A tool command that drives the library in the demo's working directory.
  int Lib(std::vector<std::string> argv) {
    argv.insert(argv.end(), {"--workdir", dir_});
    if (!library_.empty()) argv.insert(argv.end(), {"--library", library_});
    if (verbose_) argv.push_back("--verbose");
    return Tool(argv);
  }

  struct User2012 {
    const char* file;
    const char* who;
    const char* email;
    const char* algorithm;  // as the tool names it
    const char* key_options;
  };
  static constexpr User2012 kUsers2012[] = {
      {"u3", "Sidorov", "sidorov@example.ru", "GOST R 34.10-2012 256", "gost2012_256 -pkeyopt paramset:A"},
      {"u4", "Kuznetsova", "kuznetsova@example.ru", "GOST R 34.10-2012 512", "gost2012_512 -pkeyopt paramset:A"}};

  bool MakePki() {
    const char* kKey = "-engine gost -newkey gost2001 -pkeyopt paramset:A -nodes";
    std::FILE* ext = std::fopen(P("user.ext").c_str(), "w");
    if (ext == nullptr) return false;
    std::fputs("keyUsage=digitalSignature,nonRepudiation,keyEncipherment,keyAgreement\n"
               "extendedKeyUsage=emailProtection,clientAuth\n",
               ext);
    std::fclose(ext);
    if (!WriteWholeFile(P("document.txt"), "A sample document to sign.\nОбразец документа для подписи.\n"))
      return false;
    bool ok = Shell(std::string("openssl req -x509 ") + kKey +
                        " -keyout root.key -out root.pem -subj '/CN=Vexor Demo Root/O=Vexor Demo' -days 3650"
                        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign",
                    dir_);
    const char* users[][2] = {{"u1", "/CN=Ivanov/emailAddress=ivanov@example.ru"},
                              {"u2", "/CN=Petrov/emailAddress=petrov@example.ru"}};
    const auto user = [&](const std::string& n, const std::string& key, const std::string& subject) {
      return Shell("openssl req -new " + key + " -keyout " + n + ".key -out " + n + ".csr -subj '" + subject + "'",
                   dir_) &&
             Shell("openssl x509 -req -engine gost -in " + n + ".csr -CA root.pem -CAkey root.key "
                   "-CAcreateserial -days 365 -extfile user.ext -out " + n + ".pem",
                   dir_);
    };
    for (const auto& u : users) ok = ok && user(u[0], kKey, u[1]);
    for (const User2012& u : kUsers2012)
      ok = ok && user(u.file, std::string("-engine gost -newkey ") + u.key_options + " -nodes",
                      std::string("/CN=") + u.who + "/emailAddress=" + u.email);
    return ok;
  }

  bool keep_;
  bool verbose_;
  std::string library_;
  std::string dir_;
  int passed_ = 0;
  int failed_ = 0;
};

}  // namespace

int RunDemo(const Args& args) { return Demo(args).Run(); }
