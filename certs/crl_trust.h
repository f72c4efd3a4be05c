// Which revocation lists may be believed. A list counts (is used by a check, stored, or
// replaces another) only when the public key of a certificate with the list's issuer name
// verifies its signature - the name alone never decides, since another authority may carry
// the same name - and its dates make sense: issued no later than a few minutes ahead of the
// local clock, and with a next update after its issue.
//
// Lists and their issuers are looked up in every store a call can reach: the store the
// certificate came from, the store file, My, Root, the host's store and the intermediate
// authorities' system store (CA), where chains find their issuers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stores/auto_handle.h"
#include "vexor/platform.h"

class InstanceContext;

// How far ahead of the local clock a list's issue time may lie.
constexpr int kCrlClockSkewMinutes = 10;

// This update no later than now plus the skew; next update present and later than this update.
bool CrlDatesSane(const CRL_INFO& info);

// The certificate's subject is the list's issuer and its public key verifies the list.
bool CrlSignedBy(PCCRL_CONTEXT crl, PCCERT_CONTEXT issuer);

// The stores one lookup walks, each once, in order: `first` (when given), the store file,
// My, Root, the host's store, CA. The call's stores stay the call's; CA is held here.
class CrlStores {
 public:
  CrlStores(InstanceContext& ctx, HCERTSTORE first);
  const std::vector<HCERTSTORE>& handles() const { return handles_; }

 private:
  void Add(HCERTSTORE store);
  auto_store ca_;
  std::vector<HCERTSTORE> handles_;
};

// A certificate of the stores whose key signed the list (a new reference); null if none.
auto_cert FindCrlIssuer(PCCRL_CONTEXT crl, const CrlStores& stores);

// Whether one of the stores holds a believable list of the issuer that is current now.
bool IssuerHasCurrentCrl(PCCERT_CONTEXT issuer, const CrlStores& stores);

// 0 when the list's dates make sense and a certificate of the call's stores (or of `also`)
// signed it, that certificate in `issuer`; otherwise 19 with the reason in `why`
// (Windows-1251). Logs nothing.
int32_t AuthenticateCrl(PCCRL_CONTEXT crl, InstanceContext& ctx, HCERTSTORE also, auto_cert& issuer,
                        std::string& why);

// AuthenticateCrl of an encoded list, reported as a failure (which raises) when it fails.
int32_t RefuseUnknownCrl(const CRYPT_DATA_BLOB& item, InstanceContext& ctx, HCERTSTORE also);

// Adds a list AuthenticateCrl accepted: lists of the same issuer key that are older go, a
// list of that key issued as late or later makes the add a success with nothing changed,
// and lists of other authorities by the same name stay as they are. 0, or 19.
int32_t StoreAuthenticCrl(HCERTSTORE store, PCCRL_CONTEXT crl, PCCERT_CONTEXT issuer);

// The add of an encoded list to a store as the import does it: a list AuthenticateCrl
// refuses is reported as a failure (which raises); otherwise StoreAuthenticCrl. FALSE with
// the platform's last error when the list cannot be decoded or added.
BOOL AddEncodedCrlIfAuthentic(HCERTSTORE store, const CRYPT_DATA_BLOB& item, InstanceContext& ctx);
