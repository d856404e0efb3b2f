// The tar header rules, the pax records and the listing and extraction
// rules that depend on nothing but their arguments. The input's first 512
// bytes (zero-padded) are a header block; the rest is a pax header's data.
#include <cstdint>
#include <cstring>
#include <string>

#include "runtime/archive/extract_rules.h"
#include "runtime/archive/pax_header.h"
#include "runtime/archive/tar_header.h"
#include "runtime/archive/untgz_listing.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace lmx;

// The rules applied to one entry name, as the extractor applies them.
void name_rules(const std::string& name) {
    untgz::leaves_destination(name);
    const std::string path = untgz::output_path(std::string("/dest"), name);
    std::string parent;
    if (untgz::parent_directory(path, parent) && parent.size() >= path.size())
        fuzz::broken("a parent directory no shorter than its path");
    untgz::output_path(std::nullopt, name);
    untgz::is_drive(name);
    untgz::is_drive_root(name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    unsigned char block[tar::kBlockSize] = {};
    std::memcpy(block, data, size < sizeof block ? size : sizeof block);

    tar::HeaderNumbers numbers;
    const tar::HeaderFault fault = tar::check_header(block, numbers);
    tar::fault_text(fault);
    tar::checksum_matches(block);
    tar::has_ustar_magic(block);
    tar::is_regular_file(block);
    for (size_t offset : {tar::kModeOffset, tar::kSizeOffset, tar::kMtimeOffset})
        tar::number_field(block, offset, tar::kSizeLength);

    const std::string name = tar::full_name(block);
    if (name.size() > tar::kNameSize + 1 + tar::kPrefixLength)
        fuzz::broken("a header name longer than its fields");
    if (tar::member_name(block).size() > tar::kNameSize) fuzz::broken("a name field overrun");
    name_rules(name);

    if (fault == tar::HeaderFault::kNone) {
        const char type = static_cast<char>(block[tar::kTypeOffset]);
        if (untgz::mode_string(type, numbers.mode).size() != 10)
            fuzz::broken("a mode string not ten characters long");
        untgz::mode_with_type(type, numbers.mode);
        untgz::listing_line(type, numbers.mode, numbers.size, {2024, 1, 2, 3, 4, 5}, name);
        untgz::directory_mode(numbers.mode);
        untgz::implied_directory_mode(static_cast<int>(numbers.mode & 07777));
        untgz::kilobytes(static_cast<std::uint64_t>(numbers.size));
    }

    if (size > sizeof block) {
        const std::string records(reinterpret_cast<const char*>(data) + sizeof block,
                                  size - sizeof block);
        tar::PaxRecords pax;
        tar::parse_pax_records(records, pax);
        if (pax.size && *pax.size < 0) fuzz::broken("a negative pax size");
        if (pax.path) name_rules(*pax.path);
        if (pax.linkpath) name_rules(*pax.linkpath);
    }
    return 0;
}
