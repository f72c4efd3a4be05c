// The store set of one call: the personal and trusted-root system stores, the library's
// store file and the host's store, opened on demand into the call's InstanceContext and
// closed with it.
#pragma once

#include "vexor/platform.h"

class InstanceContext;

// Encoding and flags the store set opens the store file with.
constexpr DWORD kStoreEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kStoreFileOpenFlags = CERT_STORE_CREATE_NEW_FLAG | CERT_STORE_OPEN_EXISTING_FLAG;

// Opens every store of the mask not yet open in the context, in the order CST_SST, CST_MY,
// CST_ROOT, CST_HOST (CST_EXTERNAL has no handle). Returns 0, or reports the first failure
// through the context (15) - which raises while the raise flag is on. An unopenable store
// file is skipped silently when the object has a host callback.
int32_t OpenStores(unsigned long mask, InstanceContext& ctx);

// The context's handle of one store, opened now if needed; null when it cannot be opened
// (the failure has been logged) or when the store has no handle. Never raises.
HCERTSTORE GetStore(unsigned long id, InstanceContext& ctx);

// Releases the context's stores of the mask: the host's store goes back to the host's
// callback, the others are closed. The mask 31 empties the map.
void CloseStores(InstanceContext& ctx, unsigned long mask);

// Writes the store file from the given store, or from the context's CST_SST store when it is
// null. 0 on success; 36, reported through the context, when there is no store or the save
// fails.
int32_t SaveSSTStore(InstanceContext& ctx, HCERTSTORE store);
