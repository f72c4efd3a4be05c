// Cryptographic messages of the platform service: PKCS#7 / CMS signed-data and GOST
// enveloped-data, encoded and decoded (optionally streamed), with CryptoAPI's names, values
// and calling conventions.
//
// Structure sizes: cbSize may be this build's sizeof of the structure (or of its CMS form)
// or the size the same structure has on 32-bit Windows, which callers ported from there
// pass (CMSG_SIGNER_ENCODE_INFO 48, CMSG_SIGNED_ENCODE_INFO 28, CRYPT_ENCRYPT_MESSAGE_PARA
// 36, CMSG_CTRL_DECRYPT_PARA 16, CMSG_ENVELOPED_ENCODE_INFO 28,
// CMSG_CTRL_KEY_AGREE_DECRYPT_PARA 36).
#pragma once

#include "vexor/platform.h"

// Message types.
#define CMSG_DATA 1
#define CMSG_SIGNED 2
#define CMSG_ENVELOPED 3
#define CMSG_SIGNED_AND_ENVELOPED 4
#define CMSG_HASHED 5
#define CMSG_ENCRYPTED 6

// Open flags.
#define CMSG_BARE_CONTENT_FLAG 0x00000001
#define CMSG_LENGTH_ONLY_FLAG 0x00000002
#define CMSG_DETACHED_FLAG 0x00000004
#define CMSG_AUTHENTICATED_ATTRIBUTES_FLAG 0x00000008
#define CMSG_CONTENTS_OCTETS_FLAG 0x00000010
#define CMSG_MAX_LENGTH_FLAG 0x00000020
#define CMSG_CMS_ENCAPSULATED_CONTENT_FLAG 0x00000040
#define CMSG_CRYPT_RELEASE_CONTEXT_FLAG 0x00008000

#define CMSG_INDEFINITE_LENGTH 0xFFFFFFFF

// CryptMsgGetParam parameters.
#define CMSG_TYPE_PARAM 1
#define CMSG_CONTENT_PARAM 2
#define CMSG_BARE_CONTENT_PARAM 3
#define CMSG_INNER_CONTENT_TYPE_PARAM 4
#define CMSG_SIGNER_COUNT_PARAM 5
#define CMSG_SIGNER_INFO_PARAM 6
#define CMSG_SIGNER_CERT_INFO_PARAM 7
#define CMSG_SIGNER_HASH_ALGORITHM_PARAM 8
#define CMSG_SIGNER_AUTH_ATTR_PARAM 9
#define CMSG_SIGNER_UNAUTH_ATTR_PARAM 10
#define CMSG_CERT_COUNT_PARAM 11
#define CMSG_CERT_PARAM 12
#define CMSG_CRL_COUNT_PARAM 13
#define CMSG_CRL_PARAM 14
#define CMSG_ENVELOPE_ALGORITHM_PARAM 15
#define CMSG_RECIPIENT_COUNT_PARAM 17
#define CMSG_RECIPIENT_INDEX_PARAM 18
#define CMSG_RECIPIENT_INFO_PARAM 19
#define CMSG_COMPUTED_HASH_PARAM 22
#define CMSG_ENCRYPTED_DIGEST 27
#define CMSG_ENCODED_SIGNER 28
#define CMSG_ENCODED_MESSAGE 29
#define CMSG_VERSION_PARAM 30
// Every kind of recipient (CMSG_CMS_RECIPIENT_INFO); the index of the recipient and of its
// encrypted key a decryption used.
#define CMSG_CMS_RECIPIENT_COUNT_PARAM 33
#define CMSG_CMS_RECIPIENT_INDEX_PARAM 34
#define CMSG_CMS_RECIPIENT_ENCRYPTED_KEY_INDEX_PARAM 35
#define CMSG_CMS_RECIPIENT_INFO_PARAM 36

// CryptMsgControl types.
#define CMSG_CTRL_VERIFY_SIGNATURE 1
#define CMSG_CTRL_DECRYPT 2
#define CMSG_CTRL_ADD_CERT 10
#define CMSG_CTRL_DEL_CERT 11
#define CMSG_CTRL_ADD_CRL 12
#define CMSG_CTRL_DEL_CRL 13
#define CMSG_CTRL_KEY_AGREE_DECRYPT 17

// Recipient kinds (CMSG_CMS_RECIPIENT_INFO.dwRecipientChoice).
#define CMSG_KEY_TRANS_RECIPIENT 1
#define CMSG_KEY_AGREE_RECIPIENT 2
#define CMSG_MAIL_LIST_RECIPIENT 3

// How a key-agreement recipient names the originator.
#define CMSG_KEY_AGREE_ORIGINATOR_CERT 1
#define CMSG_KEY_AGREE_ORIGINATOR_PUBLIC_KEY 2

// CERT_ID choices.
#define CERT_ID_ISSUER_SERIAL_NUMBER 1
#define CERT_ID_KEY_IDENTIFIER 2
#define CERT_ID_SHA1_HASH 3

// CryptEncryptMessage flags.
#define CRYPT_MESSAGE_BARE_CONTENT_OUT_FLAG 0x00000001

// Object identifiers.
#define szOID_PKCS_7_DATA "1.2.840.113549.1.7.1"
#define szOID_RSA_data "1.2.840.113549.1.7.1"
#define szOID_RSA_signedData "1.2.840.113549.1.7.2"
#define szOID_RSA_envelopedData "1.2.840.113549.1.7.3"
#define szOID_RSA_contentType "1.2.840.113549.1.9.3"
#define szOID_RSA_messageDigest "1.2.840.113549.1.9.4"
#define szOID_CP_GOST_28147 "1.2.643.2.2.21"
#define szOID_CP_GOST_R3411 "1.2.643.2.2.9"
#define szOID_CP_GOST_R3410EL "1.2.643.2.2.19"
// GOST R 34.10-2012 public keys and GOST R 34.11-2012 hashes (RFC 9215), and the signature
// algorithms that pair them.
#define szOID_CP_GOST_R3410_12_256 "1.2.643.7.1.1.1.1"
#define szOID_CP_GOST_R3410_12_512 "1.2.643.7.1.1.1.2"
#define szOID_CP_GOST_R3411_12_256 "1.2.643.7.1.1.2.2"
#define szOID_CP_GOST_R3411_12_512 "1.2.643.7.1.1.2.3"
#define szOID_CP_GOST_R3411_12_256_R3410 "1.2.643.7.1.1.3.2"
#define szOID_CP_GOST_R3411_12_512_R3410 "1.2.643.7.1.1.3.3"

// Message errors (Windows values).
#define CRYPT_E_MSG_ERROR ((HRESULT)0x80091001L)
#define CRYPT_E_UNKNOWN_ALGO ((HRESULT)0x80091002L)
#define CRYPT_E_INVALID_MSG_TYPE ((HRESULT)0x80091004L)
#define CRYPT_E_UNEXPECTED_ENCODING ((HRESULT)0x80091005L)
#define CRYPT_E_AUTH_ATTR_MISSING ((HRESULT)0x80091006L)
#define CRYPT_E_HASH_VALUE ((HRESULT)0x80091007L)
#define CRYPT_E_INVALID_INDEX ((HRESULT)0x80091008L)
#define CRYPT_E_ALREADY_DECRYPTED ((HRESULT)0x80091009L)
#define CRYPT_E_NOT_DECRYPTED ((HRESULT)0x8009100AL)
#define CRYPT_E_RECIPIENT_NOT_FOUND ((HRESULT)0x8009100BL)
#define CRYPT_E_CONTROL_TYPE ((HRESULT)0x8009100CL)
#define CRYPT_E_ISSUER_SERIALNUMBER ((HRESULT)0x8009100DL)
#define CRYPT_E_SIGNER_NOT_FOUND ((HRESULT)0x8009100EL)
#define CRYPT_E_ATTRIBUTES_MISSING ((HRESULT)0x8009100FL)
#define CRYPT_E_STREAM_MSG_NOT_READY ((HRESULT)0x80091010L)
#define CRYPT_E_STREAM_INSUFFICIENT_DATA ((HRESULT)0x80091011L)
#define CRYPT_E_UNEXPECTED_MSG_TYPE ((HRESULT)0x8009200AL)
#define CRYPT_E_NO_DECRYPT_CERT ((HRESULT)0x8009200CL)
#define CRYPT_E_BAD_MSG ((HRESULT)0x8009200DL)
#define CRYPT_E_NO_SIGNER ((HRESULT)0x8009200EL)

#ifndef VEXOR_CRYPT_ATTRIBUTE_DEFINED
#define VEXOR_CRYPT_ATTRIBUTE_DEFINED
// One attribute: its identifier and its values, each the DER of one value.
typedef struct _CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  PCRYPT_ATTR_BLOB rgValue;
} CRYPT_ATTRIBUTE, *PCRYPT_ATTRIBUTE;

typedef struct _CRYPT_ATTRIBUTES {
  DWORD cAttr;
  PCRYPT_ATTRIBUTE rgAttr;
} CRYPT_ATTRIBUTES, *PCRYPT_ATTRIBUTES;
#endif

// Called with encoded output (encoding) or decoded content / plaintext (decoding) as it
// becomes available; the last call has fFinal set. FALSE makes the current update fail.
typedef BOOL (*PFN_CMSG_STREAM_OUTPUT)(const void* pvArg, BYTE* pbData, DWORD cbData,
                                       BOOL fFinal);

typedef struct _CMSG_STREAM_INFO {
  DWORD cbContent;
  PFN_CMSG_STREAM_OUTPUT pfnStreamOutput;
  void* pvArg;
} CMSG_STREAM_INFO, *PCMSG_STREAM_INFO;

typedef struct _CERT_ID {
  DWORD dwIdChoice;
  union {
    struct {
      CERT_NAME_BLOB Issuer;
      CRYPT_INTEGER_BLOB SerialNumber;
    } IssuerSerialNumber;
    CRYPT_HASH_BLOB KeyId;
    CRYPT_HASH_BLOB HashId;
  };
} CERT_ID, *PCERT_ID;

// One signer. pCertInfo gives issuer and serial number (and the signature algorithm from
// its public key); hCryptProv/dwKeySpec name the private key. HashAlgorithm
// 1.2.643.2.2.21 is taken as a request for GOST R 34.11-94 and written as 1.2.643.2.2.9.
typedef struct _CMSG_SIGNER_ENCODE_INFO {
  DWORD cbSize;
  PCERT_INFO pCertInfo;
  HCRYPTPROV hCryptProv;
  DWORD dwKeySpec;
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  void* pvHashAuxInfo;
  DWORD cAuthAttr;
  PCRYPT_ATTRIBUTE rgAuthAttr;
  DWORD cUnauthAttr;
  PCRYPT_ATTRIBUTE rgUnauthAttr;
} CMSG_SIGNER_ENCODE_INFO, *PCMSG_SIGNER_ENCODE_INFO;

typedef struct _CMSG_SIGNED_ENCODE_INFO {
  DWORD cbSize;
  DWORD cSigners;
  PCMSG_SIGNER_ENCODE_INFO rgSigners;
  DWORD cCertEncoded;
  PCERT_BLOB rgCertEncoded;
  DWORD cCrlEncoded;
  PCRL_BLOB rgCrlEncoded;
} CMSG_SIGNED_ENCODE_INFO, *PCMSG_SIGNED_ENCODE_INFO;

// GOST enveloped-data for the recipients' certificates (their CERT_INFO).
typedef struct _CMSG_ENVELOPED_ENCODE_INFO {
  DWORD cbSize;
  HCRYPTPROV hCryptProv;
  CRYPT_ALGORITHM_IDENTIFIER ContentEncryptionAlgorithm;
  void* pvEncryptionAuxInfo;
  DWORD cRecipients;
  PCERT_INFO* rgpRecipients;
} CMSG_ENVELOPED_ENCODE_INFO, *PCMSG_ENVELOPED_ENCODE_INFO;

// A decoded signer (CMSG_SIGNER_INFO_PARAM). SerialNumber is least significant byte first.
typedef struct _CMSG_SIGNER_INFO {
  DWORD dwVersion;
  CERT_NAME_BLOB Issuer;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
  CRYPT_DATA_BLOB EncryptedHash;
  CRYPT_ATTRIBUTES AuthAttrs;
  CRYPT_ATTRIBUTES UnauthAttrs;
} CMSG_SIGNER_INFO, *PCMSG_SIGNER_INFO;

typedef struct _CMSG_CTRL_DECRYPT_PARA {
  DWORD cbSize;
  HCRYPTPROV hCryptProv;
  DWORD dwKeySpec;
  DWORD dwRecipientIndex;
} CMSG_CTRL_DECRYPT_PARA, *PCMSG_CTRL_DECRYPT_PARA;

typedef struct _CRYPT_ATTRIBUTE_TYPE_VALUE {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Value;
} CRYPT_ATTRIBUTE_TYPE_VALUE, *PCRYPT_ATTRIBUTE_TYPE_VALUE;

// A key-transport recipient (CMSG_CMS_RECIPIENT_INFO_PARAM).
typedef struct _CMSG_KEY_TRANS_RECIPIENT_INFO {
  DWORD dwVersion;
  CERT_ID RecipientId;
  CRYPT_ALGORITHM_IDENTIFIER KeyEncryptionAlgorithm;
  CRYPT_DATA_BLOB EncryptedKey;
} CMSG_KEY_TRANS_RECIPIENT_INFO, *PCMSG_KEY_TRANS_RECIPIENT_INFO;

// One recipient of a key-agreement recipient info and the content key wrapped for it.
typedef struct _CMSG_RECIPIENT_ENCRYPTED_KEY_INFO {
  CERT_ID RecipientId;
  CRYPT_DATA_BLOB EncryptedKey;
  FILETIME Date;
  PCRYPT_ATTRIBUTE_TYPE_VALUE pOtherAttr;
} CMSG_RECIPIENT_ENCRYPTED_KEY_INFO, *PCMSG_RECIPIENT_ENCRYPTED_KEY_INFO;

// A key-agreement recipient info: the originator's (ephemeral) public key, the user keying
// material and the key encryption algorithm (for GOST: ESDH with the key wrap and its
// parameter set as its parameters), and the recipients it wraps the content key for.
typedef struct _CMSG_KEY_AGREE_RECIPIENT_INFO {
  DWORD dwVersion;
  DWORD dwOriginatorChoice;
  union {
    CERT_ID OriginatorCertId;
    CERT_PUBLIC_KEY_INFO OriginatorPublicKeyInfo;
  };
  CRYPT_DATA_BLOB UserKeyingMaterial;
  CRYPT_ALGORITHM_IDENTIFIER KeyEncryptionAlgorithm;
  DWORD cRecipientEncryptedKeys;
  PCMSG_RECIPIENT_ENCRYPTED_KEY_INFO* rgpRecipientEncryptedKeys;
} CMSG_KEY_AGREE_RECIPIENT_INFO, *PCMSG_KEY_AGREE_RECIPIENT_INFO;

// Mail-list recipients are reported by kind only (the platform does not decrypt them).
typedef struct _CMSG_MAIL_LIST_RECIPIENT_INFO CMSG_MAIL_LIST_RECIPIENT_INFO,
    *PCMSG_MAIL_LIST_RECIPIENT_INFO;

typedef struct _CMSG_CMS_RECIPIENT_INFO {
  DWORD dwRecipientChoice;
  union {
    PCMSG_KEY_TRANS_RECIPIENT_INFO pKeyTrans;
    PCMSG_KEY_AGREE_RECIPIENT_INFO pKeyAgree;
    PCMSG_MAIL_LIST_RECIPIENT_INFO pMailList;
  };
} CMSG_CMS_RECIPIENT_INFO, *PCMSG_CMS_RECIPIENT_INFO;

// Decryption through a key-agreement recipient: recipient info dwRecipientIndex, its
// encrypted key dwRecipientEncryptedKeyIndex, the private key of hCryptProv/dwKeySpec.
// pKeyAgree may be null; the originator key is the one the message carries, or
// OriginatorPublicKey when that is given (same algorithm and parameters).
typedef struct _CMSG_CTRL_KEY_AGREE_DECRYPT_PARA {
  DWORD cbSize;
  HCRYPTPROV hCryptProv;
  DWORD dwKeySpec;
  PCMSG_KEY_AGREE_RECIPIENT_INFO pKeyAgree;
  DWORD dwRecipientIndex;
  DWORD dwRecipientEncryptedKeyIndex;
  CRYPT_BIT_BLOB OriginatorPublicKey;
} CMSG_CTRL_KEY_AGREE_DECRYPT_PARA, *PCMSG_CTRL_KEY_AGREE_DECRYPT_PARA;

typedef struct _CRYPT_ENCRYPT_MESSAGE_PARA {
  DWORD cbSize;
  DWORD dwMsgEncodingType;
  HCRYPTPROV hCryptProv;
  CRYPT_ALGORITHM_IDENTIFIER ContentEncryptionAlgorithm;
  void* pvEncryptionAuxInfo;
  DWORD dwFlags;
  DWORD dwInnerContentType;
} CRYPT_ENCRYPT_MESSAGE_PARA, *PCRYPT_ENCRYPT_MESSAGE_PARA;

#ifdef __cplusplus
extern "C" {
#endif

// CMSG_SIGNED (CMSG_SIGNED_ENCODE_INFO) or CMSG_ENVELOPED (CMSG_ENVELOPED_ENCODE_INFO).
// Without stream info the encoding is kept for CryptMsgGetParam(CMSG_CONTENT_PARAM); with
// it, it is handed to the callback as it is produced (BER with indefinite lengths). The
// content may come in any number of updates, the last one final.
VEXORCSP_API HCRYPTMSG CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags,
                                            DWORD dwMsgType, const void* pvMsgEncodeInfo,
                                            LPSTR pszInnerContentObjID,
                                            PCMSG_STREAM_INFO pStreamInfo);
// An upper bound of the encoded size for cbData bytes of content; 0 on failure.
VEXORCSP_API DWORD CryptMsgCalculateEncodedLength(DWORD dwMsgEncodingType, DWORD dwFlags,
                                                  DWORD dwMsgType, const void* pvMsgEncodeInfo,
                                                  LPSTR pszInnerContentObjID, DWORD cbData);
// dwMsgType 0 detects the type from the ContentInfo. hCryptProv and pRecipientInfo may be
// 0/null. With stream info the content (signed) or plaintext (enveloped) goes to the
// callback as it is decoded.
VEXORCSP_API HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags,
                                            DWORD dwMsgType, HCRYPTPROV hCryptProv,
                                            PCERT_INFO pRecipientInfo,
                                            PCMSG_STREAM_INFO pStreamInfo);
VEXORCSP_API HCRYPTMSG CryptMsgDuplicate(HCRYPTMSG hCryptMsg);
VEXORCSP_API BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData,
                                 BOOL fFinal);
// Two-call size convention; structured results are flat (structure, then its data).
VEXORCSP_API BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex,
                                   void* pvData, DWORD* pcbData);
VEXORCSP_API BOOL CryptMsgControl(HCRYPTMSG hCryptMsg, DWORD dwFlags, DWORD dwCtrlType,
                                  const void* pvCtrlPara);
VEXORCSP_API BOOL CryptMsgClose(HCRYPTMSG hCryptMsg);

// GOST enveloped-data of the content for the recipients' certificates: content GOST
// 28147-89 (CFB, CryptoPro key meshing, a new key and IV per call), one
// GostR3410-KeyTransport with an ephemeral key per recipient. Two-call size convention.
VEXORCSP_API BOOL CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA pEncryptPara,
                                      DWORD cRecipientCert, PCCERT_CONTEXT rgpRecipientCert[],
                                      const BYTE* pbToBeEncrypted, DWORD cbToBeEncrypted,
                                      BYTE* pbEncryptedBlob, DWORD* pcbEncryptedBlob);

#ifdef __cplusplus
}
#endif
