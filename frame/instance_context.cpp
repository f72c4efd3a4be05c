#include "frame/instance_context.h"

#include "frame/vexor_impl.h"

InstanceContext::InstanceContext(IVexorImpl& owner_object)
    : workDir(owner_object.EstablishWorkDir(std::string())), owner(&owner_object) {
  SetDefaultOptions(options);
  options = owner_object.optionsSnapshot();
}

InstanceContext::~InstanceContext() { owner->DeleteTempFiles(); }
