#include "runtime/system/system_facts.h"

#include <cctype>

namespace lmx::facts {
namespace {

bool begins_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

std::string linux_architecture(const std::string& machine) {
    if (machine == "x86_64" || machine == "amd64") return "X86-64";
    if (machine.size() == 4 && machine[0] == 'i' && machine[1] >= '3' && machine[1] <= '6' &&
        machine.compare(2, 2, "86") == 0)
        return "I386";
    if (machine == "ia64") return "IA64";
    if (begins_with(machine, "ppc") || begins_with(machine, "powerpc")) return "PPC";
    if (begins_with(machine, "s390")) return "S390";
    std::string upper = machine;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

std::optional<std::string> processor_features(std::uint32_t highest_leaf, std::uint32_t ecx,
                                              std::uint32_t edx) {
    if (highest_leaf == 0) return std::nullopt;
    std::string words;
    const auto add = [&](bool present, const char* word) {
        if (!present) return;
        if (!words.empty()) words += ' ';
        words += word;
    };
    add(edx & (1u << 25), "sse");
    add(edx & (1u << 26), "sse2");
    add(ecx & (1u << 13), "cmpxchg16b");
    return words;
}

MemoryAmount scale_memory(std::uint64_t bytes) {
    std::uint64_t unit = 1073741824;
    if (bytes == 0)
        unit = 1;
    else if (bytes < (std::uint64_t{128} << 20))
        unit = 1024;
    else if (bytes < (std::uint64_t{128} << 30))
        unit = 1048576;
    return {static_cast<std::uint32_t>(bytes / unit), static_cast<std::uint32_t>(unit)};
}

}  // namespace lmx::facts
