// One owner for one handle of the layer: closed when the owner goes or is
// reset. Empty is the one "no handle" value; the failure results of the
// handle-making calls (NULL, INVALID_HANDLE_VALUE) both make an empty owner,
// so a pseudo handle is never owned and never closed.
#pragma once

#include <utility>

#include "platform/handles.h"

namespace platform {

class UniqueHandle {
   public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(owned(handle)) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // Gives the handle up without closing it.
    HANDLE release() { return std::exchange(handle_, nullptr); }

    // Closes the handle held (if any) and takes `handle`. False when closing
    // failed (the handle is given up all the same).
    bool reset(HANDLE handle = nullptr) {
        const HANDLE old = std::exchange(handle_, owned(handle));
        return old == nullptr || CloseHandle(old);
    }

    // The address of an empty owner, for the calls that return a handle
    // through an output argument (CreatePipe, DuplicateHandle).
    HANDLE* out() {
        reset();
        return &handle_;
    }

   private:
    static HANDLE owned(HANDLE h) { return h == INVALID_HANDLE_VALUE ? nullptr : h; }
    HANDLE handle_ = nullptr;
};

}  // namespace platform
