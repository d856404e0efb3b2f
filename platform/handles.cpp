#include "platform/handles.h"

#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/errors.h"
#include "platform/internal.h"

namespace platform {
namespace {

struct Slot {
    std::shared_ptr<KernelObject> object;
    bool console = false;
};

struct Table {
    std::mutex lock;
    std::vector<Slot> slots;
    std::vector<size_t> free_slots;
};

Table& table() {
    static Table t;
    return t;
}

constexpr std::uintptr_t kConsoleBits = 3;

std::uintptr_t value_of(HANDLE h) { return reinterpret_cast<std::uintptr_t>(h); }

// The slot index of `h`, or SIZE_MAX for a value that cannot be a handle.
size_t index_of(HANDLE h) {
    const std::uintptr_t v = value_of(h);
    if (v < 4 || h == INVALID_HANDLE_VALUE) return SIZE_MAX;
    return static_cast<size_t>((v >> 2) - 1);
}

}  // namespace

DescriptorObject::~DescriptorObject() {
    if (owned_ && descriptor_ >= 0) ::close(descriptor_);
}

HANDLE handle_insert(std::shared_ptr<KernelObject> object, bool console) {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    size_t index = t.slots.size();
    if (!t.free_slots.empty()) {
        index = t.free_slots.back();
        t.free_slots.pop_back();
    } else if (!allocated([&] { t.slots.emplace_back(); })) {
        return nullptr;
    }
    t.slots[index].object = std::move(object);
    t.slots[index].console = console;
    const std::uintptr_t v = (static_cast<std::uintptr_t>(index) + 1) << 2;
    return reinterpret_cast<HANDLE>(console ? v | kConsoleBits : v);
}

std::shared_ptr<KernelObject> handle_lookup(HANDLE handle) {
    Table& t = table();
    const size_t index = index_of(handle);
    std::lock_guard<std::mutex> guard(t.lock);
    const std::uintptr_t low = value_of(handle) & kConsoleBits;
    if (index < t.slots.size() && t.slots[index].object &&
        (low == 0 ? !t.slots[index].console : low == kConsoleBits && t.slots[index].console))
        return t.slots[index].object;
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

bool handle_is_console(HANDLE handle) {
    return (value_of(handle) & kConsoleBits) == kConsoleBits && handle_lookup(handle) != nullptr;
}

bool handle_remove(HANDLE handle) {
    std::shared_ptr<KernelObject> released;  // destroyed outside the lock
    if (!handle_lookup(handle)) return false;
    Table& t = table();
    const size_t index = index_of(handle);
    std::lock_guard<std::mutex> guard(t.lock);
    if (index >= t.slots.size() || !t.slots[index].object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    released = std::move(t.slots[index].object);
    t.slots[index].console = false;
    t.free_slots.push_back(index);
    return true;
}

int handle_fd(HANDLE handle) {
    std::shared_ptr<KernelObject> object = handle_lookup(handle);
    return object ? object->fd() : -1;
}

}  // namespace platform

BOOL CloseHandle(HANDLE hObject) { return platform::handle_remove(hObject) ? TRUE : FALSE; }
