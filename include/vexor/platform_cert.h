// Certificates, revocation lists, stores, chains, encodings and FILETIME helpers of the
// platform cryptographic service, with the Windows names, shapes and values.
#pragma once

#include "vexor/platform.h"

// ---- Time ---------------------------------------------------------------------------------

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

// ---- Store providers, open and close flags -----------------------------------------------

#define CERT_STORE_PROV_MSG ((LPCSTR)1)
#define CERT_STORE_PROV_MEMORY ((LPCSTR)2)
#define CERT_STORE_PROV_FILE ((LPCSTR)3)
#define CERT_STORE_PROV_PKCS7 ((LPCSTR)5)
#define CERT_STORE_PROV_SERIALIZED ((LPCSTR)6)
#define CERT_STORE_PROV_FILENAME_A ((LPCSTR)7)
#define CERT_STORE_PROV_FILENAME_W ((LPCSTR)8)
#define CERT_STORE_PROV_SYSTEM_A ((LPCSTR)9)
#define CERT_STORE_PROV_SYSTEM_W ((LPCSTR)10)

#define CERT_STORE_NO_CRYPT_RELEASE_FLAG 0x00000001
#define CERT_STORE_DELETE_FLAG 0x00000010
#define CERT_STORE_CREATE_NEW_FLAG 0x00002000
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000
#define CERT_STORE_READONLY_FLAG 0x00008000
#define CERT_FILE_STORE_COMMIT_ENABLE_FLAG 0x00010000
#define CERT_SYSTEM_STORE_LOCATION_MASK 0x00FF0000

#define CERT_CLOSE_STORE_FORCE_FLAG 0x00000001
#define CERT_CLOSE_STORE_CHECK_FLAG 0x00000002

// CertSaveStore.
#define CERT_STORE_SAVE_AS_STORE 1
#define CERT_STORE_SAVE_AS_PKCS7 2
#define CERT_STORE_SAVE_TO_FILE 1
#define CERT_STORE_SAVE_TO_MEMORY 2
#define CERT_STORE_SAVE_TO_FILENAME_A 3
#define CERT_STORE_SAVE_TO_FILENAME_W 4

// Add dispositions.
#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4
#define CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES 5
#define CERT_STORE_ADD_NEWER 6
#define CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES 7

// CertGetCRLFromStore checks.
#define CERT_STORE_SIGNATURE_FLAG 0x00000001
#define CERT_STORE_TIME_VALIDITY_FLAG 0x00000002
#define CERT_STORE_REVOCATION_FLAG 0x00000004
#define CERT_STORE_BASE_CRL_FLAG 0x00000100
#define CERT_STORE_DELTA_CRL_FLAG 0x00000200
#define CERT_STORE_NO_CRL_FLAG 0x00010000
#define CERT_STORE_NO_ISSUER_FLAG 0x00020000

// ---- Find types ---------------------------------------------------------------------------

#define CERT_COMPARE_SHIFT 16
#define CERT_INFO_ISSUER_FLAG 4
#define CERT_INFO_SUBJECT_FLAG 7
#define CERT_FIND_ANY 0x00000000
#define CERT_FIND_SHA1_HASH 0x00010000
#define CERT_FIND_HASH CERT_FIND_SHA1_HASH
#define CERT_FIND_PROPERTY 0x00050000
#define CERT_FIND_PUBLIC_KEY 0x00060000
#define CERT_FIND_ISSUER_NAME 0x00020004
#define CERT_FIND_SUBJECT_NAME 0x00020007
#define CERT_FIND_ISSUER_ATTR 0x00030004
#define CERT_FIND_SUBJECT_ATTR 0x00030007
#define CERT_FIND_ISSUER_STR_A 0x00070004
#define CERT_FIND_SUBJECT_STR_A 0x00070007
#define CERT_FIND_SUBJECT_CERT 0x000B0000
#define CERT_FIND_ISSUER_OF 0x000C0000
#define CERT_FIND_EXISTING 0x000D0000
#define CERT_UNICODE_IS_RDN_ATTRS_FLAG 0x1
#define CERT_CASE_INSENSITIVE_IS_RDN_ATTRS_FLAG 0x2

// CertFindCRLInStore.
#define CRL_FIND_ANY 0
#define CRL_FIND_ISSUED_BY 1
#define CRL_FIND_EXISTING 2

// ---- Properties ---------------------------------------------------------------------------

#define CERT_KEY_PROV_HANDLE_PROP_ID 1
#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_SHA1_HASH_PROP_ID 3
#define CERT_HASH_PROP_ID CERT_SHA1_HASH_PROP_ID
#define CERT_MD5_HASH_PROP_ID 4
#define CERT_KEY_CONTEXT_PROP_ID 5
#define CERT_KEY_SPEC_PROP_ID 6
#define CERT_ENHKEY_USAGE_PROP_ID 9
#define CERT_FRIENDLY_NAME_PROP_ID 11
#define CERT_DESCRIPTION_PROP_ID 13
#define CERT_ACCESS_STATE_PROP_ID 14
#define CERT_SIGNATURE_HASH_PROP_ID 15
#define CERT_ARCHIVED_PROP_ID 19
#define CERT_KEY_IDENTIFIER_PROP_ID 20
#define CERT_DATE_STAMP_PROP_ID 27
#define CERT_CERT_PROP_ID 32
#define CERT_CRL_PROP_ID 33
#define CERT_CTL_PROP_ID 34
#define CERT_NCRYPT_KEY_HANDLE_PROP_ID 78
#define CERT_SET_PROPERTY_INHERIT_PERSIST_FLAG 0x40000000

#define CERT_SET_KEY_PROV_HANDLE_PROP_ID 0x00000001
#define CERT_SET_KEY_CONTEXT_PROP_ID 0x00000001

#ifndef VEXOR_CRYPT_KEY_PROV_INFO_DEFINED
#define VEXOR_CRYPT_KEY_PROV_INFO_DEFINED
typedef struct _CRYPT_KEY_PROV_PARAM {
  DWORD dwParam;
  BYTE* pbData;
  DWORD cbData;
  DWORD dwFlags;
} CRYPT_KEY_PROV_PARAM, *PCRYPT_KEY_PROV_PARAM;

// The key container behind a certificate (CERT_KEY_PROV_INFO_PROP_ID).
typedef struct _CRYPT_KEY_PROV_INFO {
  LPWSTR pwszContainerName;
  LPWSTR pwszProvName;
  DWORD dwProvType;
  DWORD dwFlags;
  DWORD cProvParam;
  PCRYPT_KEY_PROV_PARAM rgProvParam;
  DWORD dwKeySpec;
} CRYPT_KEY_PROV_INFO, *PCRYPT_KEY_PROV_INFO;

typedef struct _CERT_KEY_CONTEXT {
  DWORD cbSize;
  HCRYPTPROV hCryptProv;
  DWORD dwKeySpec;
} CERT_KEY_CONTEXT, *PCERT_KEY_CONTEXT;
#endif

// ---- Names --------------------------------------------------------------------------------

#define CERT_SIMPLE_NAME_STR 1
#define CERT_OID_NAME_STR 2
#define CERT_X500_NAME_STR 3
#define CERT_NAME_STR_SEMICOLON_FLAG 0x40000000
#define CERT_NAME_STR_NO_PLUS_FLAG 0x20000000
#define CERT_NAME_STR_NO_QUOTING_FLAG 0x10000000
#define CERT_NAME_STR_CRLF_FLAG 0x08000000
#define CERT_NAME_STR_COMMA_FLAG 0x04000000
#define CERT_NAME_STR_REVERSE_FLAG 0x02000000

#define CERT_NAME_EMAIL_TYPE 1
#define CERT_NAME_RDN_TYPE 2
#define CERT_NAME_ATTR_TYPE 3
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_FRIENDLY_DISPLAY_TYPE 5
#define CERT_NAME_DNS_TYPE 6
#define CERT_NAME_URL_TYPE 7
#define CERT_NAME_UPN_TYPE 8
#define CERT_NAME_ISSUER_FLAG 0x1
#define CERT_NAME_SEARCH_ALL_NAMES_FLAG 0x2

#define CERT_RDN_ANY_TYPE 0
#define CERT_RDN_ENCODED_BLOB 1
#define CERT_RDN_OCTET_STRING 2
#define CERT_RDN_NUMERIC_STRING 3
#define CERT_RDN_PRINTABLE_STRING 4
#define CERT_RDN_TELETEX_STRING 5
#define CERT_RDN_T61_STRING 5
#define CERT_RDN_VIDEOTEX_STRING 6
#define CERT_RDN_IA5_STRING 7
#define CERT_RDN_GRAPHIC_STRING 8
#define CERT_RDN_VISIBLE_STRING 9
#define CERT_RDN_GENERAL_STRING 10
#define CERT_RDN_UNIVERSAL_STRING 11
#define CERT_RDN_BMP_STRING 12
#define CERT_RDN_UTF8_STRING 13

#define szOID_COMMON_NAME "2.5.4.3"
#define szOID_RSA_emailAddr "1.2.840.113549.1.9.1"
#define szOID_RSA_signingTime "1.2.840.113549.1.9.5"
#define szOID_CRL_DIST_POINTS "2.5.29.31"
#define szOID_CERT_POLICIES "2.5.29.32"
#define szOID_ENHANCED_KEY_USAGE "2.5.29.37"
#define szOID_SUBJECT_ALT_NAME2 "2.5.29.17"
#define szOID_ISSUER_ALT_NAME2 "2.5.29.18"

typedef struct _CERT_RDN_ATTR {
  LPSTR pszObjId;
  DWORD dwValueType;
  CERT_RDN_VALUE_BLOB Value;
} CERT_RDN_ATTR, *PCERT_RDN_ATTR;

typedef struct _CERT_RDN {
  DWORD cRDNAttr;
  PCERT_RDN_ATTR rgRDNAttr;
} CERT_RDN, *PCERT_RDN;

// ---- Encodings ----------------------------------------------------------------------------

#define PKCS_UTC_TIME ((LPCSTR)17)
#define X509_CERT_POLICIES ((LPCSTR)16)
#define X509_CHOICE_OF_TIME ((LPCSTR)30)
#define X509_CRL_DIST_POINTS ((LPCSTR)35)
#define X509_ENHANCED_KEY_USAGE ((LPCSTR)36)

#define CRL_DIST_POINT_NO_NAME 0
#define CRL_DIST_POINT_FULL_NAME 1
#define CRL_DIST_POINT_ISSUER_RDN_NAME 2

#define CERT_ALT_NAME_OTHER_NAME 1
#define CERT_ALT_NAME_RFC822_NAME 2
#define CERT_ALT_NAME_DNS_NAME 3
#define CERT_ALT_NAME_X400_ADDRESS 4
#define CERT_ALT_NAME_DIRECTORY_NAME 5
#define CERT_ALT_NAME_EDI_PARTY_NAME 6
#define CERT_ALT_NAME_URL 7
#define CERT_ALT_NAME_IP_ADDRESS 8
#define CERT_ALT_NAME_REGISTERED_ID 9

typedef struct _CERT_OTHER_NAME {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Value;
} CERT_OTHER_NAME, *PCERT_OTHER_NAME;

typedef struct _CERT_ALT_NAME_ENTRY {
  DWORD dwAltNameChoice;
  union {
    PCERT_OTHER_NAME pOtherName;
    LPWSTR pwszRfc822Name;
    LPWSTR pwszDNSName;
    CERT_NAME_BLOB DirectoryName;
    LPWSTR pwszURL;
    CRYPT_DATA_BLOB IPAddress;
    LPSTR pszRegisteredID;
  };
} CERT_ALT_NAME_ENTRY, *PCERT_ALT_NAME_ENTRY;

typedef struct _CERT_ALT_NAME_INFO {
  DWORD cAltEntry;
  PCERT_ALT_NAME_ENTRY rgAltEntry;
} CERT_ALT_NAME_INFO, *PCERT_ALT_NAME_INFO;

typedef struct _CRL_DIST_POINT_NAME {
  DWORD dwDistPointNameChoice;
  union {
    CERT_ALT_NAME_INFO FullName;
  };
} CRL_DIST_POINT_NAME, *PCRL_DIST_POINT_NAME;

typedef struct _CRL_DIST_POINT {
  CRL_DIST_POINT_NAME DistPointName;
  CRYPT_BIT_BLOB ReasonFlags;
  CERT_ALT_NAME_INFO CRLIssuer;
} CRL_DIST_POINT, *PCRL_DIST_POINT;

typedef struct _CRL_DIST_POINTS_INFO {
  DWORD cDistPoint;
  PCRL_DIST_POINT rgDistPoint;
} CRL_DIST_POINTS_INFO, *PCRL_DIST_POINTS_INFO;

typedef struct _CERT_POLICY_QUALIFIER_INFO {
  LPSTR pszPolicyQualifierId;
  CRYPT_OBJID_BLOB Qualifier;
} CERT_POLICY_QUALIFIER_INFO, *PCERT_POLICY_QUALIFIER_INFO;

typedef struct _CERT_POLICY_INFO {
  LPSTR pszPolicyIdentifier;
  DWORD cPolicyQualifier;
  PCERT_POLICY_QUALIFIER_INFO rgPolicyQualifier;
} CERT_POLICY_INFO, *PCERT_POLICY_INFO;

typedef struct _CERT_POLICIES_INFO {
  DWORD cPolicyInfo;
  PCERT_POLICY_INFO rgPolicyInfo;
} CERT_POLICIES_INFO, *PCERT_POLICIES_INFO;

typedef struct _CTL_USAGE {
  DWORD cUsageIdentifier;
  LPSTR* rgpszUsageIdentifier;
} CTL_USAGE, *PCTL_USAGE, CERT_ENHKEY_USAGE, *PCERT_ENHKEY_USAGE;

#define CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG 0x2
#define CERT_FIND_PROP_ONLY_ENHKEY_USAGE_FLAG 0x4

// ---- Chains -------------------------------------------------------------------------------

#define HCCE_CURRENT_USER ((HCERTCHAINENGINE)NULL)
#define HCCE_LOCAL_MACHINE ((HCERTCHAINENGINE)0x1)

#define CERT_CHAIN_CACHE_END_CERT 0x00000001
#define CERT_CHAIN_USE_LOCAL_MACHINE_STORE 0x00000008
#define CERT_CHAIN_REVOCATION_CHECK_END_CERT 0x10000000
#define CERT_CHAIN_REVOCATION_CHECK_CHAIN 0x20000000
#define CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT 0x40000000
#define CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY 0x80000000

#define CERT_TRUST_NO_ERROR 0x00000000
#define CERT_TRUST_IS_NOT_TIME_VALID 0x00000001
#define CERT_TRUST_IS_NOT_TIME_NESTED 0x00000002
#define CERT_TRUST_IS_REVOKED 0x00000004
#define CERT_TRUST_IS_NOT_SIGNATURE_VALID 0x00000008
#define CERT_TRUST_IS_NOT_VALID_FOR_USAGE 0x00000010
#define CERT_TRUST_IS_UNTRUSTED_ROOT 0x00000020
#define CERT_TRUST_REVOCATION_STATUS_UNKNOWN 0x00000040
#define CERT_TRUST_IS_CYCLIC 0x00000080
#define CERT_TRUST_INVALID_EXTENSION 0x00000100
#define CERT_TRUST_INVALID_BASIC_CONSTRAINTS 0x00000400
#define CERT_TRUST_IS_PARTIAL_CHAIN 0x00010000
#define CERT_TRUST_IS_OFFLINE_REVOCATION 0x01000000
#define CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT 0x08000000

#define CERT_TRUST_HAS_EXACT_MATCH_ISSUER 0x00000001
#define CERT_TRUST_HAS_KEY_MATCH_ISSUER 0x00000002
#define CERT_TRUST_HAS_NAME_MATCH_ISSUER 0x00000004
#define CERT_TRUST_IS_SELF_SIGNED 0x00000008

#define USAGE_MATCH_TYPE_AND 0
#define USAGE_MATCH_TYPE_OR 1

typedef struct _CERT_TRUST_STATUS {
  DWORD dwErrorStatus;
  DWORD dwInfoStatus;
} CERT_TRUST_STATUS, *PCERT_TRUST_STATUS;

typedef struct _CERT_USAGE_MATCH {
  DWORD dwType;
  CERT_ENHKEY_USAGE Usage;
} CERT_USAGE_MATCH, *PCERT_USAGE_MATCH;

typedef struct _CERT_CHAIN_PARA {
  DWORD cbSize;
  CERT_USAGE_MATCH RequestedUsage;
} CERT_CHAIN_PARA, *PCERT_CHAIN_PARA;

typedef struct _CERT_REVOCATION_INFO CERT_REVOCATION_INFO, *PCERT_REVOCATION_INFO;
typedef struct _CERT_TRUST_LIST_INFO CERT_TRUST_LIST_INFO, *PCERT_TRUST_LIST_INFO;

typedef struct _CERT_CHAIN_ELEMENT {
  DWORD cbSize;
  PCCERT_CONTEXT pCertContext;
  CERT_TRUST_STATUS TrustStatus;
  PCERT_REVOCATION_INFO pRevocationInfo;
  PCERT_ENHKEY_USAGE pIssuanceUsage;
  PCERT_ENHKEY_USAGE pApplicationUsage;
  LPCWSTR pwszExtendedErrorInfo;
} CERT_CHAIN_ELEMENT, *PCERT_CHAIN_ELEMENT;
typedef const CERT_CHAIN_ELEMENT* PCCERT_CHAIN_ELEMENT;

typedef struct _CERT_SIMPLE_CHAIN {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cElement;
  PCERT_CHAIN_ELEMENT* rgpElement;
  PCERT_TRUST_LIST_INFO pTrustListInfo;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
} CERT_SIMPLE_CHAIN, *PCERT_SIMPLE_CHAIN;

typedef struct _CERT_CHAIN_CONTEXT CERT_CHAIN_CONTEXT, *PCERT_CHAIN_CONTEXT;
typedef const CERT_CHAIN_CONTEXT* PCCERT_CHAIN_CONTEXT;
struct _CERT_CHAIN_CONTEXT {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cChain;
  PCERT_SIMPLE_CHAIN* rgpChain;
  DWORD cLowerQualityChainContext;
  PCCERT_CHAIN_CONTEXT* rgpLowerQualityChainContext;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
};

typedef struct _CERT_CHAIN_ENGINE_CONFIG {
  DWORD cbSize;
  HCERTSTORE hRestrictedRoot;
  HCERTSTORE hRestrictedTrust;
  HCERTSTORE hRestrictedOther;
  DWORD cAdditionalStore;
  HCERTSTORE* rghAdditionalStore;
  DWORD dwFlags;
  DWORD dwUrlRetrievalTimeout;
  DWORD MaximumCachedCertificates;
  DWORD CycleDetectionModulus;
  HCERTSTORE hExclusiveRoot;
  HCERTSTORE hExclusiveTrustedPeople;
} CERT_CHAIN_ENGINE_CONFIG, *PCERT_CHAIN_ENGINE_CONFIG;

#ifdef __cplusplus
extern "C" {
#endif

// ---- FILETIME helpers ---------------------------------------------------------------------

VEXORCSP_API void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
VEXORCSP_API BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
VEXORCSP_API BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
VEXORCSP_API LONG CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2);
VEXORCSP_API BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime);
VEXORCSP_API BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime);

// ---- Contexts -----------------------------------------------------------------------------

VEXORCSP_API PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                         const BYTE* pbCertEncoded,
                                                         DWORD cbCertEncoded);
VEXORCSP_API PCCRL_CONTEXT CertCreateCRLContext(DWORD dwCertEncodingType, const BYTE* pbCrlEncoded,
                                                DWORD cbCrlEncoded);
VEXORCSP_API PCCRL_CONTEXT CertDuplicateCRLContext(PCCRL_CONTEXT pCrlContext);
VEXORCSP_API BOOL CertFreeCRLContext(PCCRL_CONTEXT pCrlContext);

VEXORCSP_API BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                    void* pvData, DWORD* pcbData);
VEXORCSP_API BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                    DWORD dwFlags, const void* pvData);
VEXORCSP_API DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext,
                                                        DWORD dwPropId);
VEXORCSP_API BOOL CertGetCRLContextProperty(PCCRL_CONTEXT pCrlContext, DWORD dwPropId,
                                            void* pvData, DWORD* pcbData);
VEXORCSP_API BOOL CertSetCRLContextProperty(PCCRL_CONTEXT pCrlContext, DWORD dwPropId,
                                            DWORD dwFlags, const void* pvData);

VEXORCSP_API BOOL CertCompareIntegerBlob(const CRYPT_INTEGER_BLOB* pInt1,
                                         const CRYPT_INTEGER_BLOB* pInt2);
VEXORCSP_API BOOL CertCompareCertificateName(DWORD dwCertEncodingType, PCERT_NAME_BLOB pCertName1,
                                             PCERT_NAME_BLOB pCertName2);
VEXORCSP_API LONG CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo);
VEXORCSP_API LONG CertVerifyCRLTimeValidity(LPFILETIME pTimeToVerify, PCRL_INFO pCrlInfo);
VEXORCSP_API BOOL CertFindCertificateInCRL(PCCERT_CONTEXT pCert, PCCRL_CONTEXT pCrlContext,
                                           DWORD dwFlags, void* pvReserved,
                                           PCRL_ENTRY* ppCrlEntry);
VEXORCSP_API PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions,
                                               CERT_EXTENSION rgExtensions[]);

// ---- Stores -------------------------------------------------------------------------------

VEXORCSP_API HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                                      HCRYPTPROV hCryptProv, DWORD dwFlags, const void* pvPara);
VEXORCSP_API HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV hProv, LPCSTR szSubsystemProtocol);
VEXORCSP_API HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore);
VEXORCSP_API BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
// CERT_STORE_CTRL_RESYNC: a system store reads its file again when the file has changed since
// the store last read it (another handle's or process's change); unchanged, nothing is done.
// Members that were dropped live on while referenced. Other stores have nothing to do.
#define CERT_STORE_CTRL_RESYNC 1
VEXORCSP_API BOOL CertControlStore(HCERTSTORE hCertStore, DWORD dwFlags, DWORD dwCtrlType,
                                   const void* pvCtrlPara);
VEXORCSP_API BOOL CertSaveStore(HCERTSTORE hCertStore, DWORD dwEncodingType, DWORD dwSaveAs,
                                DWORD dwSaveTo, void* pvSaveToPara, DWORD dwFlags);

VEXORCSP_API BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                   const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                                   DWORD dwAddDisposition,
                                                   PCCERT_CONTEXT* ppCertContext);
VEXORCSP_API BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore,
                                                   PCCERT_CONTEXT pCertContext,
                                                   DWORD dwAddDisposition,
                                                   PCCERT_CONTEXT* ppStoreContext);
VEXORCSP_API BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);
VEXORCSP_API PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                        PCCERT_CONTEXT pPrevCertContext);
VEXORCSP_API PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore,
                                                       DWORD dwCertEncodingType, DWORD dwFindFlags,
                                                       DWORD dwFindType, const void* pvFindPara,
                                                       PCCERT_CONTEXT pPrevCertContext);
VEXORCSP_API PCCERT_CONTEXT CertGetSubjectCertificateFromStore(HCERTSTORE hCertStore,
                                                               DWORD dwCertEncodingType,
                                                               PCERT_INFO pCertId);
VEXORCSP_API PCCERT_CONTEXT CertGetIssuerCertificateFromStore(HCERTSTORE hCertStore,
                                                              PCCERT_CONTEXT pSubjectContext,
                                                              PCCERT_CONTEXT pPrevIssuerContext,
                                                              DWORD* pdwFlags);

VEXORCSP_API BOOL CertAddEncodedCRLToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                           const BYTE* pbCrlEncoded, DWORD cbCrlEncoded,
                                           DWORD dwAddDisposition, PCCRL_CONTEXT* ppCrlContext);
VEXORCSP_API BOOL CertAddCRLContextToStore(HCERTSTORE hCertStore, PCCRL_CONTEXT pCrlContext,
                                           DWORD dwAddDisposition, PCCRL_CONTEXT* ppStoreContext);
VEXORCSP_API BOOL CertDeleteCRLFromStore(PCCRL_CONTEXT pCrlContext);
VEXORCSP_API PCCRL_CONTEXT CertEnumCRLsInStore(HCERTSTORE hCertStore, PCCRL_CONTEXT pPrevCrlContext);
VEXORCSP_API PCCRL_CONTEXT CertFindCRLInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                              DWORD dwFindFlags, DWORD dwFindType,
                                              const void* pvFindPara, PCCRL_CONTEXT pPrevCrlContext);
VEXORCSP_API PCCRL_CONTEXT CertGetCRLFromStore(HCERTSTORE hCertStore,
                                               PCCERT_CONTEXT pIssuerContext,
                                               PCCRL_CONTEXT pPrevCrlContext, DWORD* pdwFlags);

// ---- Names --------------------------------------------------------------------------------

VEXORCSP_API DWORD CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName,
                                  DWORD dwStrType, LPSTR psz, DWORD csz);
VEXORCSP_API DWORD CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                      void* pvTypePara, LPSTR pszNameString, DWORD cchNameString);

// ---- Chains -------------------------------------------------------------------------------

VEXORCSP_API BOOL CertCreateCertificateChainEngine(PCERT_CHAIN_ENGINE_CONFIG pConfig,
                                                   HCERTCHAINENGINE* phChainEngine);
VEXORCSP_API void CertFreeCertificateChainEngine(HCERTCHAINENGINE hChainEngine);
VEXORCSP_API BOOL CertGetCertificateChain(HCERTCHAINENGINE hChainEngine,
                                          PCCERT_CONTEXT pCertContext, LPFILETIME pTime,
                                          HCERTSTORE hAdditionalStore,
                                          PCERT_CHAIN_PARA pChainPara, DWORD dwFlags,
                                          LPVOID pvReserved,
                                          PCCERT_CHAIN_CONTEXT* ppChainContext);
VEXORCSP_API PCCERT_CHAIN_CONTEXT CertDuplicateCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext);
VEXORCSP_API void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext);

// ---- Encodings and object identifiers -----------------------------------------------------

VEXORCSP_API BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                    const void* pvStructInfo, BYTE* pbEncoded, DWORD* pcbEncoded);
VEXORCSP_API BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                    const BYTE* pbEncoded, DWORD cbEncoded, DWORD dwFlags,
                                    void* pvStructInfo, DWORD* pcbStructInfo);
VEXORCSP_API BOOL CertGetEnhancedKeyUsage(PCCERT_CONTEXT pCertContext, DWORD dwFlags,
                                          PCERT_ENHKEY_USAGE pUsage, DWORD* pcbUsage);
VEXORCSP_API LPCSTR CertAlgIdToOID(DWORD dwAlgId);
VEXORCSP_API DWORD CertOIDToAlgId(LPCSTR pszObjId);

#ifdef __cplusplus
}
#endif
