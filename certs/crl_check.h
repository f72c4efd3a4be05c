// The revocation check of one chain link: is the subject listed in a current revocation
// list of its issuer? The lists come from every store the call reaches (the subject's own
// first) and from the host; only lists the issuer's key signed count.
#pragma once

#include <memory>
#include <string>

#include "certs/verdict.h"
#include "call/options.h"
#include "vexor/platform.h"

class InstanceContext;

// A source of revocation lists for one issuer.
class CCCRLPred {
 public:
  // Replaces crl (null to start) with the source's next list, null when there is none;
  // false when the source wants the walk to end.
  virtual bool Next(PCCRL_CONTEXT& crl) = 0;
  virtual ~CCCRLPred() = default;
};

// Store selector 0: the lists of the subject's own store and of every store of the call
// (crl_trust.h); 8 or 16: the host's lists (nothing is checked without a host callback);
// CST_ALL: both in one walk. The outcome goes into the verdict (14 revoked, 50 no list, 43
// only expired lists, 0 a current list without the subject); always true. With SkipCheckCRL
// the verdict is left alone.
bool CertCheckCRL(unsigned long selector, PCCERT_CONTEXT issuer, PCCERT_CONTEXT subject,
                  _TAGCERTVALIDPARAM& verdict, InstanceContext& ctx);

// The walk over one source: lists the issuer's key does not verify, or whose dates make no
// sense, are passed over; the newest current list decides.
bool _CertCheckCRL(const std::shared_ptr<CCCRLPred>& source, PCCERT_CONTEXT issuer, PCCERT_CONTEXT subject,
                   _TAGCERTVALIDPARAM& verdict, InstanceContext& ctx);

// The value of the first CN= of the list's issuer name; empty without one.
std::string GetCRLDisplayName(PCCRL_CONTEXT crl);

// Switches the revocation check off for one call of a family host, and back on when it goes.
class CAutoSkipCRLChecker {
 public:
  explicit CAutoSkipCRLChecker(InstanceContext& ctx);
  ~CAutoSkipCRLChecker();
  CAutoSkipCRLChecker(const CAutoSkipCRLChecker&) = delete;
  CAutoSkipCRLChecker& operator=(const CAutoSkipCRLChecker&) = delete;

 private:
  InstanceContext& ctx_;
  int32_t saved_;
};
