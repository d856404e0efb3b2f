// Event objects (kernel32 CreateEventA, SetEvent) over eventfd.
//
// An event is signaled while its eventfd counter is not zero, so a wait is
// a poll for readability (WaitForSingleObject). A successful wait on an
// automatic-reset event consumes the signal; a manual-reset event stays
// signaled until it is reset (the layer's overlapped operations reset the
// event they are given when they start).
#pragma once

#include <memory>

#include "platform/handles.h"
#include "platform/types.h"

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// An unnamed event; a name fails with ERROR_NOT_SUPPORTED (events are not
// shared between processes here).
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                    BOOL bInitialState, LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);

namespace platform {

struct EventObject : KernelObject {
    EventObject(int descriptor, bool manual_reset)
        : descriptor_(descriptor), manual_(manual_reset) {}
    ~EventObject() override;
    int fd() const override { return descriptor_; }

    void set();
    void reset();
    // Called when a wait saw the event signaled: true when the wait is
    // satisfied. An automatic-reset event is reset by it; false when
    // another waiter took the signal first.
    bool satisfy_wait();

   private:
    const int descriptor_;
    const bool manual_;
};

// The event behind `handle`, or null with ERROR_INVALID_HANDLE.
std::shared_ptr<EventObject> event_object(HANDLE handle);

}  // namespace platform
