// The components of the system store, in the order their schema steps run.
// A layer file that keeps tables in the store adds its Component here.
#include "platform/admin_store.h"
#include "platform/registry_tables.h"
#include "platform/store.h"

namespace platform {
namespace store {

const std::vector<const Component*>& components() {
    static const std::vector<const Component*> list = {
        &registry::kStoreComponent,
        &kAdminComponent,
    };
    return list;
}

}  // namespace store
}  // namespace platform
