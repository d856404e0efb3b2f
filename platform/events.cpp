#include "platform/events.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/errors.h"
#include "platform/internal.h"

namespace platform {

EventObject::~EventObject() { ::close(descriptor_); }

void EventObject::set() {
    const std::uint64_t one = 1;
    // A counter that is already signaled stays so; nothing else can fail.
    retry_on_eintr([&] { return ::write(descriptor_, &one, sizeof one); });
}

void EventObject::reset() {
    std::uint64_t count;
    retry_on_eintr([&] { return ::read(descriptor_, &count, sizeof count); });
}

bool EventObject::satisfy_wait() {
    if (manual_) return true;
    std::uint64_t count;
    return retry_on_eintr([&] { return ::read(descriptor_, &count, sizeof count); }) ==
           static_cast<ssize_t>(sizeof count);
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
    std::shared_ptr<platform::EventObject> event;
    if (!platform::allocated(
            [&] { event = std::make_shared<platform::EventObject>(fd, bManualReset); })) {
        ::close(fd);
        return nullptr;
    }
    return platform::handle_insert(std::move(event));
}

BOOL SetEvent(HANDLE hEvent) {
    std::shared_ptr<platform::EventObject> event = platform::event_object(hEvent);
    if (!event) return FALSE;
    event->set();
    return TRUE;
}
