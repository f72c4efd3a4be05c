// The exported functions: arguments checked, the document parsed, the work done, the
// result serialised into a buffer only FreeMem releases. Nothing escapes as an exception.
#include "vexor/vexor_xml.h"

#include <libxml/xmlmemory.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "xml/document.h"
#include "xml/dsig.h"
#include "xml/xenc.h"

using namespace vexorxml;

namespace {

template <typename F>
int Guarded(F&& body) {
  const QuietErrors quiet;
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return VEXORXML_NO_MEMORY;
  } catch (...) {
    return VEXORXML_BAD_DOCUMENT;
  }
}

bool OutputsOk(void** result, int* length) {
  if (result == nullptr || length == nullptr) return false;
  *result = nullptr;
  *length = 0;
  return true;
}

int Serialized(xmlDoc* doc, void** result, int* length) {
  return SerializeDocument(doc, result, length) ? VEXORXML_OK : VEXORXML_NO_MEMORY;
}

}  // namespace

int CryptoXml::SignXml(const void* document, int length, const CERT_CONTEXT* signer, int silent, void** result,
                       int* resultLength) {
  if (!OutputsOk(result, resultLength) || document == nullptr || signer == nullptr) return VEXORXML_BAD_PARAMETER;
  return Guarded([&] {
    const int streamed = SignStreamed(document, length, signer, silent != 0, result, resultLength);
    if (streamed != kUseTree) return streamed;
    DocPtr doc = ParseDocument(document, length);
    if (!doc) return int(VEXORXML_BAD_DOCUMENT);
    xmlNode* signature = nullptr;
    if (const int rc = SignDocument(doc.get(), signer, silent != 0, &signature)) return rc;
    if (SpliceSignature(document, length, doc.get(), signature, result, resultLength)) return int(VEXORXML_OK);
    return Serialized(doc.get(), result, resultLength);
  });
}

int CryptoXml::CheckSignXml(const void* document, int length, const CERT_CONTEXT** signer, int* valid, void** result,
                            int* resultLength) {
  if (!OutputsOk(result, resultLength) || document == nullptr || signer == nullptr || valid == nullptr)
    return VEXORXML_BAD_PARAMETER;
  *signer = nullptr;
  *valid = 0;
  return Guarded([&] {
    bool verdict = false;
    PCCERT_CONTEXT cert = nullptr;
    int rc = VerifyStreamed(document, length, &cert, verdict);
    if (rc == kUseTree) {
      DocPtr doc = ParseDocument(document, length);
      if (!doc) return int(VEXORXML_BAD_DOCUMENT);
      rc = VerifyDocument(doc.get(), &cert, verdict);
    }
    if (rc != 0) return rc;
    // The document as it was read.
    void* copy = xmlMalloc(static_cast<size_t>(length));
    if (copy == nullptr) {
      CertFreeCertificateContext(cert);
      return int(VEXORXML_NO_MEMORY);
    }
    std::memcpy(copy, document, static_cast<size_t>(length));
    *result = copy;
    *resultLength = length;
    *signer = cert;
    *valid = verdict ? 1 : 0;
    return int(VEXORXML_OK);
  });
}

int CryptoXml::EncryptXml(const void* document, int length, const CERT_CONTEXT* recipient, void** result,
                          int* resultLength) {
  if (!OutputsOk(result, resultLength) || document == nullptr || recipient == nullptr) return VEXORXML_BAD_PARAMETER;
  return Guarded([&] {
    DocPtr doc = ParseDocument(document, length);
    if (!doc) return int(VEXORXML_BAD_DOCUMENT);
    if (const int rc = EncryptDocument(doc.get(), recipient)) return rc;
    return Serialized(doc.get(), result, resultLength);
  });
}

int CryptoXml::DecryptXml(const void* document, int length, void** result, int* resultLength) {
  if (!OutputsOk(result, resultLength) || document == nullptr) return VEXORXML_BAD_PARAMETER;
  return Guarded([&] {
    DocPtr doc = ParseDocument(document, length);
    if (!doc) return int(VEXORXML_BAD_DOCUMENT);
    if (const int rc = DecryptDocument(doc.get())) return rc;
    return Serialized(doc.get(), result, resultLength);
  });
}

void CryptoXml::FreeMem(void** buffer) {
  if (buffer == nullptr || *buffer == nullptr) return;
  xmlFree(*buffer);
  *buffer = nullptr;
}

extern "C" {
int VexorXmlSign(const void* d, int n, const CERT_CONTEXT* c, int s, void** r, int* l) {
  return CryptoXml::SignXml(d, n, c, s, r, l);
}
int VexorXmlCheckSign(const void* d, int n, const CERT_CONTEXT** c, int* v, void** r, int* l) {
  return CryptoXml::CheckSignXml(d, n, c, v, r, l);
}
int VexorXmlEncrypt(const void* d, int n, const CERT_CONTEXT* c, void** r, int* l) {
  return CryptoXml::EncryptXml(d, n, c, r, l);
}
int VexorXmlDecrypt(const void* d, int n, void** r, int* l) { return CryptoXml::DecryptXml(d, n, r, l); }
void VexorXmlFreeMem(void** b) { CryptoXml::FreeMem(b); }
}
