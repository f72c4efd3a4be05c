// Message formats by table: every format number the message slots take has one row naming
// its operations. A format is one folder under messages/ whose row is written there with
// designated initializers (".encrypt = EncryptStream"); an entry the row leaves out is null,
// an operation the format does not have, and the slot answers 1 for it.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

#include "vexor/vexor.h"

class InstanceContext;

struct MessageFormat {
  using Sign = int32_t (*)(InstanceContext&, const CertPartyParam&, std::istream& in, std::ostream& out);
  // Verification that checks the signers against the host's subject names.
  using CheckBySubject = int32_t (*)(InstanceContext&, std::istream& signedData, std::istream* content,
                                     SignerCheckList&);
  // Verification that reports every signer's certificate; an attached message's content goes
  // to contentOut when given (the slot with a content stream gives one, the one without never).
  using CheckByCertificate = int32_t (*)(InstanceContext&, std::istream& signedData, std::istream* content,
                                         std::ostream* contentOut, SignerCheckList&);
  using Unpack = int32_t (*)(InstanceContext&, std::istream& signedData, std::ostream& content);
  using Encrypt = int32_t (*)(InstanceContext&, std::istream& in, std::ostream& out, const CertPartyList&);
  using Decrypt = int32_t (*)(InstanceContext&, std::istream& in, std::ostream& out);

  int32_t id = -1;             // the host's format number (VexorFormat)
  const char* name = nullptr;  // for people reading the row
  Sign signAttached = nullptr;
  Sign signDetached = nullptr;
  CheckBySubject checkAttachedBySubject = nullptr;
  CheckByCertificate checkAttachedByCertificate = nullptr;           // with a content stream
  CheckByCertificate checkAttachedByCertificateNoContent = nullptr;  // with the pass-through word only
  CheckBySubject checkDetachedBySubject = nullptr;
  CheckByCertificate checkDetachedByCertificate = nullptr;
  Unpack unpack = nullptr;
  Encrypt encrypt = nullptr;
  Decrypt decrypt = nullptr;
};

// The row of a format number; null for a number no format has.
const MessageFormat* FindMessageFormat(int32_t format);

// Removes the temporary files message operations of killed processes left (the ciphertext
// of large encryptions).
void SweepMessageLeftovers();
