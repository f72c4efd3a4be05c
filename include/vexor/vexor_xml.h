// libvexorxml.so: XML documents signed and encrypted with GOST algorithms in the public
// formats (XML-DSig with the RFC 4051 identifiers, XML-Enc with the cpxmlsec ones).
// libvexor.so loads it at run time from its own folder; a host may also link it directly.
//
// Every function returns 0 on success with the result buffer and its length set; the buffer
// is released only through FreeMem. Nonzero results are the codes below.
#pragma once

#include "vexor/platform.h"

#if defined(VEXORXML_BUILD)
#define VEXORXML_API __attribute__((visibility("default")))
#else
#define VEXORXML_API
#endif

// The installed library's soname, as libvexor.so and the vexor tool load it.
#define VEXORXML_SONAME "libvexorxml.so.1"

// Result codes of the XML functions (the library's own numbers for the same troubles).
enum : int {
  VEXORXML_OK = 0,
  VEXORXML_NO_MEMORY = 6,         // a buffer could not be had
  VEXORXML_BAD_DOCUMENT = 11,     // not well-formed, a DTD, too deep or too large, or not what the operation reads
  VEXORXML_CERT_NOT_FOUND = 17,   // no certificate with a key for the encrypted document
  VEXORXML_NO_PRIVATE_KEY = 27,   // the signer's key cannot be had
  VEXORXML_PUBLIC_KEY = 29,       // a public key cannot be imported
  VEXORXML_HASH = 31,             // hashing or signing failed
  VEXORXML_DECRYPT = 38,          // the session key or the content does not decrypt
  VEXORXML_ENCRYPT = 42,          // the session key or the content cannot be encrypted
  VEXORXML_UNAVAILABLE = 46,      // libvexor.so answers this when libvexorxml.so cannot be loaded
  VEXORXML_BAD_PARAMETER = 49,    // a missing argument
};

// Largest document the functions take (longer ones are refused with VEXORXML_BAD_DOCUMENT).
enum : int { VEXORXML_MAX_DOCUMENT = 64 << 20 };

class VEXORXML_API CryptoXml {
 public:
  // An enveloped signature as the last child of the document element, by the certificate's
  // key; silent nonzero: no PIN prompt.
  static int SignXml(const void* document, int length, const CERT_CONTEXT* signer, int silent, void** result,
                     int* resultLength);
  // Verifies the one signature of the document: the signer's certificate (the caller frees
  // it), the verdict (nonzero = valid) and the document as it was read. A signature that
  // does not verify is a verdict, not a failure.
  static int CheckSignXml(const void* document, int length, const CERT_CONTEXT** signer, int* valid,
                          void** result, int* resultLength);
  // The document element replaced by its EncryptedData for the recipient.
  static int EncryptXml(const void* document, int length, const CERT_CONTEXT* recipient, void** result,
                        int* resultLength);
  // The EncryptedData document element decrypted with the key of the recipient certificate
  // installed in My.
  static int DecryptXml(const void* document, int length, void** result, int* resultLength);
  static void FreeMem(void** buffer);
};

// The same functions with C names, which libvexor.so looks up after loading the library.
extern "C" {
VEXORXML_API int VexorXmlSign(const void*, int, const CERT_CONTEXT*, int, void**, int*);
VEXORXML_API int VexorXmlCheckSign(const void*, int, const CERT_CONTEXT**, int*, void**, int*);
VEXORXML_API int VexorXmlEncrypt(const void*, int, const CERT_CONTEXT*, void**, int*);
VEXORXML_API int VexorXmlDecrypt(const void*, int, void**, int*);
VEXORXML_API void VexorXmlFreeMem(void**);
}
