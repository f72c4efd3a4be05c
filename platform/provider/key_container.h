// Key containers on disk: one owner-only file per container under <home>/keys/, holding the
// public key in the clear and the private key as PKCS#8 PEM, encrypted under the
// container's PIN when it has one.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/core/atomic_file.h"
#include "platform/provider/gost_engine.h"
#include "vexor/platform.h"

namespace vexorcsp {

// $VEXOR_CSP_HOME, else $XDG_DATA_HOME/vexor-csp, else ~/.local/share/vexor-csp.
std::filesystem::path CspHome();

struct ContainerInfo {
  bool has_key = false;
  bool pin_protected = false;
  std::vector<uint8_t> public_key_info;  // DER SubjectPublicKeyInfo, empty without a key
};

// Each returns 0 or the Windows error to report.
DWORD CreateContainer(const std::string& name);  // NTE_EXISTS when it is there
DWORD DeleteContainer(const std::string& name);  // NTE_BAD_KEYSET when it is not
DWORD ReadContainerInfo(const std::string& name, ContainerInfo& info);
// Writes the key into the container (creating it), protected by pin when not empty.
DWORD StoreContainerKey(const std::string& name, EVP_PKEY* key, const std::string& pin);
// The private key. pin is the one set on the provider (null when none was); without one a
// protected container fails with NTE_SILENT_CONTEXT when silent, else the PIN comes from
// $VEXOR_CSP_PIN (there is no dialog). A wrong PIN gives SCARD_W_WRONG_CHV.
// The file is read once: `check`, when given, sees its public part before the private key is
// decoded and stops the load with the error it returns (nonzero); `stamp`, when given, receives
// the identity of the file read.
DWORD LoadContainerKey(const std::string& name, const std::string* pin, bool silent,
                       EvpPkeyPtr& key,
                       const std::function<DWORD(const ContainerInfo&)>& check = nullptr,
                       FileStamp* stamp = nullptr);
// The identity of the container's file as it is now (the empty stamp when it is missing).
FileStamp ContainerStamp(const std::string& name);
std::vector<std::string> ListContainers();

}  // namespace vexorcsp
