// Message commands: sign, verify, unpack, signers.
#include <dlfcn.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <vector>

#include "text/text.h"
#include "tools/vexor/certificates.h"
#include "tools/vexor/commands.h"
#include "tools/vexor/io.h"
#include "tools/vexor/json.h"
#include "tools/vexor/pin.h"
#include "tools/vexor/session.h"
#include "vexor/vexor_xml.h"

namespace {

int32_t ParseFormat(const std::string& name) {
  if (name.empty() || name == "pkcs7") return VEXOR_FORMAT_PKCS7;
  if (name == "141") return VEXOR_FORMAT_141;
  if (name == "xml") return VEXOR_FORMAT_XML;
  return -1;
}

// A DATE (days since 1899-12-30, local time) as "dd.mm.yyyy HH:MM:SS".
std::string DateText(DATE date) {
  if (date == 0) return "-";
  const time_t t = static_cast<time_t>(std::llround((date - 25569.0) * 86400.0));
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof(text), "%d.%m.%Y %H:%M:%S", &tm);
  return text;
}

// A path as the messages name it.
std::string NameOf(const std::string& path) { return path.empty() || path == "-" ? "standard input" : path; }

// What failed to open among the command's input and output, printed with the reason; its exit
// status or 0. Called right after the output is made, while errno still tells why it failed.
int OpenFailure(const Args& args, const Input& in, const Output* out) {
  const int error = errno;
  if (!in.ok()) {
    PrintError("cannot read " + NameOf(args.get("in")) + ": " + in.error());
    return 4;
  }
  if (out != nullptr && !out->ok()) {
    PrintError("cannot write " + args.get("out") + ": " + std::strerror(error));
    return 5;
  }
  return 0;
}

// A read of the input that failed under the library, printed; its
// exit status or 0. The command fails with it even where the library took what it had read
// for the whole input.
int ReadFailure(const std::string& path, const Input& in) {
  const std::string error = in.readError();
  if (error.empty()) return 0;
  PrintError("cannot read " + NameOf(path) + ": " + error);
  return 4;
}

// What a message is, from its first bytes (the outer headers of its DER).
enum class MessageKind { kUnknown, kAttachedSignature, kDetachedSignature, kEnveloped };

MessageKind KindOfMessage(const std::string& head) {
  // The element at `at`: its tag, where its contents start and end (npos: indefinite length).
  struct Element {
    uint8_t tag = 0;
    size_t value = 0;
    size_t end = 0;
  };
  auto read = [&head](size_t at, Element& e) {
    if (at == std::string::npos || at + 2 > head.size()) return false;
    e.tag = static_cast<uint8_t>(head[at]);
    size_t length = static_cast<uint8_t>(head[at + 1]);
    size_t p = at + 2;
    if (length == 0x80) {
      e.value = p;
      e.end = std::string::npos;
      return true;
    }
    if ((length & 0x80) != 0) {
      const size_t octets = length & 0x7f;
      if (octets == 0 || octets > 4 || p + octets > head.size()) return false;
      length = 0;
      for (size_t i = 0; i < octets; ++i) length = (length << 8) | static_cast<uint8_t>(head[p++]);
    }
    e.value = p;
    e.end = p + length;
    return true;
  };
  static const std::string kSigned("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02", 11);
  static const std::string kEnveloped("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x03", 11);
  Element info, type, explicit0, signed_data, version, digests, encap, content_type;
  if (!read(0, info) || info.tag != 0x30 || !read(info.value, type) || type.tag != 0x06) return MessageKind::kUnknown;
  const std::string oid = head.substr(info.value, type.end - info.value);
  if (oid == kEnveloped) return MessageKind::kEnveloped;
  if (oid != kSigned) return MessageKind::kUnknown;
  if (!read(type.end, explicit0) || explicit0.tag != 0xA0 || !read(explicit0.value, signed_data) ||
      !read(signed_data.value, version) || version.tag != 0x02 || !read(version.end, digests) || digests.tag != 0x31 ||
      !read(digests.end, encap) || encap.tag != 0x30 || !read(encap.value, content_type) || content_type.tag != 0x06)
    return MessageKind::kAttachedSignature;
  return encap.end == content_type.end ? MessageKind::kDetachedSignature : MessageKind::kAttachedSignature;
}

// Standard input read twice is read once: refused.
bool BothStandardInput(const Args& args, const char* other) {
  auto standard = [](const std::string& p) { return p.empty() || p == "-"; };
  if (!standard(args.get("in")) || !args.has(other) || !standard(args.get(other))) return false;
  PrintError(std::string("-i and --") + other + " cannot both be standard input");
  return true;
}

// The --format option, printed when unknown (-1).
int32_t FormatOption(const Args& args) {
  const int32_t format = ParseFormat(args.get("format"));
  if (format < 0) PrintError("unknown format " + args.get("format"));
  return format;
}

// The --expect criteria. An e-mail address is resolved through the library's search, as
// sign --signer is, and expected by its thumbprint; thumbprints and common names are
// compared with the message's certificates as they are. 0, or the exit status of an
// address no certificate has.
int ExpectedSigners(const Args& args, Session& session, std::vector<SignerCheckResult>& criteria) {
  for (const std::string& id : args.all("expect")) {
    SignerCheckResult r;
    static_cast<CertPartyParam&>(r) = PartyFromText(id);
    if (!r.email.empty()) {
      CRYPT_DATA_BLOB found{0, nullptr};
      const int32_t rc = session.Run("FindCertificate", [&] { return session.vexor().FindCertificate(r.email.c_str(), &found); });
      if (rc != 0) {
        PrintError("no certificate for --expect " + id);
        return rc;
      }
      PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, found.pbData, found.cbData);
      session.vexor().FreeBuffer(&found);
      if (cert == nullptr) return 32;
      r.email.clear();
      r.thumbprint = ThumbprintHex(cert);
      CertFreeCertificateContext(cert);
    }
    criteria.push_back(r);
  }
  return 0;
}

// Letters and digits only, upper-cased: thumbprints compare this way.
std::string Compact(const std::string& text) {
  std::string out;
  for (char c : text)
    if (std::isalnum(static_cast<unsigned char>(c))) out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// Whether the signer is the one the criterion names: the same thumbprint, or a subject whose
// common name is the criterion's.
bool Matches(const SignerCheckResult& criterion, const SignerCheckResult& signer) {
  if (!criterion.thumbprint.empty() && Compact(signer.thumbprint) == Compact(criterion.thumbprint)) return true;
  if (criterion.subjectCN.empty()) return false;
  const std::string cn = "CN=" + criterion.subjectCN;
  const size_t at = signer.subjectCN.find(cn);
  const size_t end = at + cn.size();
  return at != std::string::npos && (at == 0 || signer.subjectCN[at - 1] == ' ') &&
         (end == signer.subjectCN.size() || signer.subjectCN[end] == ',');
}

// Whether a signer whose signature verified meets the criterion.
bool MetBy(const SignerCheckResult& criterion, const std::vector<SignerCheckResult>& signers) {
  for (const SignerCheckResult& s : signers)
    if (s.signValid && Matches(criterion, s)) return true;
  return false;
}

// The --strict verdict per signer, one line each.
void PrintChains(const SignerCheckList& list, const std::vector<std::string>& troubles) {
  for (size_t i = 0; i < troubles.size() && i < list.items.size(); ++i)
    std::printf("signer %s: chain %s\n", list.items[i].thumbprint.c_str(),
                troubles[i].empty() ? "trusted" : ("NOT trusted: " + troubles[i]).c_str());
}

// Whether a signer is one an --expect names (any signer, without --expect).
bool Expected(const SignerCheckResult& r, const std::vector<SignerCheckResult>& criteria) {
  bool expected = criteria.empty();
  for (const SignerCheckResult& c : criteria) expected = expected || Matches(c, r);
  return expected;
}

// What verify found: with --json one object (docs/json.md), else one line per signer and,
// with --strict, one per signer's chain. A signature that verified but is not by a signer
// --expect names says so: the signature holds, the signer is not the one asked for.
// `troubles` holds the --strict verdict per signer (empty: its chain is trusted), or nothing.
void Report(const Args& args, const SignerCheckList& list, const std::vector<SignerCheckResult>& criteria,
            const std::vector<std::string>& troubles, int status) {
  const bool json = args.has("json");
  std::vector<std::string> items;
  for (size_t i = 0; i < list.items.size(); ++i) {
    const SignerCheckResult& r = list.items[i];
    const bool expected = Expected(r, criteria);
    if (json) {
      JsonObject o;
      o.Text("signature", !r.signValid ? "invalid" : expected ? "valid" : "unexpected signer")
          .Bool("certificateValid", r.certValid)
          .TextOrNull("signingTime", IsoDate(r.signTime))
          .Text("subject", text::Cp1251ToUtf8(r.subjectCN))
          .Text("thumbprint", r.thumbprint);
      if (i < troubles.size())
        o.Raw("chain", JsonObject().Bool("trusted", troubles[i].empty()).TextOrNull("reason", troubles[i]).str());
      items.push_back(o.str());
      continue;
    }
    const char* signature = !r.signValid ? "INVALID" : expected ? "valid" : "valid, but not by the expected signer";
    std::printf("signer: signature %s, certificate %s, signed %s\n  %s\n  %s\n", signature,
                r.certValid ? "valid" : "INVALID", DateText(r.signTime).c_str(), text::Cp1251ToUtf8(r.subjectCN).c_str(),
                r.thumbprint.c_str());
  }
  if (json) {
    std::printf("%s\n", JsonObject().Number("result", status).Raw("signers", JsonArray(items)).str().c_str());
    return;
  }
  PrintChains(list, troubles);
}

// The exit status of a verification the library answered with 0: only a message with at
// least one signer, every signature verified, every --expect met by a verified signer and,
// with --check-validity, every signer's certificate valid exits 0.
int VerdictStatus(const Args& args, const std::vector<SignerCheckResult>& criteria, const SignerCheckList& list) {
  if (list.items.empty()) {
    PrintError("the message holds no signature");
    return 7;
  }
  for (const SignerCheckResult& r : list.items)
    if (!r.signValid) return 14;
  for (const SignerCheckResult& c : criteria) {
    if (!MetBy(c, list.items)) {
      PrintError("no verified signer matches an --expect");
      return 14;
    }
  }
  if (args.has("check-validity")) {
    for (const SignerCheckResult& r : list.items)
      if (!r.certValid) return 14;
  }
  return 0;
}

// The signer's certificate among the message's own (when the message is a file) or in the
// stores, by its thumbprint; null when neither has it.
PCCERT_CONTEXT SignerCertificate(const std::string& thumbprint, HCERTSTORE message_certs) {
  const std::string hex = Compact(thumbprint);
  if (hex.size() != 40 || hex.find_first_not_of("0123456789ABCDEF") != std::string::npos) return nullptr;
  BYTE hash[20];
  for (size_t i = 0; i < 20; ++i) hash[i] = static_cast<BYTE>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  CRYPT_HASH_BLOB blob{20, hash};
  for (const char* name : {"", "My", "CA", "Root"}) {
    StoreHandle other(*name != 0 ? OpenNamedStore(name, CERT_SYSTEM_STORE_CURRENT_USER) : nullptr);
    HCERTSTORE store = *name != 0 ? other.get() : message_certs;
    if (store == nullptr) continue;
    if (PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                         CERT_FIND_SHA1_HASH, &blob, nullptr))
      return cert;
  }
  return nullptr;
}

// --strict: every signer's chain must end in a trusted root with every signature in order.
// The verdict per signer goes to troubles (empty: trusted); 0 or 14.
int StrictStatus(const Args& args, const SignerCheckList& list, std::vector<std::string>& troubles) {
  const StoreHandle message_certs([&]() -> HCERTSTORE {
    std::string message;
    if (args.get("in").empty() || args.get("in") == "-" || !LoadDerFile(args.get("in"), kPemMessageLabel, message))
      return nullptr;
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(message.size()), reinterpret_cast<BYTE*>(message.data())};
    return CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, &blob);
  }());
  int status = 0;
  troubles.clear();
  for (const SignerCheckResult& r : list.items) {
    PCCERT_CONTEXT cert = SignerCertificate(r.thumbprint, message_certs.get());
    const std::string trouble = cert != nullptr ? ChainTrouble(cert, message_certs.get()) : "its certificate is not at hand";
    if (cert != nullptr) CertFreeCertificateContext(cert);
    troubles.push_back(trouble);
    if (!trouble.empty()) status = 14;
  }
  return status;
}

// A compact "141" signature: the library checks it against the one expected signer and
// hands back that signer when the signature holds; --strict then checks its chain as for
// PKCS#7.
int Verify141(const Args& args, Session& session, Input& in) {
  if (!args.has("content") || args.all("expect").size() != 1) {
    PrintError("--format 141 verifies a detached signature: give --content and one --expect");
    return kUsageError;
  }
  Input content(args.get("content"), "content");
  if (!content.ok()) {
    PrintError("cannot read " + args.get("content"));
    return 4;
  }
  SignerCheckList list;
  list.items.emplace_back();
  static_cast<CertPartyParam&>(list.items.back()) = PartyFromText(args.get("expect"));
  const int32_t rc = session.Run("check_stream_d", [&] {
    return session.vexor().check_stream_d(in.stream(), content.stream(), list, 0, VEXOR_FORMAT_141);
  });
  if (const int failure = ReadFailure(args.get("in"), in)) return failure;
  if (const int failure = ReadFailure(args.get("content"), content)) return failure;
  std::vector<std::string> troubles;
  int status = rc;
  if (rc != 0) {
    list.items.clear();
  } else if (args.has("strict")) {
    status = list.items.empty() ? 14 : StrictStatus(args, list, troubles);
  }
  for (SignerCheckResult& r : list.items) r.signValid = true;  // what the library hands back verified
  if (!args.has("json") && rc == 0) std::printf("signature valid, signed by %s\n", args.get("expect").c_str());
  if (args.has("json"))
    Report(args, list, {}, troubles, status);
  else
    PrintChains(list, troubles);
  return status;
}

// The certificate the library finds for an identifier (as its own search picks a signer);
// null when it finds none.
PCCERT_CONTEXT FoundCertificate(Session& session, const std::string& id) {
  CRYPT_DATA_BLOB found{0, nullptr};
  const CertPartyParam party = PartyFromText(id);
  const std::string text = !party.thumbprint.empty() ? party.thumbprint
                           : !party.email.empty()    ? party.email
                                                     : party.subjectCN;
  if (session.vexor().FindCertificate(text.c_str(), &found) != 0) return nullptr;
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, found.pbData, found.cbData);
  session.vexor().FreeBuffer(&found);
  return cert;
}

// The PIN for the key of the certificate `id` names (any key of My without one).
int PinFor(const Args& args, Session& session, const std::string& id) {
  if (!MayAskForPin(args)) return ProvidePin(args, nullptr);  // the certificate is not needed
  PCCERT_CONTEXT cert = id.empty() ? nullptr : FoundCertificate(session, id);
  if (!id.empty() && cert == nullptr) return 0;  // the command itself says what is missing
  const int status = ProvidePin(args, cert);
  if (cert != nullptr) CertFreeCertificateContext(cert);
  return status;
}

// An XML document decrypted by the sibling XML library (the library's own slot does not
// decrypt XML), loaded from beside libvexor.so.
int DecryptXmlDirectly(Session& session, Input& in, Output& out) {
  const std::string dir = session.libraryPath().find('/') == std::string::npos
                              ? std::string()
                              : session.libraryPath().substr(0, session.libraryPath().rfind('/') + 1);
  void* xml = dlopen((dir + VEXORXML_SONAME).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (xml == nullptr) {
    PrintError(std::string("cannot load " VEXORXML_SONAME ": ") + dlerror());
    return 46;
  }
  using Decrypt = int (*)(const void*, int, void**, int*);
  using FreeMem = void (*)(void**);
  const auto decrypt = reinterpret_cast<Decrypt>(dlsym(xml, "VexorXmlDecrypt"));
  const auto free_mem = reinterpret_cast<FreeMem>(dlsym(xml, "VexorXmlFreeMem"));
  int rc = 46;
  if (decrypt != nullptr && free_mem != nullptr) {
    // The XML library takes documents up to its bound: read one byte more to know, never the
    // whole of a larger input.
    std::string document;
    std::vector<char> chunk(1 << 20);
    while (document.size() <= static_cast<size_t>(VEXORXML_MAX_DOCUMENT) &&
           in.stream().read(chunk.data(), static_cast<std::streamsize>(chunk.size())).gcount() > 0)
      document.append(chunk.data(), static_cast<size_t>(in.stream().gcount()));
    if (document.size() > static_cast<size_t>(VEXORXML_MAX_DOCUMENT)) {
      PrintError("the XML document is larger than the " + std::to_string(VEXORXML_MAX_DOCUMENT >> 20) +
                 " MiB the XML library takes; nothing decrypted");
      rc = 6;
    } else {
      void* result = nullptr;
      int length = 0;
      rc = decrypt(document.data(), static_cast<int>(document.size()), &result, &length);
      if (rc == 0) out.stream().write(static_cast<const char*>(result), length);
      free_mem(&result);
      if (rc != 0) PrintError("the XML document does not decrypt: " + std::to_string(rc));
    }
  }
  dlclose(xml);
  return rc;
}

// The --pem option, for PKCS#7 only; false (printed) with another format.
bool PemOption(const Args& args, int32_t format, Output& out) {
  if (!args.has("pem")) return true;
  if (format != VEXOR_FORMAT_PKCS7) {
    PrintError("--pem writes PKCS#7 (CMS) messages only");
    return false;
  }
  out.WritePem(kPemMessageLabel);
  return true;
}

// Messages in PKCS#7 may come as PEM.
Input::Kind MessageInput(int32_t format) {
  return format == VEXOR_FORMAT_PKCS7 ? Input::Kind::kMessage : Input::Kind::kAsIs;
}

// Puts a command's output in place after success; the exit status.
int Finish(const Args& args, int32_t rc, const Input& in, Output& out) {
  if (const int failure = ReadFailure(args.get("in"), in)) return failure;
  if (rc == 0 && !out.commit()) {
    PrintError("cannot write " + (args.get("out").empty() ? std::string("standard output") : args.get("out")));
    return 5;
  }
  return rc;
}

}  // namespace

int RunSign(const Args& args) {
  const int32_t format = FormatOption(args);
  if (format < 0) return kUsageError;
  if (!args.has("signer")) {
    PrintError("sign needs --signer");
    return kUsageError;
  }
  Input in(args.get("in"), "signing");
  Output out(args.get("out"));
  if (const int failure = OpenFailure(args, in, &out)) return failure;
  if (!PemOption(args, format, out)) return kUsageError;
  Session session(args);
  if (!session.ok()) return 1;
  if (const int status = PinFor(args, session, args.get("signer"))) return status;
  const CertPartyParam party = PartyFromText(args.get("signer"));
  const bool detached = args.has("detached");
  const int32_t rc = session.Run(detached ? "sign_stream_d" : "sign_stream_a", [&] {
    return detached ? session.vexor().sign_stream_d(party, in.stream(), out.stream(), format)
                    : session.vexor().sign_stream_a(party, in.stream(), out.stream(), format);
  });
  return Finish(args, rc, in, out);
}

int RunVerify(const Args& args) {
  const int32_t format = FormatOption(args);
  if (format < 0) return kUsageError;
  if (args.has("content") && args.has("out")) {
    PrintError("-o writes the content of an attached signature; a detached one has it in --content");
    return kUsageError;
  }
  if (BothStandardInput(args, "content")) return kUsageError;
  Input in(args.get("in"), "verifying", MessageInput(format));
  if (const int failure = OpenFailure(args, in, nullptr)) return failure;
  Session session(args);
  if (!session.ok()) return 1;
  if (format == VEXOR_FORMAT_141) return Verify141(args, session, in);
  // The library is given no criteria, so that it verifies every signer; the tool matches
  // the verified signers with the --expect criteria itself.
  std::vector<SignerCheckResult> criteria;
  if (const int failure = ExpectedSigners(args, session, criteria)) return failure;
  SignerCheckList list;
  list.checkValidity = args.has("check-validity");
  const bool expected = args.has("expect") || args.has("check-validity");
  // The content goes to -o (standard output too) only once the whole verification holds.
  Output out = args.has("out") ? Output(args.get("out"), true) : Output::Discard();
  if (!out.ok()) {
    PrintError("cannot write " + args.get("out") + ": " + std::strerror(errno));
    return 5;
  }
  int32_t rc;
  if (args.has("content")) {
    Input content(args.get("content"), "content");
    if (!content.ok()) {
      PrintError("cannot read " + NameOf(args.get("content")) + ": " + content.error());
      return 4;
    }
    rc = session.Run("check_stream_d", [&] {
      return expected ? session.vexor().check_stream_d(in.stream(), content.stream(), list, 0, format)
                      : session.vexor().check_stream_d(in.stream(), content.stream(), list, format);
    });
    if (const int failure = ReadFailure(args.get("content"), content)) return failure;
  } else if (args.has("out") || expected || format == VEXOR_FORMAT_XML) {
    // Without -o the content is checked but wanted by nobody: nothing is written.
    rc = session.Run("check_stream_a",
                     [&] { return session.vexor().check_stream_a(in.stream(), list, out.stream(), 0, format); });
  } else {
    rc = session.Run("check_stream_a", [&] { return session.vexor().check_stream_a(in.stream(), list, format); });
  }
  if (const int failure = ReadFailure(args.get("in"), in)) return failure;
  int status = rc != 0 ? rc : VerdictStatus(args, criteria, list);
  std::vector<std::string> troubles;
  if (status == 0 && args.has("strict")) status = StrictStatus(args, list, troubles);
  Report(args, list, criteria, troubles, status);
  if (status != 0 && !args.has("content") && format == VEXOR_FORMAT_PKCS7 &&
      KindOfMessage(in.Head(4096)) == MessageKind::kDetachedSignature)
    PrintError("  the signature is detached: give the signed document with --content FILE");
  if (status == 0 && !out.commit()) {
    PrintError("cannot write " + args.get("out"));
    return 5;
  }
  return status;
}

int RunEncrypt(const Args& args) {
  const int32_t format = FormatOption(args);
  if (format < 0) return kUsageError;
  if (!args.has("to")) {
    PrintError("encrypt needs --to");
    return kUsageError;
  }
  Input in(args.get("in"), "encrypting");
  Output out(args.get("out"));
  if (const int failure = OpenFailure(args, in, &out)) return failure;
  if (!PemOption(args, format, out)) return kUsageError;
  Session session(args);
  if (!session.ok()) return 1;
  if (args.has("from") && format == VEXOR_FORMAT_141) {
    if (const int status = PinFor(args, session, args.get("from"))) return status;
  }
  CertPartyList parties;
  if (args.has("from")) {
    parties.push_back(PartyFromText(args.get("from")));
    parties.back().isSender = true;
  }
  for (const std::string& id : args.all("to")) parties.push_back(PartyFromText(id));
  if (args.has("skip-missing")) session.vexor().SetFlags(1, 1);
  const int32_t rc = session.Run("encrypt_stream", [&] {
    return session.vexor().encrypt_stream(in.stream(), out.stream(), parties, format);
  });
  if (rc != 0 && format == VEXOR_FORMAT_PKCS7 && parties.size() < 2)
    PrintError("  a message is encrypted for at least two certificates: add --from with your own certificate");
  return Finish(args, rc, in, out);
}

int RunDecrypt(const Args& args) {
  const int32_t format = FormatOption(args);
  if (format < 0) return kUsageError;
  Input in(args.get("in"), "decrypting", MessageInput(format));
  Output out(args.get("out"));
  if (const int failure = OpenFailure(args, in, &out)) return failure;
  Session session(args);
  if (!session.ok()) return 1;
  if (const int status = PinFor(args, session, std::string())) return status;
  const int32_t rc = format == VEXOR_FORMAT_XML
                         ? DecryptXmlDirectly(session, in, out)
                         : session.Run("decrypt_stream", [&] {
                             return session.vexor().decrypt_stream(in.stream(), out.stream(), format);
                           });
  if (rc != 0 && format == VEXOR_FORMAT_PKCS7) {
    const MessageKind kind = KindOfMessage(in.Head(4096));
    if (kind == MessageKind::kAttachedSignature || kind == MessageKind::kDetachedSignature)
      PrintError("  this is a signed message, not an encrypted one: 'vexor verify' checks it, 'vexor unpack' gives its content");
    else if (kind == MessageKind::kEnveloped && (session.callback().Saw("0x8010006B") || session.callback().Saw("0x8010006b")))
      PrintError("  the PIN of the key is wrong: give the right one with --pin-file FILE or $VEXOR_CSP_PIN");
  }
  return Finish(args, rc, in, out);
}

int RunUnpack(const Args& args) {
  Input in(args.get("in"), "unpacking", Input::Kind::kMessage);
  Output out(args.get("out"));
  if (const int failure = OpenFailure(args, in, &out)) return failure;
  Session session(args);
  if (!session.ok()) return 1;
  const int32_t rc = session.Run("unpack_signed_stream", [&] {
    return session.vexor().unpack_signed_stream(in.stream(), out.stream(), VEXOR_FORMAT_PKCS7);
  });
  return Finish(args, rc, in, out);
}

int RunSigners(const Args& args) {
  if (BothStandardInput(args, "content")) return kUsageError;
  Input in(args.get("in"), "reading", Input::Kind::kMessage);
  if (const int failure = OpenFailure(args, in, nullptr)) return failure;
  Input content(args.get("content", "/dev/null"), "content");
  if (!content.ok()) {
    PrintError("cannot read " + NameOf(args.get("content")) + ": " + content.error());
    return 4;
  }
  Session session(args);
  if (!session.ok()) return 1;
  SignerCheckList list;
  const int32_t rc = session.Run(
      "extract_signers", [&] { return session.vexor().extract_signers(in.stream(), content.stream(), list); });
  if (const int failure = ReadFailure(args.get("in"), in)) return failure;
  if (const int failure = ReadFailure(args.get("content"), content)) return failure;
  bool all_valid = true;
  std::vector<std::string> items;
  for (SignerCheckResult& r : list.items) {
    all_valid = all_valid && r.signValid;
    if (args.has("json")) {
      items.push_back(JsonObject()
                          .Text("signature", r.signValid ? "valid" : "invalid")
                          .Raw("certificate", r.cert != nullptr ? CertificateJson(r.cert).str() : "null")
                          .str());
    } else {
      std::printf("signer: signature %s\n", r.signValid ? "valid" : "INVALID");
      if (r.cert != nullptr) std::printf("  %s\n", DescribeCertificate(r.cert).c_str());
    }
    if (r.cert != nullptr) {
      CertFreeCertificateContext(r.cert);
      r.cert = nullptr;
    }
  }
  // As verify: a message without signers or with a broken signature is not a success.
  const int status = rc != 0 ? rc : list.items.empty() ? 7 : all_valid ? 0 : 14;
  if (rc == 0 && list.items.empty()) PrintError("the message holds no signature");
  if (args.has("json"))
    std::printf("%s\n", JsonObject().Number("result", status).Raw("signers", JsonArray(items)).str().c_str());
  return status;
}
