// The one header a host includes: the operation interfaces in their binary slot order, the
// host callback interface, the records the operations exchange, and the three exports.
//
// Slot order is binary interface: hosts are compiled against it, so declarations here are
// never reordered, and slots that only forward keep their places. Texts crossing this
// interface are Windows-1251.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "vexor/exceptions.h"
#include "vexor/platform.h"

typedef double DATE;  // days since 1899-12-30, local time

// Message formats of the stream operations.
enum VexorFormat : int32_t { VEXOR_FORMAT_PKCS7 = 0, VEXOR_FORMAT_141 = 1, VEXOR_FORMAT_XML = 2 };

// Store identifiers (bit mask of the stores a search walks).
enum : unsigned long { CST_SST = 1, CST_MY = 2, CST_ROOT = 4, CST_HOST = 8, CST_EXTERNAL = 16, CST_ALL = 31 };

// Kinds of encoded items offered to the host.
enum : uint32_t { VEXOR_ITEM_CERT = 10, VEXOR_ITEM_CRL = 12 };

// The host's description of one party's certificate. The party identifier used in messages
// is the first non-empty of subject common name, thumbprint text and e-mail address.
struct CertPartyParam {
  bool isSender = false;   // the sender's own certificate (read by encryption only)
  std::string subjectCN;   // subject common name
  std::string email;       // e-mail address
  std::string thumbprint;  // hexadecimal thumbprint text
};
typedef std::vector<CertPartyParam> CertPartyList;

// One signer's verdict; also the criteria a host hands to a verification.
struct SignerCheckResult : CertPartyParam {
  bool certValid = false;
  bool signValid = false;
  DATE signTime = 0;             // 0 when not known
  std::string description;
  PCCERT_CONTEXT cert = nullptr;  // owned by the host when set (extract_signers)
};

struct SignerCheckList {
  std::vector<SignerCheckResult> items;
  bool checkValidity = false;  // read by the expected-certificate verification
};

// One certificate on offer (GetCertList).
struct CertListItem {
  bool flag = false;
  std::string serialNumber;
  std::string subject;
  std::string keyUsages;
  std::string issuer;
  std::string validTo;
  std::string validFrom;
  std::string thumbTag;
  std::string nameTag;
};
typedef std::vector<CertListItem> CertList;

// Thumbprints read from the head of a file by GetFileParties: 40 hex characters each, not
// terminated.
struct FileParties {
  char senderThumb[40];
  char recipientThumb[40];
};

// Distinct argument kinds of the four AddCertOrCRLToFile / AddCertOrCRLToStore overloads.
struct CertEncoded { CERT_BLOB blob; };
struct CrlEncoded { CRL_BLOB blob; };
struct CertFile { const char* path; };
struct CrlFile { const char* path; };

// An owning list of certificate contexts: one reference per element.
class vector_cert {
 public:
  vector_cert() = default;
  vector_cert(const vector_cert&) = delete;
  vector_cert& operator=(const vector_cert&) = delete;
  ~vector_cert() { clear(); }
  void push_back(PCCERT_CONTEXT cert) { items_.push_back(CertDuplicateCertificateContext(cert)); }
  void clear() {
    for (PCCERT_CONTEXT c : items_) CertFreeCertificateContext(c);
    items_.clear();
  }
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  PCCERT_CONTEXT operator[](size_t i) const { return items_[i]; }
  std::vector<PCCERT_CONTEXT>::const_iterator begin() const { return items_.begin(); }
  std::vector<PCCERT_CONTEXT>::const_iterator end() const { return items_.end(); }

 private:
  std::vector<PCCERT_CONTEXT> items_;
};

// The find-parameter record the host's external search receives.
struct _TAGCERTFINDPARAM {
  unsigned long storeMask = 0;
  std::string issuer;
  std::string subjectCN;
  std::string email;
  std::string thumbprintText;
  CRYPT_HASH_BLOB thumbprint{0, nullptr};  // owned by the record
  PCCERT_CONTEXT startCert = nullptr;
  bool multiSelect = false;
  bool skipValidity = false;
  bool searchAllStores = false;
  vector_cert results;
};

// The host's callback object. The library never owns, copies or deletes it. Slots the
// library never calls still hold their places.
class VexorCallBack {
 public:
  virtual ~VexorCallBack() {}                                                        // 0
  virtual int32_t OnInit(uint32_t reserved) = 0;                                     // 1
  virtual int32_t OnSign(const CertPartyParam& party, std::istream& in, std::ostream& out,
                         int32_t result) = 0;                                        // 2
  virtual int32_t OnCheck(std::istream& signedData, std::istream* content, void* reserved,
                          SignerCheckList& signers, uint32_t passThrough,
                          int32_t result) = 0;                                       // 3
  virtual int32_t OnEncrypt(std::istream& in, std::ostream& out, const CertPartyList& parties,
                            int32_t result) = 0;                                     // 4
  virtual int32_t OnDecrypt(std::istream& in, std::ostream& out, int32_t result) = 0;  // 5
  virtual void Reserved6() = 0;                                                      // 6
  virtual int32_t OnUnpack(std::istream& in, std::ostream& out, int32_t result) = 0;  // 7
  virtual int32_t OnDeleteCertificate(const char* identifier, int32_t result) = 0;   // 8
  virtual std::string OnGetWorkDir() = 0;                                            // 9
  virtual HCERTSTORE OnOpenStore() = 0;                                              // 10
  virtual void OnCloseStore(HCERTSTORE store) = 0;                                   // 11
  virtual bool OnCertFindEx(_TAGCERTFINDPARAM* params, PCCERT_CONTEXT* cert) = 0;    // 12
  virtual bool OnGetCRL(PCCERT_CONTEXT issuer, PCCRL_CONTEXT* crl, uint32_t mode) = 0;  // 13
  virtual bool OnAddCertOrCRL(const CRYPT_DATA_BLOB& item, uint32_t kind,
                              uint32_t* out) = 0;                                    // 14
  virtual int32_t OnCertExpiry(PCCERT_CONTEXT cert) = 0;                             // 15
  virtual bool OnFindSignerCert(PCERT_INFO signer, PCCERT_CONTEXT* cert) = 0;        // 16
  virtual void OnFreeSignerCert(PCCERT_CONTEXT cert) = 0;                            // 17
  virtual void Reserved18() = 0;                                                     // 18
  virtual void Reserved19() = 0;                                                     // 19
  virtual bool OnLog(const char* text) = 0;                                          // 20
};

// Slots 0 to 13: the stream operations. Format: VexorFormat.
class IVexorStream {
 public:
  virtual ~IVexorStream() {}                                                         // 0
  virtual void Release() = 0;                                                        // 1
  virtual std::string GetErrorText(int32_t code) = 0;                                // 2
  virtual int32_t sign_stream_a(const CertPartyParam& party, std::istream& in,
                                std::ostream& out, int32_t format) = 0;              // 3
  virtual int32_t sign_stream_d(const CertPartyParam& party, std::istream& in,
                                std::ostream& out, int32_t format) = 0;              // 4
  virtual int32_t check_stream_a(std::istream& signedData, SignerCheckList& signers,
                                 int32_t format) = 0;                                // 5
  virtual int32_t check_stream_a(std::istream& signedData, SignerCheckList& signers,
                                 std::ostream& content, uint32_t passThrough,
                                 int32_t format) = 0;                                // 6
  virtual int32_t check_stream_a(std::istream& signedData, SignerCheckList& signers,
                                 uint32_t passThrough, int32_t format) = 0;          // 7
  virtual int32_t check_stream_d(std::istream& signedData, std::istream& content,
                                 SignerCheckList& signers, int32_t format) = 0;      // 8
  virtual int32_t check_stream_d(std::istream& signedData, std::istream& content,
                                 SignerCheckList& signers, uint32_t passThrough,
                                 int32_t format) = 0;                                // 9
  virtual int32_t unpack_signed_stream(std::istream& signedData, std::ostream& content,
                                       int32_t format) = 0;                          // 10
  virtual int32_t encrypt_stream(std::istream& in, std::ostream& out,
                                 const CertPartyList& parties, int32_t format) = 0;  // 11
  virtual int32_t decrypt_stream(std::istream& in, std::ostream& out, int32_t format) = 0;  // 12
  virtual int32_t extract_signers(std::istream& signedData, std::istream& content,
                                  SignerCheckList& signers) = 0;                     // 13
};

// Slots 14 to 32: initialisation and certificate operations.
class IVexor : public IVexorStream {
 public:
  virtual int32_t Init(const char* workDir, VexorCallBack* callback, uint32_t storeLocation) = 0;  // 14
  virtual BOOL IsInitialized() = 0;                                                  // 15
  virtual int32_t GetCertList(CertList& certs) = 0;                                  // 16
  virtual int32_t CertUpdateCRLs() = 0;                                              // 17
  virtual int32_t AddCertOrCRLToFile(const char* file, const CertEncoded& cert) = 0;  // 18
  virtual int32_t AddCertOrCRLToFile(const char* file, const CertFile& cert) = 0;     // 19
  virtual int32_t AddCertOrCRLToFile(const char* file, const CrlEncoded& crl) = 0;    // 20
  virtual int32_t AddCertOrCRLToFile(const char* file, const CrlFile& crl) = 0;       // 21
  virtual int32_t AddCertOrCRLToStore(const CertEncoded& cert) = 0;                  // 22
  virtual int32_t AddCertOrCRLToStore(const CertFile& cert) = 0;                     // 23
  virtual int32_t AddCertOrCRLToStore(const CrlEncoded& crl) = 0;                    // 24
  virtual int32_t AddCertOrCRLToStore(const CrlFile& crl) = 0;                       // 25
  virtual int32_t DeleteCertificate(const char* identifier) = 0;                     // 26
  virtual int32_t FindCertificate(const char* identifier, CRYPT_DATA_BLOB* cert) = 0;  // 27
  virtual void FreeBuffer(CRYPT_DATA_BLOB* blob) = 0;                                // 28
  virtual int32_t FindCertificateByThumb(const char* thumbHex, PCCERT_CONTEXT* cert) = 0;  // 29
  virtual int32_t CheckCertificate(PCCERT_CONTEXT* cert) = 0;                        // 30
  virtual int32_t GetFileParties(const char* path, FileParties* parties) = 0;        // 31
  virtual uint32_t SetFlags(uint32_t flags, uint32_t replace) = 0;                   // 32
};

#define VEXOR_INTERFACE_VERSION 11

extern "C" {
int32_t CreateObjectInstance(IVexor** object);
int32_t DestroyObjectInstance(IVexor** object);
int32_t GetIVersion();
}

// Function-pointer types for hosts that load the library with dlopen, and the name to load
// (the installed library's soname; libvexor.so itself comes only with the development files).
#define VEXOR_SONAME "libvexor.so.1"
typedef int32_t (*PFN_CreateObjectInstance)(IVexor**);
typedef int32_t (*PFN_DestroyObjectInstance)(IVexor**);
typedef int32_t (*PFN_GetIVersion)();
