#include "call/options.h"

void SetDefaultOptions(OptionBlock& o) {
  o.UsingCustomOptions = 0;
  o.SkipUpdateCRL = 1;
  o.SkipCheckCertValid = 0;
  o.SkipUpdateCRLInInit = 1;
  o.SkipCheckCRL = 0;
  o.OffLogFile = 0;
  o.LogExtended = 0;
  o.UseSST = 1;
  o.NoErrorCheckChain = 0;
  o.SkipCheckTimeRemains = 0;
  o.ShowUICSP = 1;
  o.RaiseErrors = 1;
  o.MaxDecryptSize = 524288000;
  o.CRLDownloadTimeout = kDefaultCrlDownloadTimeout;
}
