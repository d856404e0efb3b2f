#include "runtime/win32/registry_values.h"

#include "platform/registry.h"

namespace lmx {
namespace registry_values {

bool readable(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_BINARY || type == REG_DWORD ||
           type == REG_MULTI_SZ;
}

std::string_view string_of(std::string_view data) { return data.substr(0, data.find('\0')); }

std::vector<std::string_view> strings_of(std::string_view data) {
    std::vector<std::string_view> strings;
    while (!data.empty()) {
        const std::string_view one = string_of(data);
        if (one.empty()) break;
        strings.push_back(one);
        data.remove_prefix(std::min(data.size(), one.size() + 1));
    }
    return strings;
}

std::uint32_t dword_of(std::string_view data) {
    std::uint32_t value = 0;
    for (std::size_t i = std::min<std::size_t>(data.size(), 4); i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(data[i]);
    return value;
}

std::string multi_string(const std::vector<std::string>& strings) {
    std::string data;
    for (const std::string& s : strings) {
        data += s;
        data += '\0';
    }
    data += '\0';
    return data;
}

std::optional<std::size_t> byte_count(DWORD type, std::size_t length, std::int64_t size) {
    if (size == 0) return type == REG_SZ || type == REG_EXPAND_SZ ? length + 1 : 0;
    if (size < 0 || static_cast<std::uint64_t>(size) > length + 1) return std::nullopt;
    return static_cast<std::size_t>(size);
}

}  // namespace registry_values
}  // namespace lmx
