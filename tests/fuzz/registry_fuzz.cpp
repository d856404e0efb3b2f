// The registry's value conversions and name rules on any bytes: stored
// data read as a string, a string list and a DWORD, a list written and read
// back, the byte count of a write, and names folded, measured and split as
// subkey paths.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/registry_names.h"
#include "runtime/win32/registry_values.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace values = lmx::registry_values;
namespace names = platform::registry;

void value_conversions(std::string_view data) {
    values::string_of(data);
    values::dword_of(data);
    const std::vector<std::string_view> read = values::strings_of(data);
    std::vector<std::string> list(read.begin(), read.end());
    const std::string stored = values::multi_string(list);
    const std::vector<std::string_view> again = values::strings_of(stored);
    if (std::vector<std::string>(again.begin(), again.end()) != list)
        fuzz::broken("a string list does not read back as written");
    for (DWORD type : {REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ}) {
        values::readable(type);
        const std::int64_t size = data.empty() ? 0 : static_cast<std::int8_t>(data[0]);
        const auto count = values::byte_count(type, data.size(), size);
        if (count && *count > data.size() + 1) fuzz::broken("a byte count past the data");
    }
}

void name_rules(const std::string& name) {
    const std::string folded = names::fold(name);
    if (names::utf16_length(folded) != names::utf16_length(name))
        fuzz::broken("folding changed a name's length");
    std::vector<std::string_view> components;
    if (names::split_path(name.c_str(), components) != ERROR_SUCCESS) return;
    for (std::string_view c : components)
        if (c.empty() || c.find('\\') != std::string_view::npos)
            fuzz::broken("a path component empty or holding a separator");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    value_conversions(input);
    name_rules(input.substr(0, input.find('\0')));
    return 0;
}
