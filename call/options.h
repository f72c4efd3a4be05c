// The option words that tune every operation, and their defaults.
#pragma once

#include <cstdint>

// How long one revocation-list download may take as a whole, in seconds, unless
// CRLDownloadTimeout says otherwise.
constexpr int32_t kDefaultCrlDownloadTimeout = 60;

// The thirteen words of the option block in a fixed order (a switch is on when its word is
// non-zero), and the library's own settings after them.
struct OptionBlock {
  int32_t UsingCustomOptions;
  int32_t SkipUpdateCRL;
  int32_t SkipCheckCertValid;
  int32_t SkipUpdateCRLInInit;
  int32_t SkipCheckCRL;
  int32_t OffLogFile;
  int32_t LogExtended;
  int32_t UseSST;
  int32_t NoErrorCheckChain;
  int32_t SkipCheckTimeRemains;
  int32_t ShowUICSP;
  int32_t RaiseErrors;      // failure reports raise instead of returning; never read from a file
  int32_t MaxDecryptSize;   // largest total of encrypted input decryption accepts
  int32_t CRLDownloadTimeout;  // seconds one revocation-list download may take; <= 0: the default
};

// Writes the default of every word.
void SetDefaultOptions(OptionBlock& options);
