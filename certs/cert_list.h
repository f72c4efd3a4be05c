// The listing of the certificates the library can offer (GetCertList): the store file's,
// or the host's own search's when the host has a callback; one record of texts each.
#pragma once

#include <cstdint>
#include <string>

#include "vexor/vexor.h"

class CallLog;
class InstanceContext;

// Empties and fills the list in enumeration order; 0, or the store file's opening failure.
int32_t GetCertList(InstanceContext& ctx, CertList& list);
// ", EKU=<oid>" for each extended key usage identifier, in the platform's order.
std::string GetCertEKUs(PCCERT_CONTEXT cert, CallLog& log);
// Writes "<key>value</key>" into the text: between both tags when the text holds them,
// else appended.
void SetTaggedValue(std::string& text, const std::string& key, const std::string& value);
