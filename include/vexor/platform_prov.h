// The GOST provider of the platform service: provider contexts and key containers, keys and
// key blobs, GOST R 34.11-94 hashing, GOST R 34.10-2001 signatures, VKO key agreement and
// GOST 28147-89 encryption, with CryptoAPI's names, values and calling conventions.
#pragma once

#include "vexor/platform.h"

// CryptAcquireContextA flags.
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040

// Provider parameters.
#define PP_ENUMCONTAINERS 2
#define PP_NAME 4
#define PP_CONTAINER 6
#define PP_PROVTYPE 16
#define PP_KEYEXCHANGE_PIN 32
#define PP_SIGNATURE_PIN 33
#define CRYPT_FIRST 1
#define CRYPT_NEXT 2

// The provider's name as CryptGetProvParam(PP_NAME) reports it.
#define VEXOR_GOST_PROV_NAME_A "Vexor GOST R 34.10-2001 Cryptographic Service Provider"

// Algorithm identifiers.
#define CALG_GR3411 0x801E
#define CALG_G28147_IMIT 0x801F
#define CALG_G28147 0x661E
#define CALG_PRO_EXPORT 0x661F
#define CALG_SIMPLE_EXPORT 0x6620
#define CALG_GR3410 0x2E1E
#define CALG_GR3410EL 0x2E23
#define CALG_DH_EL_SF 0xAA24
#define CALG_DH_EL_EPHEM 0xAA25
// GOST R 34.10-2012 exchange keys (own and ephemeral), 256 and 512 bits: the identifiers
// GOST providers on Windows give them (ALG_CLASS_KEY_EXCHANGE | ALG_TYPE_DH with the
// sub-ids 70/71 and 66/67). Their agreement is VKO GOST R 34.10-2012.
#define CALG_DH_GR3410_12_256_SF 0xAA46
#define CALG_DH_GR3410_12_256_EPHEM 0xAA47
#define CALG_DH_GR3410_12_512_SF 0xAA42
#define CALG_DH_GR3410_12_512_EPHEM 0xAA43

// The GOST R 34.10-2012 / 34.11-2012 generation. The values are the ones GOST CryptoAPI
// providers on Windows publish for these algorithms (the provider types are in platform.h),
// so that blobs and algorithm ids mean the same on both systems.
#define CALG_GR3411_2012_256 0x8021
#define CALG_GR3411_2012_512 0x8022
#define CALG_GR3410_12_256 0x2E49
#define CALG_GR3410_12_512 0x2E3D
// The exchange-key ids follow the 2001 pattern (CALG_DH_EL_SF 0xAA24, _EPHEM 0xAA25): the
// static key has the lower number, as the published constant tables list them.
#define CALG_DH_GR3410_12_256_SF 0xAA46
#define CALG_DH_GR3410_12_256_EPHEM 0xAA47
#define CALG_DH_GR3410_12_512_SF 0xAA42
#define CALG_DH_GR3410_12_512_EPHEM 0xAA43

// Key generation and export flags.
#define CRYPT_EXPORTABLE 0x00000001

// Blob types.
#define SIMPLEBLOB 0x1
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define PLAINTEXTKEYBLOB 0x8
#define CUR_BLOB_VERSION 2

// Key parameters.
#define KP_IV 1
#define KP_PADDING 3
#define KP_MODE 4
#define KP_ALGID 7
#define KP_KEYLEN 9
#define KP_CIPHEROID 104
#define CRYPT_MODE_CBC 1
#define CRYPT_MODE_ECB 2
#define CRYPT_MODE_OFB 3
#define CRYPT_MODE_CFB 4

// Hash parameters.
#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004

// CryptAcquireCertificatePrivateKey flags.
#define CRYPT_ACQUIRE_CACHE_FLAG 0x00000001
#define CRYPT_ACQUIRE_USE_PROV_INFO_FLAG 0x00000002
#define CRYPT_ACQUIRE_COMPARE_KEY_FLAG 0x00000004
#define CRYPT_ACQUIRE_SILENT_FLAG 0x00000040

// Provider errors.
#define NTE_BAD_UID ((HRESULT)0x80090001L)
#define NTE_BAD_HASH ((HRESULT)0x80090002L)
#define NTE_BAD_KEY ((HRESULT)0x80090003L)
#define NTE_BAD_LEN ((HRESULT)0x80090004L)
#define NTE_BAD_DATA ((HRESULT)0x80090005L)
#define NTE_BAD_SIGNATURE ((HRESULT)0x80090006L)
#define NTE_BAD_VER ((HRESULT)0x80090007L)
#define NTE_BAD_ALGID ((HRESULT)0x80090008L)
#define NTE_BAD_FLAGS ((HRESULT)0x80090009L)
#define NTE_BAD_TYPE ((HRESULT)0x8009000AL)
#define NTE_BAD_KEY_STATE ((HRESULT)0x8009000BL)
#define NTE_BAD_HASH_STATE ((HRESULT)0x8009000CL)
#define NTE_NO_KEY ((HRESULT)0x8009000DL)
#define NTE_NO_MEMORY ((HRESULT)0x8009000EL)
#define NTE_EXISTS ((HRESULT)0x8009000FL)
#define NTE_PERM ((HRESULT)0x80090010L)
#define NTE_NOT_FOUND ((HRESULT)0x80090011L)
#define NTE_BAD_PROVIDER ((HRESULT)0x80090013L)
#define NTE_BAD_PUBLIC_KEY ((HRESULT)0x80090015L)
#define NTE_BAD_PROV_TYPE ((HRESULT)0x80090014L)
#define NTE_BAD_KEYSET ((HRESULT)0x80090016L)
#define NTE_PROV_TYPE_NOT_DEF ((HRESULT)0x80090017L)
#define NTE_KEYSET_NOT_DEF ((HRESULT)0x80090019L)
#define NTE_BAD_KEYSET_PARAM ((HRESULT)0x8009001FL)
#define NTE_FAIL ((HRESULT)0x80090020L)
#define NTE_SILENT_CONTEXT ((HRESULT)0x80090022L)
#define SCARD_W_WRONG_CHV ((HRESULT)0x8010006BL)
#ifndef CRYPT_E_NO_KEY_PROPERTY
#define CRYPT_E_NO_KEY_PROPERTY ((HRESULT)0x8009200BL)
#endif

#ifdef __cplusplus
extern "C" {
#endif

// ---- Provider contexts ------------------------------------------------------------------

// pszContainer null with CRYPT_VERIFYCONTEXT: a context for public-key work only. A name
// opens that key container (CRYPT_NEWKEYSET creates it, CRYPT_DELETEKEYSET removes it and
// returns no handle). pszProvider is null or the provider's own name; dwProvType is 75.
VEXORCSP_API BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR pszContainer,
                                       LPCSTR pszProvider, DWORD dwProvType, DWORD dwFlags);
VEXORCSP_API BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
// PP_NAME, PP_CONTAINER (text with terminator), PP_PROVTYPE (DWORD), PP_ENUMCONTAINERS
// (CRYPT_FIRST, then CRYPT_NEXT until ERROR_NO_MORE_ITEMS). Two-call size protocol.
VEXORCSP_API BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                    DWORD* pdwDataLen, DWORD dwFlags);
// PP_KEYEXCHANGE_PIN / PP_SIGNATURE_PIN: the container's PIN as text, used when its key is
// first needed.
VEXORCSP_API BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData,
                                    DWORD dwFlags);

// The key container named by the certificate's CERT_KEY_PROV_INFO_PROP_ID. With
// CRYPT_ACQUIRE_CACHE_FLAG the handle is kept in the certificate's CERT_KEY_CONTEXT_PROP_ID
// and released with it (*pfCallerFreeProv = FALSE); with CRYPT_ACQUIRE_COMPARE_KEY_FLAG the
// container's public key must be the certificate's; with CRYPT_ACQUIRE_SILENT_FLAG no PIN
// is ever asked for.
VEXORCSP_API BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags,
                                                    void* pvParameters, HCRYPTPROV* phCryptProv,
                                                    DWORD* pdwKeySpec, BOOL* pfCallerFreeProv);

// Installs a GOST R 34.10-2001 private key into a key container, creating it: pbKey is a
// PKCS#8 PrivateKeyInfo in DER or PEM, in any of the encodings in circulation. pszPin, when
// not null or empty, protects the container. dwFlags: CRYPT_NEWKEYSET refuses an existing
// container (NTE_EXISTS); 0 replaces it.
VEXORCSP_API BOOL CryptImportPKCS8ToContainerA(LPCSTR pszContainer, const BYTE* pbKey,
                                               DWORD cbKey, LPCSTR pszPin, DWORD dwFlags);

// ---- Keys ---------------------------------------------------------------------------------

VEXORCSP_API BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
// CALG_G28147 session keys (CRYPT_EXPORTABLE), CALG_DH_EL_EPHEM ephemeral keys, and
// AT_KEYEXCHANGE / CALG_DH_EL_SF for a container's exchange key.
VEXORCSP_API BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
VEXORCSP_API BOOL CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType,
                                           PCERT_PUBLIC_KEY_INFO pInfo, HCRYPTKEY* phKey);
// PUBLICKEYBLOB alone: a public key. PUBLICKEYBLOB with an own private key as hPubKey: the
// agreement key (VKO with the UKM in its KP_IV). SIMPLEBLOB with an agreement key: the
// session key, its MAC checked. PLAINTEXTKEYBLOB: a session key given in the clear.
VEXORCSP_API BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen,
                                 HCRYPTKEY hPubKey, DWORD dwFlags, HCRYPTKEY* phKey);
VEXORCSP_API BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType,
                                 DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen);
VEXORCSP_API BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData,
                                   DWORD* pdwDataLen, DWORD dwFlags);
VEXORCSP_API BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                                   DWORD dwFlags);
VEXORCSP_API BOOL CryptDestroyKey(HCRYPTKEY hKey);

// GOST 28147-89 in place; CFB continues across calls until Final.
VEXORCSP_API BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags,
                               BYTE* pbData, DWORD* pdwDataLen, DWORD dwBufLen);
VEXORCSP_API BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags,
                               BYTE* pbData, DWORD* pdwDataLen);

// ---- Hashes and signatures ----------------------------------------------------------------

// CALG_GR3411 (no key) or CALG_G28147_IMIT (a session key).
VEXORCSP_API BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey,
                                  DWORD dwFlags, HCRYPTHASH* phHash);
VEXORCSP_API BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen,
                                DWORD dwFlags);
VEXORCSP_API BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData,
                                    DWORD* pdwDataLen, DWORD dwFlags);
// HP_HASHVAL: sign a hash value computed elsewhere.
VEXORCSP_API BOOL CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData,
                                    DWORD dwFlags);
VEXORCSP_API BOOL CryptDestroyHash(HCRYPTHASH hHash);
// The 64-byte signature in CryptoAPI order: r little-endian || s little-endian (the CMS
// s || r big-endian string reversed as a whole).
VEXORCSP_API BOOL CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription,
                                 DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen);
VEXORCSP_API BOOL CryptVerifySignatureA(HCRYPTHASH hHash, const BYTE* pbSignature,
                                        DWORD dwSigLen, HCRYPTKEY hPubKey,
                                        LPCSTR szDescription, DWORD dwFlags);

#ifdef __cplusplus
}
#endif

#define PP_NAME 4

#ifdef __cplusplus
extern "C" {
#endif

// Provider parameters (PP_NAME: the provider's name, zero-terminated); two-call size convention.
VEXORCSP_API BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                    DWORD dwFlags);

#ifdef __cplusplus
}
#endif
