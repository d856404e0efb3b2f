#include "platform/child_reaper.h"

#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/internal.h"

namespace platform {
namespace {

// How long a wait lasts before the thread takes up children handed over
// meanwhile, in milliseconds.
constexpr int kListInterval = 50;

struct Child {
    pid_t pid;
    int pidfd;
};

struct Reaper {
    std::mutex lock;
    std::vector<Child> children;
    bool running = false;  // the thread runs while there are children to wait for
};

// Never destroyed: the thread may outlive the static objects at exit.
Reaper& reaper() {
    static Reaper* r = new Reaper;
    return *r;
}

bool has_ended(const Child& c) {
    struct pollfd p = {c.pidfd, POLLIN, 0};
    return retry_on_eintr([&] { return ::poll(&p, 1, 0); }) > 0;
}

// Collects every child of the list that has ended (its descriptor is
// closed first: the id names the zombie until it is collected). Call with
// the lock.
void collect_ended(Reaper& r) {
    r.children.erase(
        std::remove_if(r.children.begin(), r.children.end(),
                       [](const Child& c) {
                           if (!has_ended(c)) return false;
                           ::close(c.pidfd);
                           retry_on_eintr([&] { return ::waitpid(c.pid, nullptr, 0); });
                           return true;
                       }),
        r.children.end());
}

void wait_for_children() {
    Reaper& r = reaper();
    std::vector<struct pollfd> watched;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(r.lock);
            collect_ended(r);
            if (r.children.empty()) {
                r.running = false;
                return;
            }
            watched.clear();
            for (const Child& c : r.children) watched.push_back({c.pidfd, POLLIN, 0});
        }
        retry_on_eintr([&] { return ::poll(watched.data(), watched.size(), kListInterval); });
    }
}

// A child of a fork has none of the parent's children and no thread.
void lock_for_fork() { reaper().lock.lock(); }
void unlock_after_fork() { reaper().lock.unlock(); }
void reset_after_fork() {
    Reaper& r = reaper();
    for (const Child& c : r.children) ::close(c.pidfd);
    r.children.clear();
    r.running = false;
    r.lock.unlock();
}

// Starts the thread unless it runs; false when it cannot. Call with the lock.
bool start(Reaper& r) {
    if (r.running) return true;
    static std::once_flag fork_handlers;
    std::call_once(fork_handlers,
                   [] { ::pthread_atfork(lock_for_fork, unlock_after_fork, reset_after_fork); });
    try {
        start_thread_without_signals(wait_for_children).detach();
    } catch (const std::system_error&) {
        return false;
    }
    // The thread runs code of this library, also while the library would
    // be unloaded.
    keep_library_loaded();
    r.running = true;
    return true;
}

}  // namespace

void reap_when_ended(pid_t pid, int pidfd) {
    Reaper& r = reaper();
    std::lock_guard<std::mutex> guard(r.lock);
    if (!allocated([&] { r.children.push_back({pid, pidfd}); })) {
        ::close(pidfd);  // without room for its entry, the child is left as it is
        return;
    }
    if (!start(r)) collect_ended(r);
}

}  // namespace platform
