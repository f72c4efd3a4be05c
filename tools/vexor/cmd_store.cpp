// Store administration through the platform: list, install a certificate with its key,
// add roots and intermediates, add to and delete from a certstore.sst.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/bindata.h"
#include "tools/vexor/certificates.h"
#include "tools/vexor/commands.h"
#include "tools/vexor/io.h"
#include "tools/vexor/json.h"
#include "tools/vexor/pin.h"
#include "tools/vexor/session.h"

namespace {

DWORD Location(const Args& args) {
  return args.has("machine") ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
}

// Prints the message with the platform's last error, its text and number.
int Fail(const std::string& message, int code) {
  const DWORD error = GetLastError();
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof text,
                 nullptr);
  std::string reason = text;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  char hex[16];
  std::snprintf(hex, sizeof(hex), "%08X", error);
  PrintError(message + (reason.empty() ? "" : ": " + reason) + " (error 0x" + hex + ")");
  return code;
}

int List(const Args& args, const std::string& name) {
  StoreHandle store(OpenNamedStore(name, Location(args)));
  if (!store) return Fail("cannot open store " + name, 15);
  const bool json = args.has("json");
  std::vector<std::string> items;
  int count = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store.get(), c)) {
    DWORD len = 0;
    const bool has_key = CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &len) != 0;
    if (json)
      items.push_back(CertificateJson(c).Bool("hasPrivateKey", has_key).str());
    else
      std::printf("%s%s\n", DescribeCertificate(c).c_str(), has_key ? "\n    has a private key" : "");
    ++count;
  }
  if (json)
    std::printf("%s\n", JsonObject().Text("store", name).Raw("certificates", JsonArray(items)).str().c_str());
  else
    std::printf("%d certificate(s) in %s\n", count, name.c_str());
  return 0;
}

// Adds the certificate file to the store; the added context goes to *added when asked.
// A store file the tool may rewrite: absent, empty, or already a serialized store. Anything
// else (a signed document, a certificate, a PKCS#7 bag) would be replaced by a store when
// saved, so it is left alone.
bool MayRewriteAsStore(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return !std::filesystem::exists(path);
  char head[8] = {};
  in.read(head, sizeof head);
  if (in.gcount() == 0) return true;
  static const char kStoreHead[8] = {0, 0, 0, 0, 'C', 'E', 'R', 'T'};
  return in.gcount() == sizeof head && std::memcmp(head, kStoreHead, sizeof head) == 0;
}

int RefuseForeignFile(const std::string& path) {
  PrintError(path + " is not a certificate store file; it was not changed");
  return 15;
}

int AddCertificate(const Args& args, const std::string& store_name, const std::string& cert_path,
                   PCCERT_CONTEXT* added = nullptr) {
  std::string der;
  if (!LoadDerFile(cert_path, "CERTIFICATE", der)) {
    PrintError("cannot read a certificate from " + cert_path);
    return 4;
  }
  if (!IsSystemStoreName(store_name) && !MayRewriteAsStore(store_name)) return RefuseForeignFile(store_name);
  StoreHandle store(OpenNamedStore(store_name, Location(args)));
  if (!store) return Fail("cannot open store " + store_name, 15);
  if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                        static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, added))
    return Fail("cannot add the certificate to " + store_name, 20);
  if (!IsSystemStoreName(store_name) && !SaveFileStore(store.get(), store_name))
    return Fail("cannot save " + store_name, 36);
  return 0;
}

// The key bytes of a public key (the last bit-length/8 bytes of its PUBLICKEYBLOB: 64 for
// 2001 and 2012-256 keys, 128 for 2012-512 keys); empty when unreadable.
std::string PublicKeyBytes(HCRYPTKEY key) {
  BYTE blob[512];
  DWORD len = sizeof blob;
  if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob, &len) || len < 16) return {};
  DWORD bits = 0;
  std::memcpy(&bits, blob + 12, sizeof bits);
  const DWORD bytes = bits / 8;
  if (bytes == 0 || bytes >= len - 16) return {};
  return std::string(reinterpret_cast<const char*>(blob + len - bytes), bytes);
}

// The public key of a container's exchange key and of a certificate; empty when either
// cannot be read.
std::string ContainerPublicKey(const std::string& container) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, container.c_str(), nullptr, PROV_GOST_2001_DH, CRYPT_SILENT)) return {};
  std::string out;
  HCRYPTKEY key = 0;
  if (CryptGetUserKey(prov, AT_KEYEXCHANGE, &key)) {
    out = PublicKeyBytes(key);
    CryptDestroyKey(key);
  }
  CryptReleaseContext(prov, 0);
  return out;
}

std::string CertificatePublicKey(PCCERT_CONTEXT cert) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2001_DH, CRYPT_VERIFYCONTEXT)) return {};
  std::string out;
  HCRYPTKEY key = 0;
  if (CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, &cert->pCertInfo->SubjectPublicKeyInfo, &key)) {
    out = PublicKeyBytes(key);
    CryptDestroyKey(key);
  }
  CryptReleaseContext(prov, 0);
  return out;
}

bool ContainerExists(const std::string& container) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, container.c_str(), nullptr, PROV_GOST_2001_DH, CRYPT_SILENT)) return false;
  CryptReleaseContext(prov, 0);
  return true;
}

void DeleteContainer(const std::string& container) {
  HCRYPTPROV gone = 0;
  CryptAcquireContextA(&gone, container.c_str(), nullptr, PROV_GOST_2001_DH, CRYPT_DELETEKEYSET);
}

// Installs a certificate and its key together or not at all: the key must be the
// certificate's, and an existing container (another certificate's key, perhaps) is replaced
// only with --force. The stored key is encrypted with the PIN however it is given; only
// --no-pin stores it unprotected.
int Install(const Args& args) {
  if (!args.has("cert") || !args.has("key")) {
    PrintError("store install needs --cert FILE and --key FILE");
    return kUsageError;
  }
  std::string key;
  if (!ReadWholeFile(args.get("key"), key)) {
    PrintError("cannot read " + args.get("key"));
    return 4;
  }
  std::string der;
  if (!LoadDerFile(args.get("cert"), "CERTIFICATE", der)) {
    PrintError("cannot read a certificate from " + args.get("cert"));
    return 4;
  }
  PCCERT_CONTEXT cert =
      CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), DWORD(der.size()));
  if (cert == nullptr) return Fail("cannot read a certificate from " + args.get("cert"), 32);
  const std::string cert_key = CertificatePublicKey(cert);
  const std::string container = args.get("container", "vexor-" + ThumbprintHex(cert));
  const KeyAlgorithm* algorithm = KeyAlgorithmOf(cert);
  const DWORD prov_type = algorithm != nullptr ? algorithm->provider_type : PROV_GOST_2001_DH;
  CertFreeCertificateContext(cert);
  if (cert_key.empty()) {
    PrintError("the certificate has no GOST R 34.10-2001 or 34.10-2012 public key");
    return 29;
  }
  const bool existed = ContainerExists(container);
  if (existed && !args.has("force")) {
    PrintError("key container " + container + " exists already; --force replaces it");
    return 27;
  }
  // The key is tried in a scratch container first, so a key that is garbage or another
  // certificate's never touches the container it would replace.
  const std::string scratch = "vexor-install-check-" + std::to_string(getpid());
  if (!CryptImportPKCS8ToContainerA(scratch.c_str(), reinterpret_cast<const BYTE*>(key.data()),
                                    static_cast<DWORD>(key.size()), nullptr, 0))
    return Fail("cannot import the private key from " + args.get("key"), 27);
  const bool matches = ContainerPublicKey(scratch) == cert_key;
  DeleteContainer(scratch);
  if (!matches) {
    PrintError("the private key in " + args.get("key") + " is not the key of the certificate; nothing installed");
    return 27;
  }
  std::string pin;
  if (const int rc = InstallPin(args, pin); rc != 0) return rc;
  if (!CryptImportPKCS8ToContainerA(container.c_str(), reinterpret_cast<const BYTE*>(key.data()),
                                    static_cast<DWORD>(key.size()), pin.empty() ? nullptr : pin.c_str(), 0))
    return Fail("cannot import the private key from " + args.get("key"), 27);
  PCCERT_CONTEXT added = nullptr;
  int rc = AddCertificate(args, "My", args.get("cert"), &added);
  if (rc != 0) {
    if (!existed) DeleteContainer(container);
    return rc;
  }
  std::u16string wcontainer(container.begin(), container.end());
  const std::string prov_name = VEXOR_GOST_PROV_NAME_A;
  std::u16string wprov(prov_name.begin(), prov_name.end());
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = wcontainer.data();
  info.pwszProvName = wprov.data();
  info.dwProvType = prov_type;
  info.dwKeySpec = AT_KEYEXCHANGE;
  if (!CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
    rc = Fail("cannot link the certificate to its key container", 20);
    CertDeleteCertificateFromStore(CertDuplicateCertificateContext(added));
    if (!existed) DeleteContainer(container);
  }
  if (rc == 0) std::printf("installed %s with container %s\n", ThumbprintHex(added).c_str(), container.c_str());
  CertFreeCertificateContext(added);
  return rc;
}

int DeleteFromFile(const std::string& path, const std::string& thumb_text) {
  std::string hex;
  for (char c : thumb_text)
    if (c != ' ') hex += c;
  CBinData hash;
  if (hex.size() != 40 || !hash.FromHex(hex)) {
    PrintError("a thumbprint has 40 hex digits");
    return kUsageError;
  }
  if (!MayRewriteAsStore(path)) return RefuseForeignFile(path);
  StoreHandle store(OpenNamedStore(path, 0));
  if (!store) return Fail("cannot open " + path, 15);
  CRYPT_HASH_BLOB blob{20, hash.data()};
  PCCERT_CONTEXT cert =
      CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
  if (cert == nullptr) {
    PrintError("no certificate " + hex + " in " + path);
    return 17;
  }
  if (!CertDeleteCertificateFromStore(cert)) return Fail("cannot delete the certificate", 20);
  if (!SaveFileStore(store.get(), path)) return Fail("cannot save " + path, 36);
  return 0;
}

// The library's own store file (certstore.sst of a working directory) changes through the
// library, so its lock and crash-safe save apply; other store files change directly.
bool IsLibraryStoreFile(const std::string& path) {
  return std::filesystem::path(path).filename() == "certstore.sst";
}

Args LibraryArgsFor(const Args& args, const std::string& store_path) {
  const std::string dir = std::filesystem::path(store_path).parent_path().string();
  Args library_args;
  library_args.add("workdir", dir.empty() ? "." : dir);
  if (args.has("library")) library_args.add("library", args.get("library"));
  if (args.has("verbose")) library_args.add("verbose");
  return library_args;
}

int AddThroughLibrary(const Args& args, const std::string& store_path, const std::string& cert_path) {
  if (!MayRewriteAsStore(store_path)) return RefuseForeignFile(store_path);
  Session session(LibraryArgsFor(args, store_path));
  if (!session.ok()) return 1;
  return session.Run("AddCertOrCRLToStore",
                     [&] { return session.vexor().AddCertOrCRLToStore(CertFile{cert_path.c_str()}); });
}

int DeleteThroughLibrary(const Args& args, const std::string& store_path, const std::string& thumb) {
  if (!MayRewriteAsStore(store_path)) return RefuseForeignFile(store_path);
  Session session(LibraryArgsFor(args, store_path));
  if (!session.ok()) return 1;
  return session.Run("DeleteCertificate", [&] { return session.vexor().DeleteCertificate(thumb.c_str()); });
}

}  // namespace

int RunStore(const Args& args) {
  const auto& pos = args.positional();
  if (pos.empty()) {
    PrintError("usage: vexor store list|install|add-root|add-ca|add-my|sst-add|sst-delete ...");
    return kUsageError;
  }
  const std::string& action = pos[0];
  if (action == "list") return List(args, pos.size() > 1 ? pos[1] : "My");
  if (action == "install") return Install(args);
  if ((action == "add-root" || action == "add-ca" || action == "add-my") && pos.size() == 2)
    return AddCertificate(args, action == "add-root" ? "Root" : action == "add-ca" ? "CA" : "My", pos[1]);
  if (action == "sst-add" && pos.size() == 3)
    return IsLibraryStoreFile(pos[1]) ? AddThroughLibrary(args, pos[1], pos[2]) : AddCertificate(args, pos[1], pos[2]);
  if (action == "sst-delete" && pos.size() == 3) {
    std::string hex;
    for (char c : pos[2])
      if (c != ' ') hex += c;
    if (hex.size() != 40 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      PrintError("a thumbprint has 40 hex digits");
      return kUsageError;
    }
    return IsLibraryStoreFile(pos[1]) ? DeleteThroughLibrary(args, pos[1], hex) : DeleteFromFile(pos[1], hex);
  }
  PrintError("bad store command; see vexor store --help");
  return kUsageError;
}
