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

const MessageFormat kFormat141 = {VEXOR_FORMAT_141, "141",   nullptr, Sign141, nullptr,    nullptr,   nullptr,
                                  nullptr,          Check, nullptr, Encrypt141, Decrypt141};
