// The handle table: Windows-style HANDLE values for the layer's kernel
// objects (files, pipes, processes, consoles).
//
// A handle's value is a multiple of 4, as kernel handles are on Windows;
// handles of the console (the terminal) have their two low bits set, as
// console handles have, so that code testing "divisible by 4" tells a
// redirected standard handle from a console one.
#pragma once

#include <memory>

#include "platform/types.h"

namespace platform {

// One kernel object. Subclasses own their host resources and release them
// in their destructor, which runs when the last handle to them is closed.
struct KernelObject {
    virtual ~KernelObject() = default;
    // The host descriptor for reading and writing, or -1.
    virtual int fd() const { return -1; }
};

// An object over one host descriptor, which it closes when it goes unless
// it was made as a reference to a descriptor it does not own.
struct DescriptorObject : KernelObject {
    explicit DescriptorObject(int descriptor, bool owned = true)
        : descriptor_(descriptor), owned_(owned) {}
    ~DescriptorObject() override;
    int fd() const override { return descriptor_; }

   private:
    int descriptor_;
    bool owned_;
};

// Enters `object` into the table and returns its new handle, or NULL with
// ERROR_NOT_ENOUGH_MEMORY.
HANDLE handle_insert(std::shared_ptr<KernelObject> object, bool console = false);

// The object behind `handle`, or null with ERROR_INVALID_HANDLE.
std::shared_ptr<KernelObject> handle_lookup(HANDLE handle);

// True when `handle` is one of the table's console handles.
bool handle_is_console(HANDLE handle);

// Removes `handle` from the table; false with ERROR_INVALID_HANDLE when it
// names nothing.
bool handle_remove(HANDLE handle);

// The host descriptor behind `handle`, or -1 with ERROR_INVALID_HANDLE.
int handle_fd(HANDLE handle);

}  // namespace platform

// Closes a handle of the table (kernel32 CloseHandle).
BOOL CloseHandle(HANDLE hObject);
