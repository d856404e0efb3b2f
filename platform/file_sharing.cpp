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

// The open files by device and inode. Every object holds the table, so it
// outlives the last of them whatever the order of teardown at exit.
struct Table {
    std::mutex mutex;
    std::map<std::pair<dev_t, ino_t>, std::vector<OpenFile>> files;
};

const std::shared_ptr<Table>& the_table() {
    static const std::shared_ptr<Table> table = std::make_shared<Table>();
    return table;
}

class SharedFileObject : public DescriptorObject {
   public:
    SharedFileObject(int descriptor, std::shared_ptr<Table> table, std::pair<dev_t, ino_t> key)
        : DescriptorObject(descriptor), table_(std::move(table)), key_(key) {}
    ~SharedFileObject() override {
        std::lock_guard<std::mutex> lock(table_->mutex);
        auto found = table_->files.find(key_);
        if (found == table_->files.end()) return;
        std::vector<OpenFile>& opens = found->second;
        for (auto it = opens.begin(); it != opens.end(); ++it)
            if (it->object == this) {
                opens.erase(it);
                break;
            }
        if (opens.empty()) table_->files.erase(found);
    }

   private:
    std::shared_ptr<Table> table_;
    std::pair<dev_t, ino_t> key_;
};

}  // namespace

std::shared_ptr<KernelObject> shared_file_object(int descriptor, dev_t device, ino_t inode,
                                                 DWORD access, DWORD share) {
    const DWORD taken = sharing_access(access);
    const std::shared_ptr<Table>& table = the_table();
    const std::pair<dev_t, ino_t> key(device, inode);
    std::lock_guard<std::mutex> lock(table->mutex);
    try {
        std::vector<OpenFile>& opens = table->files[key];
        for (const OpenFile& open : opens) {
            if (taken == 0 || open.taken == 0) continue;
            if ((taken & ~open.share) || (open.taken & ~share)) {
                SetLastError(ERROR_SHARING_VIOLATION);
                return nullptr;
            }
        }
        // Room first: once the object exists, it owns the descriptor.
        opens.reserve(opens.size() + 1);
        auto object = std::make_shared<SharedFileObject>(descriptor, table, key);
        opens.push_back({object.get(), taken, share});
        return object;
    } catch (const std::bad_alloc&) {
        auto found = table->files.find(key);
        if (found != table->files.end() && found->second.empty()) table->files.erase(found);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

}  // namespace platform
