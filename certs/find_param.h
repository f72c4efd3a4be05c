// The find-parameter record of the search (_TAGCERTFINDPARAM of vexor.h) with its owning
// wrapper, and the rule that turns a host's certificate identifier into a search.
#pragma once

#include <string>

#include "vexor/vexor.h"

// A find-parameter record that clears itself when it goes: texts emptied, mask and start
// certificate zeroed (the start certificate is not released: the enumeration consumes it),
// flags false, the thumbprint buffer freed and the results released.
struct AUTO_CERTFINDPARAM : _TAGCERTFINDPARAM {
  AUTO_CERTFINDPARAM() = default;
  virtual ~AUTO_CERTFINDPARAM() { Clear(); }
  AUTO_CERTFINDPARAM(const AUTO_CERTFINDPARAM&) = delete;
  AUTO_CERTFINDPARAM& operator=(const AUTO_CERTFINDPARAM&) = delete;

  void Clear();
};

// Clears the record's thumbprint, then: a text with '@' is an e-mail address; a text
// HexToThumbprint accepts is a thumbprint (text and bytes); anything else a common name.
void SetCertIdentifier(const std::string& identifier, _TAGCERTFINDPARAM& params);
