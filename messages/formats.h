// Message formats by table: every format number the message slots take has one row naming
// its operations. A format is one folder under messages/ and one row here; a null entry is
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

  int32_t id;
  const char* name;
  Sign signAttached;
  Sign signDetached;
  CheckBySubject checkAttachedBySubject;
  CheckByCertificate checkAttachedByCertificate;          // with a content stream
  CheckByCertificate checkAttachedByCertificateNoContent;  // with the pass-through word only
  CheckBySubject checkDetachedBySubject;
  CheckByCertificate checkDetachedByCertificate;
  Unpack unpack;
  Encrypt encrypt;
  Decrypt decrypt;
};

// The row of a format number; null for a number no format has.
const MessageFormat* FindMessageFormat(int32_t format);

// The rows, each defined in its format's folder.
extern const MessageFormat kPkcs7Format;
extern const MessageFormat kFormat141;
extern const MessageFormat kXmlFormat;

// Removes the temporary files message operations of killed processes left (the ciphertext
// of large encryptions).
void SweepMessageLeftovers();
