#include "certs/import.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>

#include "certs/crl_trust.h"
#include "certs/find_param.h"
#include "certs/search.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "scratch/scratch.h"
#include "stores/auto_handle.h"
#include "stores/cert_ident.h"
#include "certs/instance_context.h"
#include "stores/sst_accessor.h"
#include "stores/store_set.h"
#include "support/bindata.h"
#include "text/text.h"
#include "support/format.h"
#include "support/read_sized.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kStoreOpenFlags = CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_CREATE_NEW_FLAG;

[[noreturn]] void Raise(int32_t code, const std::string& utf8) {
  throw CryptoOperations::baseCryptoException(code, text::Utf8ToCp1251(utf8));
}

// Offers an item to the host (callback slot 14): true when the host took it, with its result.
bool HostTakes(InstanceContext& ctx, const BYTE* data, DWORD size, uint32_t kind, uint32_t& result) {
  VexorCallBack* cb = ctx.callback();
  if (cb == nullptr) return false;
  const CRYPT_DATA_BLOB item{size, const_cast<BYTE*>(data)};
  result = 0;
  try {
    return cb->OnAddCertOrCRL(item, kind, &result);
  } catch (...) {
    return false;  // a host that fails has not taken the item
  }
}

// Moves every certificate and revocation list of a drop-in store into the store file (or
// to the host), then deletes the drop-in.
// False when the drop-in does not open (it is left in place for a later Init).
bool MergeDropIn(InstanceContext& ctx, HCERTSTORE target, const std::string& path) {
  SSTAccessor drop;
  drop.Init(path.c_str(), false);
  auto_store source(drop.Open(kEncoding, kStoreOpenFlags, 0));
  if (!source) return false;
  uint32_t result = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(source.get(), nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(source.get(), c)) {
    if (!HostTakes(ctx, c->pbCertEncoded, c->cbCertEncoded, kItemCertificate, result))
      CertAddCertificateContextToStore(target, c, CERT_STORE_ADD_NEWER, nullptr);
  }
  for (PCCRL_CONTEXT c = CertEnumCRLsInStore(source.get(), nullptr); c != nullptr;
       c = CertEnumCRLsInStore(source.get(), c)) {
    auto_cert issuer;
    std::string why;
    if (AuthenticateCrl(c, ctx, source.get(), issuer, why) != RC_OK) {
      ctx.log().LogText(why);
      continue;
    }
    if (!HostTakes(ctx, c->pbCrlEncoded, c->cbCrlEncoded, kItemCrl, result))
      StoreAuthenticCrl(target, c, issuer.get());
  }
  source.reset();
  std::remove(path.c_str());
  std::remove((path + ".lock").c_str());  // the drop-in's own lock, made by opening it
  return true;
}

bool IsDropInName(const std::string& name) {
  static const std::string kPrefix = "certstore_", kSuffix = ".sst";
  return name.size() >= kPrefix.size() + kSuffix.size() && name.compare(0, kPrefix.size(), kPrefix) == 0 &&
         name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

}  // namespace

std::vector<BYTE> DecodeCertOrCRL(const CBinData& data, bool is_crl, InstanceContext& ctx) {
  // The certificate armour is looked for first, whatever kind is asked for.
  std::string base64 = data.Between("-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----");
  if (base64.empty()) base64 = data.Between("-----BEGIN X509 CRL-----", "-----END X509 CRL-----");
  if (base64.empty() && data.size() >= 3 && std::string(reinterpret_cast<const char*>(data.data()), 3) == "MII")
    base64.assign(reinterpret_cast<const char*>(data.data()), data.size());
  CBinData decoded;
  const CBinData* der = &data;
  if (!base64.empty()) {
    if (!CBase64().Decode(base64.c_str(), decoded)) Raise(RC_FILE_DATA_READ, "неверный формат данных base64");
    der = &decoded;
  }
  if (ctx.options.LogExtended) {
    const std::string text(reinterpret_cast<const char*>(der->data()), der->size());
    ctx.log().LogExt("Base64 decoded ===>>%s<<===", text.c_str());
  }
  if (is_crl) {
    PCCRL_CONTEXT crl = CertCreateCRLContext(X509_ASN_ENCODING, der->data(), der->size());
    if (crl == nullptr) Raise(RC_FILE_DATA_READ, "Неверный формат данных ASN (CRL)");
    CertFreeCRLContext(crl);
  } else {
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der->data(), der->size());
    if (cert == nullptr) Raise(RC_FILE_DATA_READ, "неверный формат данных ASN (Certificate)");
    CertFreeCertificateContext(cert);
  }
  std::vector<BYTE> bytes;
  if (!TryResize(bytes, der->size()))
    throw CryptoOperations::baseCryptoException(
        RC_OUT_OF_MEMORY, Format(text::Utf8ToCp1251("Не удалось выделить %d байт для данных").c_str(), int(der->size())));
  std::copy(der->data(), der->data() + der->size(), bytes.begin());
  return bytes;
}

namespace {

// Loads a certificate, revocation-list or PKCS#7 file of at most kMaxItemFileSize bytes. A
// larger regular file is refused by its size before anything is read; of anything else (a
// device, a pipe) no more than one byte past the bound is read. kLoadTooLarge, kLoadFailed or
// kLoaded (with the bytes; an empty file fails as CBinData's loader does).
enum LoadResult { kLoaded, kLoadFailed, kLoadTooLarge };

LoadResult LoadBoundedFile(const std::string& path, CBinData& out) {
  out.Clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kLoadFailed;
  struct stat st {};
  LoadResult result = kLoaded;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    result = kLoadFailed;
  } else if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > kMaxItemFileSize) {
    result = kLoadTooLarge;
  } else {
    // Read into a buffer that grows by doubling (a device has no size to go by), handed to
    // the CBinData in one piece.
    std::vector<BYTE> bytes;
    size_t filled = 0;
    if (!TryResize(bytes, S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) + 1 : 65536)) result = kLoadFailed;
    while (result == kLoaded) {
      if (filled == bytes.size() && !TryResize(bytes, std::min<size_t>(bytes.size() * 2, kMaxItemFileSize + 1))) {
        result = kLoadFailed;
        break;
      }
      const ssize_t got = read(fd, bytes.data() + filled, bytes.size() - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        result = kLoadFailed;
        break;
      }
      if (got == 0) break;
      filled += static_cast<size_t>(got);
      if (filled > kMaxItemFileSize) result = kLoadTooLarge;
    }
    if (result == kLoaded && (filled == 0 || !out.Append(bytes.data(), static_cast<uint32_t>(filled))))
      result = kLoadFailed;
  }
  close(fd);
  if (result != kLoaded) out.Clear();
  return result;
}

int32_t ReportTooLarge(InstanceContext& ctx, const std::string& path) {
  return ReportFailure(ctx, RC_FILE_OPEN_READ, "Не удалось открыть файл \"%s\": файл больше %u байт", path.c_str(),
                       static_cast<unsigned>(kMaxItemFileSize));
}

// Each armoured block of the armour the decoder looks for first (certificate, else list),
// armour included; empty when the data holds fewer than two such blocks.
std::vector<std::string> ArmouredBlocks(const CBinData& data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  std::vector<std::string> blocks;
  for (const auto& [begin, end] : {std::pair<std::string_view, std::string_view>{"-----BEGIN CERTIFICATE-----",
                                                                                 "-----END CERTIFICATE-----"},
                                   {"-----BEGIN X509 CRL-----", "-----END X509 CRL-----"}}) {
    for (size_t at = text.find(begin); at != std::string_view::npos; at = text.find(begin, at + begin.size())) {
      const size_t stop = text.find(end, at + begin.size());
      if (stop == std::string_view::npos) break;
      blocks.emplace_back(text.substr(at, stop + end.size() - at));
    }
    if (!blocks.empty()) break;
  }
  if (blocks.size() < 2) blocks.clear();
  return blocks;
}

}  // namespace

int32_t ReadCertOrCRLFileItems(const std::string& path, std::vector<std::vector<BYTE>>& items, bool is_crl,
                               InstanceContext& ctx) {
  items.clear();
  CBinData data;
  switch (LoadBoundedFile(path, data)) {
    case kLoaded:
      break;
    case kLoadTooLarge:
      return ReportTooLarge(ctx, path);
    case kLoadFailed:
      return ReportFailureWithReason(ctx, RC_FILE_OPEN_READ, "Не удалось открыть файл \"%s\"", path.c_str());
  }
  try {
    // A PEM file of several items gives all of them, or none when one does not decode.
    const std::vector<std::string> blocks = ArmouredBlocks(data);
    for (const std::string& block : blocks)
      items.push_back(DecodeCertOrCRL(CBinData(block.data(), static_cast<uint32_t>(block.size())), is_crl, ctx));
    if (blocks.empty()) items.push_back(DecodeCertOrCRL(data, is_crl, ctx));
  } catch (const CryptoOperations::baseCryptoException& e) {
    items.clear();
    return ReportFailure(ctx, e.code(), "Файл \"%s\": %s", path.c_str(), e.what());
  }
  return RC_OK;
}

int32_t AddCertOrCRLToStoreEx(HCERTSTORE store, const CRYPT_DATA_BLOB& item, uint32_t kind, InstanceContext& ctx) {
  if (store == nullptr) return RC_FILE_OPEN_READ;
  BOOL added;
  if (kind == kItemCertificate) {
    added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, item.pbData, item.cbData, CERT_STORE_ADD_NEWER,
                                             nullptr);
  } else if (kind == kItemCrl) {
    added = AddEncodedCrlIfAuthentic(store, item, ctx);
  } else {
    ctx.log().Log("Вызов IVexorImpl::AddCertOrCRLToStoreEx с параметром nType=%d, тип неизвестен", int(kind));
    return RC_SYSTEM_ERROR;
  }
  const DWORD error = added ? 0 : GetLastError();
  // An equal or newer item already there is what was wanted.
  if (error == 0 || error == static_cast<DWORD>(CRYPT_E_EXISTS)) return RC_OK;
  ctx.log().Log("Не удалось добавить %s в хранилище!",
                text::Utf8ToCp1251(kind == kItemCertificate ? "сертификат" : "CRL").c_str());
  return RC_CRL_ADD;
}

int32_t AddCertOrCRLToStore(const CRYPT_DATA_BLOB& item, uint32_t kind, InstanceContext& ctx) {
  // Not even the host is offered a list no known issuer signed.
  if (kind == kItemCrl)
    if (const int32_t rc = RefuseUnknownCrl(item, ctx, nullptr); rc != RC_OK) return rc;
  uint32_t host_result = 0;
  if (VexorCallBack* cb = ctx.callback(); cb != nullptr && cb->OnAddCertOrCRL(item, kind, &host_result))
    return static_cast<int32_t>(host_result);
  // The store's lock is held from the read to the save: a concurrent change is not lost.
  if (const int32_t rc = ctx.stores.OpenFileForChange(); rc != RC_OK) return rc;
  int32_t rc = AddCertOrCRLToStoreEx(ctx.stores.Get(CST_SST), item, kind, ctx);
  if (rc == RC_OK) rc = ctx.stores.SaveFile(nullptr);
  return rc;
}

int32_t AddCertOrCRLToFile(const std::string& path, const CRYPT_DATA_BLOB& item, uint32_t kind, InstanceContext& ctx) {
  if (kind != kItemCertificate && kind != kItemCrl)
    return ReportFailure(ctx, RC_SYSTEM_ERROR,
                         "Вызван IVexorImpl::AddCertOrCRLToFile с параметром %d, параметр не поддерживается", int(kind));
  auto_msg msg(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
  if (!msg) return ReportFailure(ctx, RC_MSG_OPEN_DECODE, "Не удалось открыть криптосообщения для расшифровки");
  // The file must exist: appending never creates one.
  CBinData file;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return ReportFailure(ctx, RC_FILE_OPEN_READ, "Не удалось открыть файл \"%s\"", path.c_str());
  if (st.st_size > 0) {
    const LoadResult loaded = LoadBoundedFile(path, file);
    if (loaded == kLoadTooLarge) return ReportTooLarge(ctx, path);
    if (loaded != kLoaded) return ReportFailure(ctx, RC_FILE_OPEN_READ, "Не удалось открыть файл \"%s\"", path.c_str());
  }
  if (!CryptMsgUpdate(msg.get(), file.data(), file.size(), TRUE))
    return ReportFailureWithReason(ctx, RC_MSG_UPDATE, "%s", ResultText(RC_MSG_UPDATE).c_str());
  if (!CryptMsgControl(msg.get(), 0, kind, &item))
    return ReportFailureWithReason(ctx, RC_MSG_UPDATE, "Не удалось добавить кртиптоданные в сообщение");
  std::vector<BYTE> encoded;
  DWORD size = 0;
  const auto read = [&](BYTE* buffer, DWORD& len) {
    return CryptMsgGetParam(msg.get(), CMSG_ENCODED_MESSAGE, 0, buffer, &len) != FALSE;
  };
  switch (ReadSized(read, encoded, size)) {
    case SizedStep::kDone:
      break;
    case SizedStep::kSize:
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось определить размер сообщения");
    case SizedStep::kMemory:
      return ReportFailure(ctx, RC_OUT_OF_MEMORY,
                           "Не удалось выделить нужное количество памяти %d байт для файла \"%s\"", int(size),
                           path.c_str());
    case SizedStep::kData:
      return ReportFailureWithReason(ctx, RC_MSG_READ, "Не удалось прочитать данные из сообщения");
  }
  // Replaced whole or not at all: a failed write never loses what the file held.
  if (scratch::WriteAtomically(path, encoded.data(), size) != 0)
    return ReportFailure(ctx, RC_FILE_OPEN_WRITE, "Не удалось открыть файл хранилища для добавления данных \"%s\"",
                         path.c_str());
  return RC_OK;
}

int32_t DeleteCertFromStores(_TAGCERTFINDPARAM* params, InstanceContext& ctx) {
  if (params == nullptr || (params->subjectCN.empty() && params->email.empty() && params->thumbprintText.empty() &&
                            params->thumbprint.cbData == 0))
    return RC_DELETE_PARAMS;
  ctx.services.issuerText = params->issuer;
  if (params->storeMask & CST_SST) {
    if (const int32_t rc = ctx.stores.OpenFileForChange(); rc != RC_OK) return rc;
  }
  if (const int32_t rc = ctx.stores.Open(params->storeMask); rc != RC_OK) return rc;
  auto_cert cert;
  const int32_t rc = FindCertInStores(params, cert.put(), ctx);
  if (rc != RC_OK || !cert) {
    ctx.log().Log("Не удалось найти сертификат \"%s\" для удаления!", params->subjectCN.c_str());
    return rc != RC_OK ? rc : RC_CERT_NOT_FOUND;
  }
  CertDeleteCertificateFromStore(cert.release());
  return ctx.stores.SaveFile(nullptr);
}

int32_t DeleteCertificateById(const char* identifier, InstanceContext& ctx) {
  if (identifier == nullptr || *identifier == '\0') return RC_BAD_PARAMETER;
  AUTO_CERTFINDPARAM params;
  params.storeMask = CST_SST;
  params.skipValidity = true;
  SetCertIdentifier(identifier, params);
  // A raised failure leaves the call here; the post-hook sees the results that return.
  const int32_t rc = DeleteCertFromStores(&params, ctx);
  if (VexorCallBack* cb = ctx.callback()) return cb->OnDeleteCertificate(identifier, rc);
  return rc;
}

void UpdateCertStore(InstanceContext& ctx) {
  SSTAccessor* file = ctx.shared.storeFile;
  if (file == nullptr) return;
  // Held from the read to the save and the retirement, so that nothing another process
  // saves meanwhile is overwritten.
  const auto change = file->BeginChange();
  auto_store store(change ? file->Open(kEncoding, kStoreOpenFlags, 0) : nullptr);
  if (!store) {
    ctx.log().LogExt("IVexorImpl::UpdateCertStore: Не удалось открыть хранилище SST (%s)",
                     SystemErrorTextShort(GetLastError()).c_str());
    return;
  }
  bool merged = false;
  if (DIR* dir = opendir(ctx.workDir.c_str())) {
    std::vector<std::string> drop_ins;
    while (const dirent* entry = readdir(dir)) {
      const std::string path = ctx.workDir + "/" + entry->d_name;
      struct stat st {};
      if (IsDropInName(entry->d_name) && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) drop_ins.push_back(path);
    }
    closedir(dir);
    for (const std::string& path : drop_ins) merged = MergeDropIn(ctx, store.get(), path) || merged;
  }

  size_t count = 0, taken = 0;
  uint32_t result = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store.get(), c)) {
    ++count;
    if (ctx.callback() == nullptr) continue;
    const bool ok = HostTakes(ctx, c->pbCertEncoded, c->cbCertEncoded, kItemCertificate, result) && result == 0;
    ctx.log().LogText("Adding cert: " + NameToX500String(c->pCertInfo->Subject, true) + (ok ? " - Ok" : " - Error"));
    if (ok) ++taken;
  }
  for (PCCRL_CONTEXT c = CertEnumCRLsInStore(store.get(), nullptr); c != nullptr; c = CertEnumCRLsInStore(store.get(), c)) {
    ++count;
    if (ctx.callback() == nullptr) continue;
    if (HostTakes(ctx, c->pbCrlEncoded, c->cbCrlEncoded, kItemCrl, result) && result == 0)
      ++taken;
    else
      ctx.log().LogText("Adding CRL: " + NameToX500String(c->pCrlInfo->Issuer, true) + " - Error");
  }
  // A store nothing was merged into is not rewritten: the file stays as it is.
  if (merged) file->Save(store.get(), kEncoding);

  if (count > 0 && taken == count) {
    // Everything is the host's now: the file is retired and starts again empty.
    const std::string path = file->GetPath();
    struct stat st {};
    const uint32_t length = stat(path.c_str(), &st) == 0 ? static_cast<uint32_t>(st.st_size) : 0;
    const std::string retired = Format("%s/certstore_%d.opt", ctx.workDir.c_str(), static_cast<int>(length));
    if (access(retired.c_str(), F_OK) != 0)
      std::rename(path.c_str(), retired.c_str());
    else
      std::remove(path.c_str());
    auto_store fresh(file->Open(kEncoding, kStoreOpenFlags, 0));
  }
  CertCloseStore(store.release(), CERT_CLOSE_STORE_FORCE_FLAG);
}
