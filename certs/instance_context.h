// The per-call context every operation creates on its stack: the call's services, working
// directory and options, and the store set the call opens. When it ends, the stores are
// closed (the host's store goes back to the host) and the call's temporary files deleted.
#pragma once

#include "call/call_context.h"
#include "call/temp_files.h"
#include "stores/store_set.h"

class InstanceContext : public CallContext {
 public:
  InstanceContext(const CallServices& callServices, std::string callWorkDir, const OptionBlock& callOptions)
      : CallContext(callServices, std::move(callWorkDir), callOptions), stores(*this) {}
  ~InstanceContext() {
    stores.CloseAll();
    if (services.tempFiles != nullptr) services.tempFiles->DeleteAll();
  }

  StoreSet stores;
};
