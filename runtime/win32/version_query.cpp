#include "runtime/win32/version_query.h"

#include <algorithm>
#include <cstring>

#include "platform/pe_version_block.h"

namespace lmx::version {
namespace {

constexpr char kStringFileInfo[] = "StringFileInfo";
constexpr char kVarFileInfo[] = "VarFileInfo";
constexpr std::size_t kLanguageKeyLength = 8;

struct Query {
    std::string language;  // the table's key
    std::string name;      // the string's key
};

// "\StringFileInfo\LLLLCCCC\Name" taken apart; absent for another form.
std::optional<Query> parse_query(const char* query) {
    const std::string prefix = std::string("\\") + kStringFileInfo + "\\";
    if (std::strncmp(query, prefix.c_str(), prefix.size()) != 0) return std::nullopt;
    const char* language = query + prefix.size();
    if (std::strlen(language) <= kLanguageKeyLength || language[kLanguageKeyLength] != '\\')
        return std::nullopt;
    return Query{std::string(language, kLanguageKeyLength), language + kLanguageKeyLength + 1};
}

// The table's key with a to z as capitals equals the query's language.
bool table_matches(const std::uint8_t* block, const pe::VersionNode& table,
                   const std::string& language) {
    if (table.key_length != language.size()) return false;
    for (std::size_t i = 0; i < language.size(); ++i) {
        std::uint16_t unit = pe::version_key_unit(block, table, i);
        if (unit >= 'a' && unit <= 'z') unit = static_cast<std::uint16_t>(unit - 'a' + 'A');
        if (unit != static_cast<unsigned char>(language[i])) return false;
    }
    return true;
}

// Calls `visit` for each child of `parent` until it returns true or the
// children end (or one of them is broken); the child it stopped at.
template <class Visit>
std::optional<pe::VersionNode> find_child(const std::uint8_t* block, const pe::VersionNode& parent,
                                          Visit visit) {
    for (std::size_t at = parent.children_offset; at < parent.end;) {
        const std::optional<pe::VersionNode> child = pe::read_version_node(block, parent.end, at);
        if (!child) return std::nullopt;
        if (visit(*child)) return child;
        at = pe::next_sibling(*child);
    }
    return std::nullopt;
}

std::optional<TextValue> search_tables(const std::uint8_t* block,
                                       const pe::VersionNode& string_file_info, const Query& q) {
    std::optional<TextValue> found;
    find_child(block, string_file_info, [&](const pe::VersionNode& table) {
        if (!table_matches(block, table, q.language)) return false;
        const std::optional<pe::VersionNode> text =
            find_child(block, table, [&](const pe::VersionNode& s) {
                return pe::version_key_is(block, s, q.name.c_str(), false);
            });
        if (text)
            found = TextValue{text->value_offset,
                              std::min<std::size_t>(text->value_length,
                                                    (text->end - text->value_offset) / 2)};
        return found.has_value();
    });
    return found;
}

}  // namespace

std::optional<TextValue> query_text(const std::uint8_t* block, std::size_t block_length,
                                    const char* query) {
    const std::optional<pe::VersionNode> root = pe::read_version_node(block, block_length, 0);
    if (!root || root->end != block_length ||
        !pe::version_key_is(block, *root, pe::kVersionRootKey, false))
        return std::nullopt;
    const std::optional<Query> q = parse_query(query);
    std::optional<TextValue> found;
    find_child(block, *root, [&](const pe::VersionNode& child) {
        if (pe::version_key_is(block, child, kVarFileInfo, false)) return false;
        if (!q || !pe::version_key_is(block, child, kStringFileInfo, false))
            return true;  // any other child ends the search
        found = search_tables(block, child, *q);
        return found.has_value();
    });
    return found;
}

std::string narrow_text(const std::uint8_t* value, std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length && value[2 * i] != 0; ++i)
        text.push_back(static_cast<char>(value[2 * i]));
    return text;
}

}  // namespace lmx::version
