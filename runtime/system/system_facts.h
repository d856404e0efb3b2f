// The words in which the system-information modules describe this host:
// the architecture name in the vocabulary of the installer's Linux rules,
// the processor features from the identification instruction, and memory
// sizes as (value, unit) pairs. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lmx::facts {

// "X86-64" for x86_64, "I386" for i386 to i686, "IA64", "PPC" for the
// PowerPC machines, "S390" for s390 and s390x; any other machine name in
// capitals ("AARCH64").
std::string linux_architecture(const std::string& machine);

// "sse", "sse2" and "cmpxchg16b" as leaf 1 reports them (EDX bits 25 and 26,
// ECX bit 13), blank-separated; absent when the highest basic leaf is 0.
std::optional<std::string> processor_features(std::uint32_t highest_leaf, std::uint32_t ecx,
                                              std::uint32_t edx);

struct MemoryAmount {
    std::uint32_t value;
    std::uint32_t unit;
};

// Unit 1 for 0 bytes, 1024 below 128 MiB, 1048576 below 128 GiB, else
// 1073741824; the value is the size in units, rounded down.
MemoryAmount scale_memory(std::uint64_t bytes);

}  // namespace lmx::facts
