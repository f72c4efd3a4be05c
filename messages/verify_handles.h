// Owning wrappers for the handles the message operations hold: decoded messages and
// provider contexts.
#pragma once

#include "stores/auto_handle.h"
#include "vexor/platform.h"

namespace msg_release {
inline void Message(HCRYPTMSG msg) { CryptMsgClose(msg); }
inline void Provider(HCRYPTPROV prov) { CryptReleaseContext(prov, 0); }
}  // namespace msg_release

using auto_msg = auto_handle<HCRYPTMSG, msg_release::Message>;
using auto_prov = auto_handle<HCRYPTPROV, msg_release::Provider>;

constexpr DWORD kMsgEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
