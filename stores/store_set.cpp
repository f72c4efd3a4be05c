#include "stores/store_set.h"

#include "call/call_context.h"
#include "call/failure.h"
#include "call/result_codes.h"
#include "stores/auto_handle.h"
#include "stores/sst_accessor.h"

namespace {

// Opens a system store of the call's location by its wide name.
HCERTSTORE OpenSystemStore(const CallContext& call, const char16_t* name) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, call.services.storeLocation, name);
}

}  // namespace

int32_t StoreSet::Open(unsigned long mask) {
  if ((mask & CST_SST) && !handles_.Has(CST_SST)) {
    HCERTSTORE h = file_ != nullptr ? file_->Open(kStoreEncoding, kStoreFileOpenFlags, 0) : nullptr;
    if (h != nullptr) {
      handles_.Set(CST_SST, h);
    } else if (call_.callback() == nullptr) {
      return ReportFailure(call_, RC_STORE_OPEN, "Не удалось открыть хранилище certstore.sst");
    }
  }
  if ((mask & CST_MY) && !handles_.Has(CST_MY)) {
    HCERTSTORE h = OpenSystemStore(call_, u"My");
    if (h == nullptr) return ReportFailure(call_, RC_STORE_OPEN, "Не удалось открыть хранилище Личные(My)");
    handles_.Set(CST_MY, h);
  }
  if ((mask & CST_ROOT) && !handles_.Has(CST_ROOT)) {
    HCERTSTORE h = OpenSystemStore(call_, u"Root");
    if (h == nullptr)
      return ReportFailure(call_, RC_STORE_OPEN,
                           "Не удалось открыть хранилище Доверенные корневые центры сертификации(Root)");
    handles_.Set(CST_ROOT, h);
  }
  if ((mask & CST_HOST) && !handles_.Has(CST_HOST)) {
    if (VexorCallBack* cb = call_.callback()) {
      if (HCERTSTORE h = cb->OnOpenStore()) handles_.SetBorrowed(CST_HOST, h);
    }
  }
  return RC_OK;
}

int32_t StoreSet::OpenFileForChange() {
  if (!change_) {
    if (file_ != nullptr) change_ = file_->BeginChange();
    if (!change_) {
      if (call_.callback() == nullptr)
        return ReportFailure(call_, RC_STORE_OPEN, "Не удалось открыть хранилище certstore.sst");
      return RC_OK;  // as for a store file that does not open: the host's stores serve
    }
    // An image read before the lock was taken may be stale by now.
    handles_.Close(CST_SST);
  }
  return Open(CST_SST);
}

HCERTSTORE StoreSet::Get(unsigned long id) {
  if (HCERTSTORE h = handles_.Get(id)) return h;
  try {
    if (Open(id) != RC_OK) return nullptr;
  } catch (const CryptoOperations::baseCryptoException&) {
    return nullptr;  // the report has logged why
  }
  return handles_.Get(id);
}

void StoreSet::Close(unsigned long mask) {
  if (mask & CST_HOST) {
    VexorCallBack* cb = call_.callback();
    if (cb != nullptr && handles_.Has(CST_HOST)) cb->OnCloseStore(handles_.Take(CST_HOST));
  }
  if (mask == CST_ALL)
    handles_.CloseAll();
  else
    handles_.CloseMasked(mask);
  if (mask & CST_SST) change_.reset();
}

void StoreSet::CloseAll() noexcept {
  try {
    Close(CST_ALL);
  } catch (...) {
    // A host callback that throws while taking its store back must not end the call twice.
    handles_.CloseAll();
    change_.reset();
  }
}

int32_t StoreSet::SaveFile(HCERTSTORE store) {
  if (store == nullptr) store = Get(CST_SST);
  if (file_ == nullptr || store == nullptr || !file_->Save(store, kStoreEncoding)) return ReportSaveFailure();
  return RC_OK;
}

int32_t StoreSet::ChangeFileAsItIsNow(const std::function<void(HCERTSTORE)>& change) {
  const std::unique_ptr<SSTAccessor::ChangeLock> lock = file_ != nullptr ? file_->BeginChange() : nullptr;
  auto_store now(lock ? file_->Open(kStoreEncoding, kStoreFileOpenFlags, 0) : nullptr);
  if (!now) return ReportSaveFailure();
  change(now.get());
  if (!file_->Save(now.get(), kStoreEncoding)) return ReportSaveFailure();
  return RC_OK;
}

int32_t StoreSet::ReportSaveFailure() {
  return ReportFailureWithReason(call_, RC_STORE_SAVE,
                                 "Не удалось сохранить данные в хранилище certstore.sst, путь \"%s\"!",
                                 file_ != nullptr ? file_->GetPath().c_str() : "");
}
