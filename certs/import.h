// Certificates and revocation lists in and out of the library's reach: decoding them from
// PEM, bare Base64 or DER, adding them to the store file (or handing them to the host),
// appending them to a PKCS#7 certificate file, deleting a certificate from the store file,
// and the merge of drop-in store files at Init.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vexor/vexor.h"

class CBinData;
class InstanceContext;

// Item kinds: the platform's message controls that add them.
constexpr uint32_t kItemCertificate = 10;  // CMSG_CTRL_ADD_CERT
constexpr uint32_t kItemCrl = 12;          // CMSG_CTRL_ADD_CRL

// The DER of the first certificate (else revocation list) armour in the data, of bare
// Base64 beginning "MII", or of the data itself, checked to be an item of the kind. Raises
// CryptoOperations::baseCryptoException: 12 for bad Base64 or DER, 6 for memory.
std::vector<BYTE> DecodeCertOrCRL(const CBinData& data, bool is_crl, InstanceContext& ctx);
// Certificate, revocation-list and PKCS#7 files larger than this are refused unread.
constexpr uint64_t kMaxItemFileSize = 64ull << 20;

// Every item of the file: each armoured block of a PEM file that holds several, else the one
// item. 4 for a file that cannot be read or is larger than kMaxItemFileSize, the decoder's
// code otherwise (reported), with no item when any block does not decode.
int32_t ReadCertOrCRLFileItems(const std::string& path, std::vector<std::vector<BYTE>>& items, bool is_crl,
                               InstanceContext& ctx);

// Adds one encoded item to the store; an equal or newer item there counts as added.
int32_t AddCertOrCRLToStoreEx(HCERTSTORE store, const CRYPT_DATA_BLOB& item, uint32_t kind, InstanceContext& ctx);
// The host takes the item (callback slot 14), else the store file does and is saved.
int32_t AddCertOrCRLToStore(const CRYPT_DATA_BLOB& item, uint32_t kind, InstanceContext& ctx);
// Appends the item to an existing PKCS#7 file, replacing the file crash-safely.
int32_t AddCertOrCRLToFile(const std::string& path, const CRYPT_DATA_BLOB& item, uint32_t kind, InstanceContext& ctx);

// Finds one certificate by the record and deletes it from the store file, which is saved.
int32_t DeleteCertFromStores(_TAGCERTFINDPARAM* params, InstanceContext& ctx);
// Slot 26: the certificate an identifier names, out of the store file; the host's after-
// delete hook (callback slot 8) has the last word.
int32_t DeleteCertificateById(const char* identifier, InstanceContext& ctx);

// At Init: merges every certstore_*.sst of the working directory into the store file (the
// drop-ins are deleted), offers the store's contents to the host, and retires the store
// file when the host took all of it. Reports nothing; the log tells.
void UpdateCertStore(InstanceContext& ctx);
