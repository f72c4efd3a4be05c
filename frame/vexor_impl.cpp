// Construction and destruction of the operation object, the small slots, and the slots whose
// operations this build does not carry yet (they answer 1, as for an unsupported format).
#include "frame/vexor_impl.h"

#include <cstdlib>

#include "call/result_codes.h"
#include "frame/settings.h"

IVexorImpl::IVexorImpl() { SetDefaultOptions(options_); }

IVexorImpl::~IVexorImpl() { temp_files_.DeleteAll(); }

void IVexorImpl::Release() { delete this; }

std::string IVexorImpl::GetErrorText(int32_t code) { return ResultText(code); }

BOOL IVexorImpl::IsInitialized() { return !work_dir_.IsEmpty(); }

uint32_t IVexorImpl::SetFlags(uint32_t flags, uint32_t replace) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  const uint32_t old = runtime_flags_;
  // Without replacement only the encryption bit (bit 0) of the old flags carries over.
  runtime_flags_ = replace != 0 ? flags : (flags | (old & 1u));
  return old;
}

uint32_t IVexorImpl::runtimeFlags() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return runtime_flags_;
}

OptionBlock IVexorImpl::optionsSnapshot() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return options_;
}

void IVexorImpl::FreeBuffer(CRYPT_DATA_BLOB* blob) {
  if (blob != nullptr && blob->pbData != nullptr) {
    std::free(blob->pbData);
    blob->pbData = nullptr;
  }
}

void IVexorImpl::ReportProvider(HCRYPTPROV provider) { ::ReportProvider(*this, provider); }

void IVexorImpl::WriteLine(const std::string& text, bool extended) noexcept {
  try {
    const OptionBlock options = optionsSnapshot();
    if (options.OffLogFile) return;
    if (extended && !options.LogExtended) return;
    if (VexorCallBack* cb = callback()) {
      if (!cb->OnLog(text.c_str())) return;
    }
    log_.Write(text);
  } catch (...) {
    // Logging never fails an operation.
  }
}

CallServices IVexorImpl::services() {
  CallServices s;
  s.log = this;
  s.callback = callback();
  s.tempFiles = &temp_files_;
  s.storeLocation = storeLocation();
  s.familyHost = isFamilyHost();
  s.issuerText = issuer_.Get();
  s.runtimeFlags = runtimeFlags();
  return s;
}

SharedState IVexorImpl::sharedState() {
  SharedState s;
  s.validCerts = &valid_certs_;
  s.crlCache = &crl_cache_;
  s.storeFile = &sst_;
  s.signers = &signers_;
  return s;
}

InstanceContext IVexorImpl::NewCall() {
  std::string dir = EstablishWorkDir(std::string());
  return InstanceContext(services(), sharedState(), std::move(dir), optionsSnapshot());
}

// Certificate operations that arrive with the store set, the search and the import.

