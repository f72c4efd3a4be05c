#include "stores/store_set.h"

#include "frame/failure.h"
#include "frame/instance_context.h"
#include "frame/result_codes.h"
#include "frame/vexor_impl.h"

namespace {

// Opens a system store of the object's location by its wide name.
HCERTSTORE OpenSystemStore(const IVexorImpl& owner, const char16_t* name) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, owner.storeLocation(), name);
}

}  // namespace

int32_t OpenStores(unsigned long mask, InstanceContext& ctx) {
  IVexorImpl& owner = *ctx.owner;
  map_id_hcertstore& stores = ctx.stores;

  if ((mask & CST_SST) && !stores.Has(CST_SST)) {
    HCERTSTORE h = owner.sstAccessor().Open(kStoreEncoding, kStoreFileOpenFlags, 0);
    if (h != nullptr) {
      stores.Set(CST_SST, h);
    } else if (owner.callback() == nullptr) {
      return ReportFailure(ctx, RC_STORE_OPEN, "Не удалось открыть хранилище certstore.sst");
    }
  }
  if ((mask & CST_MY) && !stores.Has(CST_MY)) {
    HCERTSTORE h = OpenSystemStore(owner, u"My");
    if (h == nullptr) return ReportFailure(ctx, RC_STORE_OPEN, "Не удалось открыть хранилище Личные(My)");
    stores.Set(CST_MY, h);
  }
  if ((mask & CST_ROOT) && !stores.Has(CST_ROOT)) {
    HCERTSTORE h = OpenSystemStore(owner, u"Root");
    if (h == nullptr)
      return ReportFailure(ctx, RC_STORE_OPEN,
                           "Не удалось открыть хранилище Доверенные корневые центры сертификации(Root)");
    stores.Set(CST_ROOT, h);
  }
  if ((mask & CST_HOST) && !stores.Has(CST_HOST)) {
    if (VexorCallBack* cb = owner.callback()) {
      if (HCERTSTORE h = cb->OnOpenStore()) stores.SetBorrowed(CST_HOST, h);
    }
  }
  return RC_OK;
}

HCERTSTORE GetStore(unsigned long id, InstanceContext& ctx) {
  if (HCERTSTORE h = ctx.stores.Get(id)) return h;
  try {
    if (OpenStores(id, ctx) != RC_OK) return nullptr;
  } catch (const CryptoOperations::baseCryptoException&) {
    return nullptr;  // the report has logged why
  }
  return ctx.stores.Get(id);
}

void CloseStores(InstanceContext& ctx, unsigned long mask) {
  if (mask & CST_HOST) {
    VexorCallBack* cb = ctx.owner->callback();
    if (cb != nullptr && ctx.stores.Has(CST_HOST)) cb->OnCloseStore(ctx.stores.Take(CST_HOST));
  }
  if (mask == CST_ALL)
    ctx.stores.CloseAll();
  else
    ctx.stores.CloseMasked(mask);
}

int32_t SaveSSTStore(InstanceContext& ctx, HCERTSTORE store) {
  SSTAccessor& sst = ctx.owner->sstAccessor();
  if (store == nullptr) store = GetStore(CST_SST, ctx);
  if (store == nullptr || !sst.Save(store, kStoreEncoding))
    return ReportFailureWithReason(ctx, RC_STORE_SAVE,
                                   "Не удалось сохранить данные в хранилище certstore.sst, путь \"%s\"!",
                                   sst.GetPath().c_str());
  return RC_OK;
}
