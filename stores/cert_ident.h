// Certificate identification: thumbprints (the SHA-1 of the encoded certificate, 20 bytes,
// as text 40 upper-case hex digits), display names and the short label log lines use.
// None of these raise; failures are false or an empty text. Texts are Windows-1251.
#pragma once

#include <string>

#include "vexor/platform.h"

class CallLog;

// Reads the certificate's thumbprint property into blob (a fresh C-heap buffer; the blob's
// old buffer is freed). On failure the blob is empty, the reason is logged through log when
// given, and the result is false.
bool CertGetThumb(PCCERT_CONTEXT cert, CRYPT_DATA_BLOB& blob, CallLog* log = nullptr);

// 40 upper-case hex digits for a blob of exactly 20 bytes; false (text untouched) otherwise.
bool ThumbprintToHex(const CRYPT_DATA_BLOB& blob, std::string& text);

// Reads a hex thumbprint in either case; a text longer than 40 characters first loses every
// space. Exactly 40 hex digits give the 20 bytes in a fresh C-heap buffer and true;
// anything else gives false and an empty blob.
bool HexToThumbprint(const std::string& text, CRYPT_DATA_BLOB& blob);

// CertGetThumb then ThumbprintToHex.
bool GetCertThumbHex(PCCERT_CONTEXT cert, std::string& text, CallLog* log = nullptr);

// The subject's (or issuer's) name as log messages quote it (the DNS-type name text).
std::string GetCertDisplayName(PCCERT_CONTEXT cert, bool issuer = false);
// The subject's common name (attribute 2.5.4.3); empty for a null certificate.
std::string GetCertCommonName(PCCERT_CONTEXT cert);
// A name as X.500 text. With rawOnBadTag, a name that is not a DER Name is returned as its
// raw bytes.
std::string NameToX500String(const CERT_NAME_BLOB& name, bool rawOnBadTag);
// "%s, {%s...%s}": common name, first six and last four hex digits of the thumbprint; empty
// when the thumbprint cannot be read.
std::string GetCertShortDescription(PCCERT_CONTEXT cert, CallLog* log = nullptr);
