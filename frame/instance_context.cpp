#include "frame/instance_context.h"

#include "frame/vexor_impl.h"
#include "stores/store_set.h"

InstanceContext::InstanceContext(IVexorImpl& owner_object)
    : workDir(owner_object.EstablishWorkDir(std::string())), owner(&owner_object) {
  SetDefaultOptions(options);
  options = owner_object.optionsSnapshot();
}

InstanceContext::~InstanceContext() {
  try {
    CloseStores(*this, CST_ALL);
  } catch (...) {
    // A host callback that throws while taking its store back must not end the call twice.
  }
  owner->DeleteTempFiles();
}
