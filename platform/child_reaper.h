// Children whose last handle went while they still ran: a thread of the
// layer waits on their process descriptors and collects each one as soon
// as it ends, so that none stays a zombie; it ends once none is left. No
// signal handler is involved: SIGCHLD stays as the installer set it, and
// the thread takes no signals.
#pragma once

#include <sys/types.h>

namespace platform {

// Takes over `pidfd`, a process descriptor of this process's child `pid`,
// and collects the child once it has ended. Should no thread be available,
// the child is collected when the next one is handed over.
void reap_when_ended(pid_t pid, int pidfd);

}  // namespace platform
