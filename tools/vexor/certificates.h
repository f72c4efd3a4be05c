// Certificate helpers of the tool: reading PEM or DER files, describing a certificate, and
// the platform's system and file stores.
#pragma once

#include <string>

#include "der/gost_key_kind.h"
#include "vexor/platform.h"

// The DER bytes of the first certificate (or CRL, or key) in a PEM or DER file.
bool LoadDerFile(const std::string& path, const char* pem_label, std::string& der);
std::string DerToPem(const std::string& der, const char* label);

// Thumbprint and subject, then validity and key algorithm on lines of their own (UTF-8).
std::string DescribeCertificate(PCCERT_CONTEXT cert);
std::string ThumbprintHex(PCCERT_CONTEXT cert);
std::string CommonName(PCCERT_CONTEXT cert);  // UTF-8

// The algorithm of a certificate's public key, read from its SubjectPublicKeyInfo: the name the
// tool prints for it ("GOST R 34.10-2001", "GOST R 34.10-2012 256", "GOST R 34.10-2012 512")
// and the provider type a container of that key has. Null for a key of another algorithm.
struct KeyAlgorithm {
  der::GostKeyKind kind;
  const char* name;
  DWORD provider_type;
};
const KeyAlgorithm* KeyAlgorithmOf(PCCERT_CONTEXT cert);
// The name above, or the key's object identifier when it is not a GOST key.
std::string KeyAlgorithmName(PCCERT_CONTEXT cert);

// What keeps the certificate's chain from ending in a trusted root with every signature and
// validity period in order, in words; empty when the chain is trusted. `extra` (may be null)
// offers further certificates, such as a message's own.
std::string ChainTrouble(PCCERT_CONTEXT cert, HCERTSTORE extra);

// The issuer's revocation list a check of the certificate uses, described with its dates and
// the store it is in (the certificate's own, My, CA, Root or the store file named): of the
// lists whose signature the key of an issuer of the certificate verifies (a certificate of
// those stores with the issuer's name whose key verifies the certificate's signature), the
// newest. A list of another authority by the same name never counts. Empty when there is
// none at hand.
std::string RevocationListInUse(PCCERT_CONTEXT cert, const std::string& store_file);

// Owning store handle.
class StoreHandle {
 public:
  explicit StoreHandle(HCERTSTORE h = nullptr) : h_(h) {}
  ~StoreHandle() {
    if (h_ != nullptr) CertCloseStore(h_, 0);
  }
  StoreHandle(const StoreHandle&) = delete;
  StoreHandle& operator=(const StoreHandle&) = delete;
  HCERTSTORE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HCERTSTORE h_;
};

// "My", "Root", "CA" of the given location, or a serialized store file (anything else).
HCERTSTORE OpenNamedStore(const std::string& name, DWORD location);
bool IsSystemStoreName(const std::string& name);
bool SaveFileStore(HCERTSTORE store, const std::string& path);
