// Windows-shaped types of the platform cryptographic service (libvexorcsp.so).
//
// The names, shapes and values are those a CryptoAPI client expects, so code ported from
// Windows compiles unchanged: DWORD is 32 bits, handles are pointer-sized, blobs are
// {cbData, pbData}, FILETIME counts 100 ns ticks since 1601-01-01 UTC.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(VEXORCSP_BUILD)
#define VEXORCSP_API __attribute__((visibility("default")))
#else
#define VEXORCSP_API
#endif

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef unsigned int UINT;
typedef char CHAR;
typedef char16_t WCHAR;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BYTE* PBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef unsigned int ALG_ID;
typedef int32_t HRESULT;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef uintptr_t HCRYPTPROV;
typedef uintptr_t HCRYPTKEY;
typedef uintptr_t HCRYPTHASH;
typedef void* HCERTSTORE;
typedef void* HCRYPTMSG;
typedef void* HCERTCHAINENGINE;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CRYPT_UINT_BLOB, CRYPT_OBJID_BLOB, CERT_NAME_BLOB,
    *PCERT_NAME_BLOB, CERT_RDN_VALUE_BLOB, CERT_BLOB, *PCERT_BLOB, CRL_BLOB, *PCRL_BLOB,
    DATA_BLOB, CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_HASH_BLOB, *PCRYPT_HASH_BLOB,
    CRYPT_DER_BLOB, CRYPT_ATTR_BLOB, *PCRYPT_ATTR_BLOB;

typedef struct _CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
} CRYPT_BIT_BLOB, *PCRYPT_BIT_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER, *PCRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO, *PCERT_PUBLIC_KEY_INFO;

typedef struct _CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;

// Decoded TBSCertificate. SerialNumber is least significant byte first; names are the
// complete DER of the Name; times are UTC.
typedef struct _CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

typedef struct _CRL_ENTRY {
  CRYPT_INTEGER_BLOB SerialNumber;
  FILETIME RevocationDate;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
} CRL_ENTRY, *PCRL_ENTRY;

typedef struct _CRL_INFO {
  DWORD dwVersion;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME ThisUpdate;
  FILETIME NextUpdate;
  DWORD cCRLEntry;
  PCRL_ENTRY rgCRLEntry;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
} CRL_INFO, *PCRL_INFO;

typedef struct _CRL_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCrlEncoded;
  DWORD cbCrlEncoded;
  PCRL_INFO pCrlInfo;
  HCERTSTORE hCertStore;
} CRL_CONTEXT, *PCRL_CONTEXT;
typedef const CRL_CONTEXT* PCCRL_CONTEXT;

// Encoding types.
#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

// System-store locations.
#define CERT_SYSTEM_STORE_CURRENT_USER 0x00010000
#define CERT_SYSTEM_STORE_LOCAL_MACHINE 0x00020000

// Provider type and key specs of the GOST provider.
#define PROV_GOST_2001_DH 75
// The GOST R 34.10-2012 provider types, with the numbers GOST providers on Windows use.
#define PROV_GOST_2012_256 80
#define PROV_GOST_2012_512 81
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

// Error numbers set as the thread's last error (Windows values).
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_DIRECTORY 267L
#define ERROR_CANCELLED 1223L
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)

// Certificate, store and ASN.1 error numbers (Windows values).

#define CRYPT_E_BAD_ENCODE ((HRESULT)0x80092002L)
#define CRYPT_E_FILE_ERROR ((HRESULT)0x80092003L)
#define CRYPT_E_NOT_FOUND ((HRESULT)0x80092004L)
#define CRYPT_E_EXISTS ((HRESULT)0x80092005L)
#define CRYPT_E_SELF_SIGNED ((HRESULT)0x80092007L)
#define CRYPT_E_DELETED_PREV ((HRESULT)0x80092008L)
#define CRYPT_E_NO_MATCH ((HRESULT)0x80092009L)
#define CRYPT_E_PENDING_CLOSE ((HRESULT)0x8009200FL)
#define CRYPT_E_OID_FORMAT ((HRESULT)0x80091003L)
#define CRYPT_E_INVALID_IA5_STRING ((HRESULT)0x80092022L)
#define CRYPT_E_ASN1_EOD ((HRESULT)0x80093102L)
#define CRYPT_E_ASN1_CORRUPT ((HRESULT)0x80093103L)
#define CRYPT_E_ASN1_LARGE ((HRESULT)0x80093104L)
#define CRYPT_E_ASN1_BADTAG ((HRESULT)0x8009310BL)

// FormatMessageA flags understood by the platform.
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

#ifdef __cplusplus
extern "C" {
#endif

// The thread's last error, as Windows keeps it: thread-local, set by every failing call.
VEXORCSP_API DWORD GetLastError(void);
VEXORCSP_API void SetLastError(DWORD dwErrCode);

// Message text of an error number the platform sets (FORMAT_MESSAGE_FROM_SYSTEM only).
// Returns the number of characters written without the terminator, 0 for an unknown number.
// Texts end with "\r\n" as on Windows. With FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer is a
// char** that receives a buffer to release with LocalFree.
VEXORCSP_API DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                  DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize, void* Arguments);
VEXORCSP_API void* LocalFree(void* hMem);

// Certificate contexts are reference counted; each duplicate is released once.
VEXORCSP_API PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
VEXORCSP_API BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

#ifdef __cplusplus
}
#endif

// Stores, certificates, revocation lists, chains and encodings.
#include "vexor/platform_cert.h"
// The GOST provider: keys, hashing, signatures, encryption.
#include "vexor/platform_prov.h"
// Cryptographic messages (PKCS#7 / CMS).
#include "vexor/platform_msg.h"
