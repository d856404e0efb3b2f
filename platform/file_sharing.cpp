#include "platform/file_sharing.h"

#include <map>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "platform/acl_rules.h"
#include "platform/errors.h"

namespace platform {
namespace {

// What an open takes part with: read, write, delete, as share-mode bits.
DWORD sharing_access(DWORD access) {
    DWORD taken = 0;
    if (access & (FILE_READ_DATA | FILE_EXECUTE | GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL |
                  READ_CONTROL))
        taken |= FILE_SHARE_READ;
    if (access & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL | WRITE_DAC |
                  WRITE_OWNER))
        taken |= FILE_SHARE_WRITE;
    if (access & (DELETE | GENERIC_ALL)) taken |= FILE_SHARE_DELETE;
    return taken;
}

struct OpenFile {
    const void* object;
    DWORD taken;  // sharing_access of the handle's access
    DWORD share;
};

std::mutex table_mutex;
std::map<std::pair<dev_t, ino_t>, std::vector<OpenFile>>& table() {
    static auto* files = new std::map<std::pair<dev_t, ino_t>, std::vector<OpenFile>>;
    return *files;
}

class SharedFileObject : public DescriptorObject {
   public:
    SharedFileObject(int descriptor, dev_t device, ino_t inode)
        : DescriptorObject(descriptor), key_(device, inode) {}
    ~SharedFileObject() override {
        std::lock_guard<std::mutex> lock(table_mutex);
        auto found = table().find(key_);
        if (found == table().end()) return;
        std::vector<OpenFile>& opens = found->second;
        for (auto it = opens.begin(); it != opens.end(); ++it)
            if (it->object == this) {
                opens.erase(it);
                break;
            }
        if (opens.empty()) table().erase(found);
    }

   private:
    std::pair<dev_t, ino_t> key_;
};

}  // namespace

std::shared_ptr<KernelObject> shared_file_object(int descriptor, dev_t device, ino_t inode,
                                                 DWORD access, DWORD share) {
    const DWORD taken = sharing_access(access);
    try {
        std::lock_guard<std::mutex> lock(table_mutex);
        std::vector<OpenFile>& opens = table()[{device, inode}];
        for (const OpenFile& open : opens) {
            if (taken == 0 || open.taken == 0) continue;
            if ((taken & ~open.share) || (open.taken & ~share)) {
                SetLastError(ERROR_SHARING_VIOLATION);
                return nullptr;
            }
        }
        // Room first: once the object exists, it owns the descriptor.
        opens.reserve(opens.size() + 1);
        auto object = std::make_shared<SharedFileObject>(descriptor, device, inode);
        opens.push_back({object.get(), taken, share});
        return object;
    } catch (const std::bad_alloc&) {
        std::lock_guard<std::mutex> lock(table_mutex);
        auto found = table().find({device, inode});
        if (found != table().end() && found->second.empty()) table().erase(found);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

}  // namespace platform
