// Revocation lists kept current from the distribution points certificates name (extension
// 2.5.29.31), over HTTP and HTTPS: the update of one certificate, run when its revocation
// check is inconclusive, and the forced update of every certificate of the store file.
// Each address is fetched at most once in 5 minutes (a failed download is retried at once).
#pragma once

#include <cstdint>
#include <string>

#include "vexor/platform.h"

class InstanceContext;

// The update of one certificate: 0 when it is switched off, not needed (the host's lists, or
// a believable list in one of the stores, are current) or a list was updated; 13 for a
// missing certificate or issuer; 15 without the Root store; 44 when no list could be
// updated. A list no host takes goes into the store file (My without one), which is saved,
// so the recheck that follows and every later check of any process find it. Logs, never
// raises.
int32_t _CertUpdateCRLs(PCCERT_CONTEXT cert, InstanceContext& ctx);

// Slot 17: the forced update of the store file (off while SkipUpdateCRLInInit is set).
int32_t CertUpdateCRLs(InstanceContext& ctx);

// Every certificate of `store`; the lists go to `target`, which is saved as the store file
// when an address was processed, and the operation object keeps the time of such an update
// (CrlCheckCache::LastForcedUpdate).
int32_t UpdateStoreCRLs(HCERTSTORE store, HCERTSTORE target, InstanceContext& ctx);

// The rate-limited download of one address into `target` (or to the host).
int32_t ProcessCRLAddress(HCERTSTORE target, const std::string& address, InstanceContext& ctx);
// The download and add of one address: 35 for a scheme other than HTTP(S), 44 when the
// transfer fails or outlasts CRLDownloadTimeout, 19 for a list no known certificate signed,
// the decoder's or the add's code otherwise.
int32_t CertAddCRLInStoreFromURLEx(HCERTSTORE target, const std::string& address, InstanceContext& ctx);
