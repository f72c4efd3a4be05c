// Where the platform keeps its persistent state: the home directory of a system-store
// location, holding the system stores (stores/<Name>.sst) and the key containers (keys/).
#pragma once

#include <string>

#include "vexor/platform.h"

namespace vexorcsp {

// CERT_SYSTEM_STORE_CURRENT_USER: $VEXOR_CSP_HOME, else $XDG_DATA_HOME/vexor-csp, else
// ~/.local/share/vexor-csp. CERT_SYSTEM_STORE_LOCAL_MACHINE: $VEXOR_CSP_MACHINE_HOME, else
// /var/lib/vexor-csp. Empty for an unknown location.
std::string PlatformHome(DWORD location);
// The file of a system store, or empty when the name or location is not acceptable.
std::string SystemStorePath(DWORD location, const std::string& name);

}  // namespace vexorcsp
