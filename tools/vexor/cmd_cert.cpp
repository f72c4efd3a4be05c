// Certificate commands: find, export, check.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <iterator>
#include <map>
#include <memory>
#include <utility>
#include <filesystem>

#include "text/text.h"
#include "tools/vexor/certificates.h"
#include "tools/vexor/commands.h"
#include "tools/vexor/io.h"
#include "tools/vexor/json.h"
#include "tools/vexor/session.h"

namespace {

// Owning certificate context.
struct CertHolder {
  PCCERT_CONTEXT cert = nullptr;
  ~CertHolder() {
    if (cert != nullptr) CertFreeCertificateContext(cert);
  }
};

int FindOrExport(const Args& args, const std::string& id, bool export_file) {
  Session session(args);
  if (!session.ok()) return 1;
  CRYPT_DATA_BLOB blob{0, nullptr};
  const std::string cp_id = text::Utf8ToCp1251(id);
  const int32_t rc = session.Run("FindCertificate",
                                 [&] { return session.vexor().FindCertificate(cp_id.c_str(), &blob); });
  if (rc != 0) return rc;
  const std::string der(reinterpret_cast<const char*>(blob.pbData), blob.cbData);
  session.vexor().FreeBuffer(&blob);
  if (export_file) {
    const std::string bytes = args.has("pem") ? DerToPem(der, "CERTIFICATE") : der;
    if (!WriteWholeFile(args.get("out"), bytes)) {
      PrintError("cannot write " + args.get("out"));
      return 5;
    }
    return 0;
  }
  CertHolder holder;
  holder.cert = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                             static_cast<DWORD>(der.size()));
  if (holder.cert == nullptr) {
    PrintError("the library returned bytes that are not a certificate");
    return 32;
  }
  if (args.has("json"))
    std::printf("%s\n", CertificateJson(holder.cert).str().c_str());
  else
    std::printf("%s\n", DescribeCertificate(holder.cert).c_str());
  return 0;
}

int Check(const Args& args, const std::string& what) {
  // A name that is a file (or "-") is a certificate file; anything else a thumbprint.
  std::error_code ec;
  const bool is_file = what == "-" || std::filesystem::exists(what, ec);
  if (!is_file && what.find('/') != std::string::npos) {
    PrintError("cannot read " + what + ": " + std::strerror(ENOENT));
    return 4;
  }
  Session session(args);
  if (!session.ok()) return 1;
  CertHolder holder;
  std::string der;
  if (is_file) {
    if (LoadDerFile(what, "CERTIFICATE", der))
      holder.cert = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                 static_cast<DWORD>(der.size()));
    if (holder.cert == nullptr) {
      PrintError((what == "-" ? std::string("standard input") : what) + " holds no certificate");
      PrintError("  cert check takes a certificate file (PEM or DER) or the thumbprint of an installed certificate");
      return 32;
    }
  } else {
    const int32_t rc = session.Run("FindCertificateByThumb", [&] {
      return session.vexor().FindCertificateByThumb(what.c_str(), &holder.cert);
    });
    if (rc != 0) {
      PrintError("  " + what + " is neither a file nor the thumbprint (40 hex digits) of an installed certificate");
      return rc;
    }
  }
  const int32_t rc = session.Run("CheckCertificate", [&] { return session.vexor().CheckCertificate(&holder.cert); });
  const std::string store_file = WorkingDirectory(args) + "/certstore.sst";
  const std::string crl = RevocationListInUse(holder.cert, std::filesystem::exists(store_file) ? store_file : "");
  const bool strict = rc == 0 && args.has("strict");
  const std::string trouble = strict ? ChainTrouble(holder.cert, nullptr) : std::string();
  const int status = rc != 0 ? rc : trouble.empty() ? 0 : 14;
  if (args.has("json")) {
    JsonObject o;
    o.Number("result", status).Raw("certificate", CertificateJson(holder.cert).str()).Bool("valid", rc == 0);
    o.TextOrNull("revocationList", crl);
    if (strict) o.Raw("chain", JsonObject().Bool("trusted", trouble.empty()).TextOrNull("reason", trouble).str());
    std::printf("%s\n", o.str().c_str());
    return status;
  }
  std::printf("%s\n%s\n", DescribeCertificate(holder.cert).c_str(), rc == 0 ? "valid" : "NOT valid");
  std::printf("revocation list: %s\n", crl.empty() ? "none at hand" : crl.c_str());
  if (strict) std::printf("chain %s\n", trouble.empty() ? "trusted" : ("NOT trusted: " + trouble).c_str());
  return status;
}

// An empty certificates-only PKCS#7 file, for an import to append to.
bool WriteEmptyPkcs7(const std::string& path) {
  StoreHandle empty(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  return empty && CertSaveStore(empty.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_STORE_SAVE_AS_PKCS7,
                                CERT_STORE_SAVE_TO_FILENAME_A, const_cast<char*>(path.c_str()), 0) != 0;
}

int Import(const Args& args, const std::string& item_path) {
  const bool crl = args.has("crl");
  const std::string to = args.get("to");
  const bool created = !to.empty() && !std::filesystem::exists(to);
  if (created && !WriteEmptyPkcs7(to)) {
    PrintError("cannot create " + to);
    return 5;
  }
  // "-": standard input, kept aside where the library can open it by name.
  std::unique_ptr<Input> standard_input;
  if (item_path == "-") {
    standard_input = std::make_unique<Input>("-");
    if (!standard_input->ok()) {
      PrintError("cannot read standard input: " + standard_input->error());
      return 4;
    }
  }
  const std::string item = standard_input ? standard_input->openableName() : item_path;
  const int rc = [&] {
    Session session(args);
    if (!session.ok()) return 1;
    IVexor& v = session.vexor();
    const char* path = item.c_str();
    if (to.empty()) {
      return session.Run("AddCertOrCRLToStore", [&] {
        return crl ? v.AddCertOrCRLToStore(CrlFile{path}) : v.AddCertOrCRLToStore(CertFile{path});
      });
    }
    return session.Run("AddCertOrCRLToFile", [&] {
      return crl ? v.AddCertOrCRLToFile(to.c_str(), CrlFile{path}) : v.AddCertOrCRLToFile(to.c_str(), CertFile{path});
    });
  }();
  // A file this command made for nothing does not stay.
  std::error_code ec;
  if (rc != 0 && created) std::filesystem::remove(to, ec);
  return rc;
}

int Delete(const Args& args, const std::string& id) {
  Session session(args);
  if (!session.ok()) return 1;
  const std::string cp_id = text::Utf8ToCp1251(id);
  return session.Run("DeleteCertificate", [&] { return session.vexor().DeleteCertificate(cp_id.c_str()); });
}

// A text for a line of its own: control characters (which a subject may hold, and which
// would break the record or drive the terminal) and the backslash are escaped, C-style.
std::string Printable(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    char esc[8];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      // U+0080..U+009F, the C1 controls, in UTF-8.
      std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(text[++i]));
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The key algorithm of each certificate of the working directory's store file by thumbprint
// (upper-case hex): the library's list record has no such field, the certificate has.
std::map<std::string, std::string> KeyAlgorithmsOfStoreFile(const Args& args) {
  std::map<std::string, std::string> found;
  const std::string path = WorkingDirectory(args) + "/certstore.sst";
  StoreHandle store(CertOpenStore(CERT_STORE_PROV_FILENAME_A, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                  CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, path.c_str()));
  if (!store) return found;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store.get(), c))
    found[ThumbprintHex(c)] = KeyAlgorithmName(c);
  return found;
}

int List(const Args& args) {
  // The tool keeps no certificate database of its own: the library lists its store file.
  Session session(args, false);
  if (!session.ok()) return 1;
  CertList list;
  const int32_t rc = session.Run("GetCertList", [&] { return session.vexor().GetCertList(list); });
  if (rc != 0) return rc;
  const std::map<std::string, std::string> key_algorithms = KeyAlgorithmsOfStoreFile(args);
  const auto key_algorithm_of = [&](const CertListItem& c) {
    const auto it = key_algorithms.find(UpperCase(TaggedValue(c.thumbTag, "CERT_THUMB")));
    return it != key_algorithms.end() ? it->second : std::string();
  };
  if (args.has("json")) {
    std::vector<std::string> items;
    for (const CertListItem& c : list) {
      std::vector<std::string> usages;
      for (size_t at = c.keyUsages.find("EKU="); at != std::string::npos; at = c.keyUsages.find("EKU=", at + 4)) {
        const size_t end = c.keyUsages.find(',', at);
        usages.push_back(JsonString(c.keyUsages.substr(at + 4, end == std::string::npos ? end : end - at - 4)));
      }
      std::string usage_list;
      for (const std::string& u : usages) usage_list += (usage_list.empty() ? "" : ", ") + u;
      JsonObject o;
      o.Text("subject", text::Cp1251ToUtf8(c.subject))
          .Text("issuer", text::Cp1251ToUtf8(c.issuer))
          .Text("serialNumber", SerialAsOpenssl(c.serialNumber))
          .Text("serialNumberStored", c.serialNumber)
          .Text("thumbprint", UpperCase(TaggedValue(c.thumbTag, "CERT_THUMB")))
          .Text("notBefore", LocalDateAsIso(c.validFrom))
          .Text("notAfter", LocalDateAsIso(c.validTo))
          .Raw("keyUsages", "[" + usage_list + "]")
          .TextOrNull("keyAlgorithm", key_algorithm_of(c))
          .Text("thumbTag", c.thumbTag)
          .Text("nameTag", text::Cp1251ToUtf8(c.nameTag));
      items.push_back(o.str());
    }
    std::printf("%s\n", JsonArray(items).c_str());
    return 0;
  }
  for (const CertListItem& c : list) {
    const std::pair<const char*, std::string> fields[] = {
        {"serialNumber", c.serialNumber}, {"subject", text::Cp1251ToUtf8(c.subject)}, {"keyUsages", c.keyUsages},
        {"issuer", text::Cp1251ToUtf8(c.issuer)}, {"validFrom", c.validFrom}, {"validTo", c.validTo},
        {"keyAlgorithm", key_algorithm_of(c)}, {"thumbTag", c.thumbTag}, {"nameTag", text::Cp1251ToUtf8(c.nameTag)}};
    for (const auto& [name, value] : fields) std::printf("%-13s %s\n", name, Printable(value).c_str());
    std::printf("\n");
  }
  return 0;
}

}  // namespace

int RunCrl(const Args& args) {
  const auto& pos = args.positional();
  if (pos.size() != 1 || pos[0] != "update") {
    PrintError("usage: vexor crl update");
    return kUsageError;
  }
  Session session(args);
  if (!session.ok()) return 1;
  const int32_t rc = session.Run("CertUpdateCRLs", [&] { return session.vexor().CertUpdateCRLs(); });
  if (rc == 0 && session.callback().Saw("Принудительное обновление CRL для SST отключено"))
    std::printf("the update is switched off: set SkipUpdateCRLInInit=0 (and SkipUpdateCRL=0) under [Settings]\n"
                "with UsingCustomOptions=1 in the working directory's Vexor.ini\n");
  else if (rc == 0 && session.callback().Saw("отключено настройками"))
    std::printf("the update is switched off: set SkipUpdateCRL=0 under [Settings] in Vexor.ini\n");
  else if (rc == 0)
    std::printf("revocation lists of certstore.sst are up to date\n");
  return rc;
}

int RunCert(const Args& args) {
  const auto& pos = args.positional();
  if (pos.size() == 1 && pos[0] == "list") return List(args);
  if (pos.size() < 2) {
    PrintError("usage: vexor cert find|export|check|import|delete|list ...");
    return kUsageError;
  }
  const std::string& action = pos[0];
  if (action == "find") return FindOrExport(args, pos[1], false);
  if (action == "export") {
    if (!args.has("out")) {
      PrintError("cert export needs -o FILE");
      return kUsageError;
    }
    return FindOrExport(args, pos[1], true);
  }
  if (action == "check") return Check(args, pos[1]);
  if (action == "import") return Import(args, pos[1]);
  if (action == "delete") return Delete(args, pos[1]);
  PrintError("unknown cert action " + action);
  return kUsageError;
}
