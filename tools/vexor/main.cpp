// vexor: every operation of the library from a terminal, store administration, and a demo.
#include <cstdio>
#include <cstring>
#include <exception>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/vexor/commands.h"
#include "tools/vexor/io.h"

namespace {

const char kGlobalOptions[] =
    "Options every command takes, before or after its name:\n"
    "  --workdir DIR    working directory for Init (Vexor.ini, app.info, certstore.sst); default:\n"
    "                   $VEXOR_WORKDIR, else $XDG_DATA_HOME/vexor, else ~/.local/share/vexor (made 0700)\n"
    "  --library PATH   libvexor.so to load; default: ../lib/libvexor.so.1 beside the tool, else the loader's path\n"
    "  --verbose        print the library's log lines on standard error\n"
    "  --quiet          no progress bar (shown on a terminal for inputs over 4 MiB, with rate and time left)\n"
    "  --pin-file FILE  the PIN of a key container (first line of FILE) for sign, encrypt and decrypt;\n"
    "                   without it (and without $VEXOR_CSP_PIN) the tool asks on the terminal, without\n"
    "                   echo, when the key it will use needs one\n"
    "  -h, --help       explain the command\n"
    "  --version        print the tool's version (vexor --version)\n"
    "An option's value follows it (--out FILE) or is joined with '=' (--out=FILE, needed for a value that\n"
    "starts with '-'); '--' ends the options.\n"
    "A file operand or option value '-' is standard input (or output, for -o). Standard input that is a\n"
    "pipe is first copied to an unnamed file of the temporary folder ($TMPDIR, else /tmp), so any size\n"
    "goes through in bounded memory.\n"
    "Texts are UTF-8 here and Windows-1251 inside the library. The exit status is 0 on success and the\n"
    "library's result code otherwise; the result's text goes to standard error. A command line the tool\n"
    "does not accept (an unknown option, a value or operand missing, an operand too many) exits 64\n"
    "having done nothing.\n"
    "An output file (-o) appears only when the command succeeds: it is written to an unnamed file in its\n"
    "folder and linked into place (replacing an existing file keeps that file's mode); where the file\n"
    "system has no unnamed files, to FILE.vexor-part.XXXXXX (mode 0600), which a later run that writes\n"
    "into the folder removes if a killed run left it behind. Devices and FIFOs are written directly.\n";

constexpr OptionDef::Kind F = OptionDef::kFlag;
constexpr OptionDef::Kind V = OptionDef::kValue;
constexpr OptionDef::Kind R = OptionDef::kRepeated;
const OptionDef kIn{"in", V, 'i'};
const OptionDef kOut{"out", V, 'o'};
const OptionDef kFormat{"format", V};
const OptionDef kMachine{"machine", F};
const OptionDef kPem{"pem", F};
const OptionDef kJson{"json", F};

const std::vector<Command> kCommands = {
    {"sign", "sign a document (attached or detached)",
     "vexor sign --signer ID [--detached] [--format pkcs7|141|xml] [--pem] [-i IN] [-o OUT]\n"
     "  Signs IN (default: standard input) with the signer's certificate and private key and writes the\n"
     "  signature to OUT (default: standard output). ID is a thumbprint (40 hex digits, spaces allowed),\n"
     "  an e-mail address or a subject common name (exact). --pem writes the PKCS#7 signature as PEM\n"
     "  (-----BEGIN CMS-----, as openssl cms -outform PEM does); DER is the default.\n"
     "  --format 141 writes the compact binary detached signature (with --detached only): the signer's\n"
     "  thumbprint, common name and public key and the GOST R 34.10 signature of the data's hash.\n"
     "  --format xml adds an enveloped XML-DSig signature (GOST R 34.10-2001, exclusive C14N) as the\n"
     "  last child of the document element; the document's other bytes stay as they were.\n",
     RunSign,
     {{nullptr, {{kIn, kOut, kFormat, kPem, {"signer", V}, {"detached", F}}}}}},
    {"verify", "verify a signature and its signers' certificates",
     "vexor verify [-i SIGNED] [--content FILE] [-o CONTENT] [--expect ID]... [--check-validity] [--strict]\n"
     "             [--format F] [--json]\n"
     "  Verifies an attached signature, or a detached one with --content. SIGNED (default: standard\n"
     "  input) is DER or PEM (CMS, PKCS7). -o writes the signed content\n"
     "  of an attached signature (to standard output with -o -) once the verification holds, never\n"
     "  before. --expect names a certificate (thumbprint, common name, or an e-mail\n"
     "  address looked up in the stores) a verified signer must have (repeatable); --check-validity\n"
     "  also checks the signers' certificates. Prints one line per signer. Exits 0 only when the\n"
     "  message has a signer, every signature verifies, every --expect is met by a verified signer\n"
     "  and, with --check-validity, every signer's certificate is valid: 7 without any signature,\n"
     "  14 otherwise. A signature that verifies by a signer no --expect names shows as \"signature\n"
     "  valid, but not by the expected signer\".\n"
     "  By default a signer's certificate counts as valid when it is within its validity period, not\n"
     "  revoked by a CRL at hand and fit for signing; a chain that cannot be built or ends in an\n"
     "  untrusted root does not make it invalid. --strict also requires each signer's chain to end in\n"
     "  a trusted root (the Root store) with every signature and validity period in order, and prints\n"
     "  why a chain is not trusted.\n"
     "  --format 141 verifies a compact detached signature: it needs --content and one --expect, the\n"
     "  name (or part of it) the signer's common name must contain; the signer's certificate must be\n"
     "  in the stores and its public key the one the signature carries. Exits 0 for a good signature,\n"
     "  8 for another signer, an empty name or an unknown certificate, 14 for a key that is not the\n"
     "  certificate's (and, with --strict, for a chain that is not trusted), 11 for a bad or malformed\n"
     "  signature.\n"
     "  --format xml verifies the one XML-DSig signature of a document (14 when it does not hold, 11\n"
     "  for a document without a single readable signature, a DTD, or a reference elsewhere).\n"
     "  --json prints one object instead of the lines: the exit status and the signers (docs/json.md).\n",
     RunVerify,
     {{nullptr, {{kIn, kOut, kFormat, kJson, {"content", V}, {"expect", R}, {"check-validity", F}, {"strict", F}}}}}},
    {"unpack", "write the content of an attached signature",
     "vexor unpack [-i SIGNED] [-o CONTENT]\n  Writes the signed content without verifying the signature. SIGNED is DER or PEM.\n",
     RunUnpack,
     {{nullptr, {{kIn, kOut}}}}},
    {"signers", "list the signers of a detached signature",
     "vexor signers [-i SIGNED] --content FILE [--json]\n  Prints each signer's certificate and whether its signature holds;\n"
     "  exits as verify does: 7 without any signature, 14 when one does not hold. SIGNED is DER or PEM.\n"
     "  --json prints one object: the exit status and the signers with their certificates.\n",
     RunSigners,
     {{nullptr, {{kIn, kJson, {"content", V}}}}}},
    {"encrypt", "encrypt a document for recipients",
     "vexor encrypt --to ID [--to ID]... [--from ID] [--skip-missing] [--format pkcs7|141|xml] [--pem] [-i IN] [-o OUT]\n"
     "  Encrypts IN (default: standard input) for the recipients' certificates, found in My (add one\n"
     "  with 'vexor store add-my'), and writes the message to OUT (default: standard output). --from names your own certificate, so that you can read the message too;\n"
     "  the library encrypts for at least two certificates (with --from, one --to is enough).\n"
     "  --skip-missing leaves out a recipient whose certificate is not found (the log says so).\n"
     "  --pem writes the PKCS#7 message as PEM (-----BEGIN CMS-----); DER is the default.\n"
     "  --format 141 encrypts from exactly one sender (--from, with its key installed) to exactly one\n"
     "  recipient (--to) in the compact binary format; the output grows as it is written.\n"
     "  --format xml replaces the document element by an XML-Enc EncryptedData for the first --to.\n",
     RunEncrypt,
     {{nullptr, {{kIn, kOut, kFormat, kPem, {"to", R}, {"from", V}, {"skip-missing", F}}}}}},
    {"decrypt", "decrypt a document with your key",
     "vexor decrypt [--format pkcs7|141|xml] [-i IN] [-o OUT]\n"
     "  Decrypts IN (default: standard input; DER or PEM) with the key of a recipient certificate\n"
     "  installed in My and writes the plaintext to OUT (default: standard output). Exits 48 when no recipient's key is installed, naming the recipients' serial numbers.\n"
     "  --format 141 needs the sender's certificate in the stores and the recipient's key installed\n"
     "  (17 names the certificate that is missing).\n"
     "  --format xml decrypts an EncryptedData document with libvexorxml.so (beside libvexor.so).\n",
     RunDecrypt,
     {{nullptr, {{kIn, kOut, kFormat}}}}},
    {"cert", "find, export, check, import, delete or list certificates",
     "vexor cert find ID [--json]   print the certificate the library finds for ID (with its key\n"
     "    algorithm: GOST R 34.10-2001, GOST R 34.10-2012 256 or GOST R 34.10-2012 512)\n"
     "vexor cert export ID -o FILE [--pem]   write it to FILE (DER, or PEM with --pem)\n"
     "vexor cert check FILE|THUMB [--strict] [--json]   check a certificate file (PEM or DER; - for\n"
     "    standard input), or one found by thumbprint; --strict also requires its chain to end in a\n"
     "    trusted root, as verify --strict does\n"
     "vexor cert import FILE [--crl] [--to FILE.p7b]\n"
     "    adds a certificate (or with --crl a revocation list) in PEM, bare Base64 or DER to the\n"
     "    working directory's certstore.sst, or appends it to a PKCS#7 file (made empty first when\n"
     "    it does not exist). A revocation list is taken only when the key of a known certificate\n"
     "    (of the stores, or of FILE.p7b) with the list's issuer name verifies its signature and it\n"
     "    is not dated ahead of the clock; any other list is refused with 19\n"
     "vexor cert delete ID           removes the certificate ID names from certstore.sst\n"
     "vexor cert list [--json]       the certificates of certstore.sst: serial (as stored, least\n"
     "    significant byte first), subject, extended key usages, issuer, validity, key algorithm,\n"
     "    tags; control characters in them are written as \\n, \\t, \\xNN (a backslash as \\\\)\n"
     "--json (find, check, list) prints JSON as docs/json.md describes it: dates in ISO 8601 (UTC),\n"
     "    serial numbers as openssl prints them (serialNumber) and as stored (serialNumberStored)\n",
     RunCert,
     {{"find", {{kJson}, 2, 2}},
      {"export", {{kOut, {"pem", F}}, 2, 2}},
      {"check", {{{"strict", F}, kJson}, 2, 2}},
      {"import", {{{"crl", F}, {"to", V}}, 2, 2}},
      {"delete", {{}, 2, 2}},
      {"list", {{kJson}, 1, 1}}}},
    {"crl", "download the revocation lists of certstore.sst",
     "vexor crl update\n"
     "  Downloads (HTTP or HTTPS) the revocation list of every distribution point the certificates of\n"
     "  the working directory's certstore.sst name, each address once, and saves them into it. Off\n"
     "  unless Vexor.ini says SkipUpdateCRLInInit=0 and SkipUpdateCRL=0 (with UsingCustomOptions=1);\n"
     "  with SkipUpdateCRL=0 a certificate check also downloads what it lacks. An address is fetched\n"
     "  at most once in 5 minutes per process. A downloaded list that no known certificate signed\n"
     "  (the key of a certificate with the list's issuer name verifies it) is refused with 19\n"
     "  and not saved (the log names it); the update goes on with the other addresses.\n",
     RunCrl,
     {{"update", {{}, 1, 1}}}},
    {"store", "administer the platform's stores",
     "vexor store list [My|Root|CA|FILE.sst] [--machine] [--json]\n"
     "    --json prints the store's name and its certificates (with hasPrivateKey) as docs/json.md says\n"
     "vexor store install --cert CERT.pem --key KEY.pem [--container NAME] [--pin-file F | --no-pin] [--force]\n"
     "    installs a certificate into My with its private key (PKCS#8 PEM or DER, as OpenSSL writes it);\n"
     "    the key must be the certificate's, and an existing container is replaced only with --force.\n"
     "    The stored key is encrypted with its PIN: the first line of --pin-file, else $VEXOR_CSP_PIN,\n"
     "    else asked twice on the terminal (--pin PIN works too, but shows the PIN to other users);\n"
     "    --no-pin stores it unprotected. Without any of these and no terminal, nothing is installed.\n"
     "vexor store add-root CERT.pem   |   vexor store add-ca CERT.pem\n"
     "vexor store add-my CERT.pem     a certificate without a key (a recipient to encrypt for)\n"
     "vexor store sst-add FILE.sst CERT.pem   |   vexor store sst-delete FILE.sst THUMBPRINT\n"
     "    a working directory's certstore.sst changes through the library (as cert import/delete)\n"
     "  Stores live under $VEXOR_CSP_HOME (else $XDG_DATA_HOME/vexor-csp, else ~/.local/share/vexor-csp);\n"
     "  --machine uses the machine's stores ($VEXOR_CSP_MACHINE_HOME, else /var/lib/vexor-csp).\n",
     RunStore,
     {{"list", {{kMachine, kJson}, 1, 2}},
      {"install", {{{"cert", V}, {"key", V}, {"container", V}, {"pin", V}, {"no-pin", F}, {"force", F}, kMachine}, 1, 1}},
      {"add-root", {{kMachine}, 2, 2}},
      {"add-ca", {{kMachine}, 2, 2}},
      {"add-my", {{kMachine}, 2, 2}},
      {"sst-add", {{}, 3, 3}},
      {"sst-delete", {{}, 3, 3}}}},
    {"demo", "run every operation on a throwaway GOST PKI",
     "vexor demo [--keep] [--verbose]\n"
     "  Makes a root and two users with OpenSSL and its GOST engine in a temporary directory, installs\n"
     "  them under a temporary platform home, runs every operation on a sample document, prints one\n"
     "  line per step and a summary. Exits non-zero if a step failed. --keep keeps the directory.\n",
     RunDemo,
     {{nullptr, {{{"keep", F}}}}}},
};

void PrintUsage(std::FILE* to) {
  std::fprintf(to, "usage: vexor [global options] COMMAND [options]\n       vexor --version\n\nCommands:\n");
  for (const Command& c : kCommands) std::fprintf(to, "  %-8s %s\n", c.name, c.summary);
  std::fprintf(to, "\n'vexor COMMAND --help' explains a command.\n\n%s", kGlobalOptions);
}

int UsageError(const std::string& message, const Command* command) {
  std::fprintf(stderr, "vexor: %s\n\n", message.c_str());
  if (command != nullptr)
    std::fprintf(stderr, "%s\n'vexor --help' lists the options every command takes.\n", command->usage);
  else
    PrintUsage(stderr);
  return kUsageError;
}

// Every option of every action of the command, for finding the action.
Syntax AnyAction(const Command& command) {
  Syntax any;
  any.max_operands = SIZE_MAX;
  for (const Action& a : command.actions)
    for (const OptionDef& o : a.syntax.options) {
      bool known = false;
      for (const OptionDef& k : any.options) known = known || std::strcmp(k.name, o.name) == 0;
      if (!known) any.options.push_back(o);
    }
  return any;
}

}  // namespace

const std::vector<Command>& AllCommands() { return kCommands; }

int RunCommand(const std::vector<std::string>& words) {
  const std::string name = words.empty() ? std::string() : words.front();
  const Command* command = nullptr;
  for (const Command& c : kCommands)
    if (name == c.name) command = &c;
  if (command == nullptr) return UsageError("unknown command '" + name + "'", nullptr);
  const std::vector<std::string> rest(words.begin() + 1, words.end());
  const bool has_actions = command->actions.front().name != nullptr;
  Args args = Args::Parse(rest, has_actions ? AnyAction(*command) : command->actions.front().syntax);
  if (args.ok() && args.has("help")) {
    std::printf("%s\n%s", command->usage, kGlobalOptions);
    return 0;
  }
  if (args.ok() && has_actions) {
    const std::string action = args.positional().empty() ? std::string() : args.positional().front();
    const Action* found = nullptr;
    for (const Action& a : command->actions)
      if (action == a.name) found = &a;
    if (found == nullptr)
      return UsageError(action.empty() ? std::string(command->name) + " needs an action"
                                       : "unknown " + std::string(command->name) + " action '" + action + "'",
                        command);
    args = Args::Parse(rest, found->syntax);
  }
  if (!args.ok()) return UsageError(args.error(), command);
  SetQuiet(args.has("quiet"));
  // Whatever a command did not foresee ends with a message, never with an abort.
  try {
    return command->run(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vexor: %s failed: %s\n", command->name, e.what());
    return 1;
  }
}

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) {
    PrintUsage(stderr);
    return kUsageError;
  }
  if (words.front() == "help") {
    PrintUsage(stdout);
    return 0;
  }
  if (words.front() == "--version") {
    std::printf("vexor %d.%d.%d.%d\n", VEXOR_VERSION_MAJOR, VEXOR_VERSION_MINOR, VEXOR_VERSION_PATCH,
                VEXOR_VERSION_TWEAK);
    return words.size() == 1 ? 0 : UsageError("--version takes nothing else", nullptr);
  }
  // Global options may come before the command; they join the command's own.
  const Args before = Args::Parse(words, Syntax{}, true);
  if (!before.ok()) return UsageError(before.error(), nullptr);
  if (before.positional().empty()) {
    if (before.has("help")) {
      PrintUsage(stdout);
      return 0;
    }
    return UsageError("no command given", nullptr);
  }
  std::vector<std::string> globals(words.begin(), words.end() - static_cast<long>(before.positional().size()));
  if (!globals.empty() && globals.back() == "--") globals.pop_back();
  std::vector<std::string> line = {before.positional().front()};
  line.insert(line.end(), globals.begin(), globals.end());
  line.insert(line.end(), before.positional().begin() + 1, before.positional().end());
  return RunCommand(line);
}
