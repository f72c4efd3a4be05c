// The certificate search: walks the store set in a fixed order (personal store, store file,
// the host's own search, trusted roots), filters every candidate and picks the one that
// became valid last.
#pragma once

#include <cstdint>

#include "vexor/vexor.h"

class InstanceContext;

// The store walk over the record's store mask. 0 with *cert holding a reference the caller
// releases; 13 when nothing was found; 9 (reported, so raised while the raise flag is on)
// for a missing record, a zero mask or a missing out pointer.
int32_t FindCertInStores(_TAGCERTFINDPARAM* params, PCCERT_CONTEXT* cert, InstanceContext& ctx);

// The search in one store (id names it in messages). With a null handle and a host callback
// the host searches through OnCertFindEx; the host owns the candidates it hands over and
// gets each one back in the next call, as an enumeration would. Same results as above.
int32_t FindCertInStore(HCERTSTORE store, _TAGCERTFINDPARAM* params, PCCERT_CONTEXT* cert, InstanceContext& ctx,
                        unsigned long id);
