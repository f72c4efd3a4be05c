// The certificates and CRLs of a message for a store over it (CERT_STORE_PROV_MSG): the
// store code asks through this hook and fills a memory store with the encodings.
#include "platform/stores/store.h"

#include <mutex>

#include "platform/core/last_error.h"
#include "platform/messages/msg_message.h"

namespace vexorcsp {

bool CollectMessageContents(HCRYPTMSG handle, std::vector<std::vector<BYTE>>& certs,
                            std::vector<std::vector<BYTE>>& crls) {
  try {
    std::shared_ptr<msg::Message> m = msg::FindMessage(handle);
    if (!m) {
      SetLastError(DWORD(E_INVALIDARG));
      return false;
    }
    std::lock_guard<std::recursive_mutex> lock(m->mu);
    return m->Contents(certs, crls);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

}  // namespace vexorcsp
