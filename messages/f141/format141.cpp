// The compact "141" format's row: detached signatures (verified through the slot that takes
// the expected signer) and one-to-one encryption.
#include "messages/f141/encryption.h"
#include "messages/f141/signature.h"
#include "messages/formats.h"

namespace {

int32_t Check(InstanceContext& ctx, std::istream& signature, std::istream* content, std::ostream*,
              SignerCheckList& list) {
  return Check141(ctx, signature, *content, list);
}

}  // namespace

extern const MessageFormat kFormat141 = {
    .id = VEXOR_FORMAT_141,
    .name = "141",
    .signDetached = Sign141,
    .checkDetachedByCertificate = Check,
    .encrypt = Encrypt141,
    .decrypt = Decrypt141,
};
