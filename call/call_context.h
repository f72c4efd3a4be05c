// What a call gets from the operation object that runs it: a narrow record of services
// (log, host callback, temporary files, the store location) and a snapshot of the options.
// What the upper layers share between calls (their caches, the store file) they carry
// themselves (certs/instance_context.h). The subsystems see only this, never the operation
// object itself, so each of them can be driven by a test that builds the record by hand.
#pragma once

#include <cstdint>
#include <string>

#include "call/call_log.h"
#include "call/options.h"
#include "vexor/vexor.h"

class TempFileRegistry;

// References into the object that runs the call; they outlive the call.
struct CallServices {
  CallLog* log = nullptr;
  VexorCallBack* callback = nullptr;  // the host's callback, null without one
  TempFileRegistry* tempFiles = nullptr;
  uint32_t storeLocation = CERT_SYSTEM_STORE_CURRENT_USER;  // of the system stores
  bool familyHost = false;                // the host is of the family app.info names
  std::string issuerText;                 // required in every candidate's issuer ("" none)
  uint32_t runtimeFlags = 0;              // SetFlags: the bits below
};

// Run-time flags a host sets with SetFlags.
constexpr uint32_t kFlagSkipMissingRecipients = 1;  // encryption goes on without them
constexpr uint32_t kFlagSkipCrlCheck = 2;           // CheckCertificate leaves CRLs out
constexpr uint32_t kFlagSkipRecipientValidity = 4;  // encryption takes recipients as found

class CallContext {
 public:
  CallContext(const CallServices& callServices, std::string callWorkDir, const OptionBlock& callOptions)
      : workDir(std::move(callWorkDir)), services(callServices), options(callOptions) {}
  CallContext(const CallContext&) = delete;
  CallContext& operator=(const CallContext&) = delete;

  CallLog& log() const { return *services.log; }
  VexorCallBack* callback() const { return services.callback; }

  std::string workDir;
  CallServices services;
  OptionBlock options;
};

// One log line naming the provider of the context (or saying there is none).
void ReportProvider(CallLog& log, HCRYPTPROV provider);
