// The table of open messages and their reference counts.
#include "platform/messages/msg_message.h"

#include "platform/core/handle_table.h"

namespace vexorcsp::msg {

namespace {
using Table = HandleTable<Message>;
uintptr_t Value(HCRYPTMSG h) { return reinterpret_cast<uintptr_t>(h); }
}  // namespace

HCRYPTMSG AddMessage(std::shared_ptr<Message> m) {
  return reinterpret_cast<HCRYPTMSG>(Table::Instance().Add(std::move(m)));
}

std::shared_ptr<Message> FindMessage(HCRYPTMSG h) {
  if (h == nullptr) return nullptr;
  return Table::Instance().Get(Value(h));
}

bool ReleaseMessage(HCRYPTMSG h) {
  std::shared_ptr<Message> m = FindMessage(h);
  if (!m) return false;
  if (m->refs.fetch_sub(1) == 1) Table::Instance().Remove(Value(h));
  return true;
}

}  // namespace vexorcsp::msg
