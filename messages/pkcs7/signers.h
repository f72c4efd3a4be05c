// The signers of a signed message: the host's list of signers with their certificates
// (extract_signers), and the signing time of one signer in local time.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

#include "vexor/vexor.h"

class CallLog;
class InstanceContext;

// A signing time in the machine's local time zone.
struct SignTime {
  DATE date = 0;     // days since 1899-12-30
  SYSTEMTIME local{};
};

// The signer's signing-time attribute (exactly one value, a UTC time) in local time. False
// when the attribute is absent or malformed; logs, never reports.
bool GetSignTime(HCRYPTMSG msg, DWORD signer, SignTime& time, CallLog& log);

// "%d.%m.%Y %H:%M:%S" with two-digit fields and a four-digit year.
std::string FormatSignTime(const SignTime& time);

// Appends one record per signer of a detached message: signature valid and a certificate
// context the host owns (CertFreeCertificateContext). 0, or a reported failure.
int32_t ExtractSigners(InstanceContext& ctx, std::istream& signedData, std::istream& content, SignerCheckList& list);
