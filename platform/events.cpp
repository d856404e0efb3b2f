#include "platform/events.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

#include "platform/errors.h"

namespace platform {

EventObject::~EventObject() { ::close(descriptor_); }

void EventObject::set() {
    const std::uint64_t one = 1;
    // A counter that is already signaled stays so; nothing else can fail.
    while (::write(descriptor_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void EventObject::reset() {
    std::uint64_t count;
    while (::read(descriptor_, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

bool EventObject::satisfy_wait() {
    if (manual_) return true;
    std::uint64_t count;
    ssize_t n;
    do n = ::read(descriptor_, &count, sizeof count);
    while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof count);
}

std::shared_ptr<EventObject> event_object(HANDLE handle) {
    auto event = std::dynamic_pointer_cast<EventObject>(handle_lookup(handle));
    if (!event) SetLastError(ERROR_INVALID_HANDLE);
    return event;
}

}  // namespace platform

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset,
                    BOOL bInitialState, LPCSTR lpName) {
    if (lpName != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    const int fd = ::eventfd(bInitialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        platform::fail_with_errno();
        return nullptr;
    }
    try {
        return platform::handle_insert(std::make_shared<platform::EventObject>(fd, bManualReset));
    } catch (const std::bad_alloc&) {
        ::close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL SetEvent(HANDLE hEvent) {
    std::shared_ptr<platform::EventObject> event = platform::event_object(hEvent);
    if (!event) return FALSE;
    event->set();
    return TRUE;
}
