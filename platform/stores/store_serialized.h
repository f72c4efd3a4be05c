// The serialized store format Windows writes with CertSaveStore(CERT_STORE_SAVE_AS_STORE):
// an 8-byte header (0, "CERT"), then per context its property elements followed by the
// context element (id 32 certificate, 33 CRL, 34 CTL), then a 12-byte zero end marker.
// Each element is {DWORD id, DWORD 1, DWORD length} + payload, little-endian.
#pragma once

#include <vector>

#include "platform/stores/store.h"

namespace vexorcsp {

// Appends the serialized form of every certificate and CRL of the store.
void SerializeStore(Store& store, std::vector<BYTE>& out);
// Adds the contents of serialized bytes to the store. Empty input is an empty store.
// Returns 0 or the error number for malformed input; nothing is added then.
DWORD LoadSerialized(const BYTE* data, size_t size, Store& into);
// True when the bytes start with the serialized-store header.
bool LooksSerialized(const BYTE* data, size_t size);

// The persisted CRYPT_KEY_PROV_INFO (offsets from the payload start) from a caller's structure
// and back into flat caller output (structure, then its texts and parameters).
std::vector<BYTE> PersistKeyProvInfo(const CRYPT_KEY_PROV_INFO& info);
// Validates persisted bytes; with `out` null only the size is computed.
bool FlattenKeyProvInfo(const std::vector<BYTE>& persisted, BYTE* out, size_t& size);

}  // namespace vexorcsp
