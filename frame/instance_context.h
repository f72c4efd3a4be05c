// The per-call context every operation creates on its stack: the working directory, the
// object that runs the call, a snapshot of its options, and the stores opened for the call.
#pragma once

#include <string>

#include "frame/options.h"
#include "stores/store_map.h"

class IVexorImpl;

class InstanceContext {
 public:
  explicit InstanceContext(IVexorImpl& owner);
  // Closes the call's stores and deletes the owner's temporary files.
  virtual ~InstanceContext();
  InstanceContext(const InstanceContext&) = delete;
  InstanceContext& operator=(const InstanceContext&) = delete;

  std::string workDir;
  IVexorImpl* owner;
  OptionBlock options;
  map_id_hcertstore stores;  // the stores opened for this call
};
