// The per-call context every operation creates on its stack: the call's services, working
// directory and options, the state the operation object shares between its calls, and the
// store set the call opens. When it ends, the stores are closed (the host's store goes back
// to the host) and the call's temporary files deleted.
#pragma once

#include "call/call_context.h"
#include "call/temp_files.h"
#include "stores/store_set.h"

class CrlCheckCache;
class SignerCache;
class SSTAccessor;
class ValidCertsCache;

// What the operation object keeps for all its calls and the certificate code uses: the
// caches of earlier checks and the guard of the store file. It outlives the call; a null
// entry is one the call goes without.
struct SharedState {
  ValidCertsCache* validCerts = nullptr;  // certificates found valid in the last minutes
  CrlCheckCache* crlCache = nullptr;      // revocation-list addresses processed lately
  SSTAccessor* storeFile = nullptr;       // the guard of certstore.sst
  SignerCache* signers = nullptr;         // the personal store and the signers found in it
};

class InstanceContext : public CallContext {
 public:
  InstanceContext(const CallServices& callServices, const SharedState& sharedState, std::string callWorkDir,
                  const OptionBlock& callOptions)
      : CallContext(callServices, std::move(callWorkDir), callOptions),
        shared(sharedState),
        stores(*this, shared.storeFile) {}
  ~InstanceContext() {
    stores.CloseAll();
    if (services.tempFiles != nullptr) services.tempFiles->DeleteAll();
  }

  SharedState shared;
  StoreSet stores;
};
