// The physical memory a process has: the kernel's figures (/proc/meminfo)
// and the limit of its control group (cgroup v1 memory.limit_in_bytes, v2
// memory.max, over the group and its ancestors), as container runtimes
// and the Java and Go runtimes take it. Parsing is pure; the files are read
// below a root directory: empty for the host itself, a fake tree in tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct MemInfo {
    std::uint64_t total = 0;      // MemTotal, bytes
    std::uint64_t available = 0;  // MemAvailable (MemFree + Buffers + Cached without it)
    std::uint64_t swap_total = 0;
    std::uint64_t swap_free = 0;
};

// The figures of a /proc/meminfo text; absent without MemTotal.
std::optional<MemInfo> parse_meminfo(const std::string& text);

struct CgroupMemory {
    std::uint64_t limit;  // the lowest limit of the group and its ancestors
    std::uint64_t used;   // the group's usage less its inactive file pages (0 if unknown)
};

// The memory limit of this process's control group, found through
// `root`/proc/self/cgroup and `root`/proc/self/mountinfo; absent where no
// group sets one.
std::optional<CgroupMemory> cgroup_memory(const std::string& root);

struct PhysicalMemory {
    std::uint64_t total;
    std::uint64_t available;
};

// The machine's memory, or the group's limit where that is lower; the
// available memory is held to what the group may still take.
PhysicalMemory physical_memory(const MemInfo& info, const std::optional<CgroupMemory>& group);

}  // namespace platform
