// The zip directory reader on an in-memory archive: the walk of the central
// directory with each entry's information (zip64 sizes included), lookups
// by name through the index, and the entries' data read through the
// checked reads, whole or in pieces. The first input byte chooses the
// reads; the rest is the archive.
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/archive/zip_entry.h"
#include "runtime/archive/zip_index.h"
#include "runtime/archive/zip_io.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace lmx::zip;

constexpr std::uint32_t kMaxEntries = 64;

// The names of the directory's entries, in order, as far as they read.
std::vector<std::string> entry_names(unzFile archive, std::uint32_t count) {
    std::vector<std::string> names;
    for (int r = unzGoToFirstFile(archive); r == UNZ_OK && names.size() < count;
         r = unzGoToNextFile(archive)) {
        unz_file_info64 info;
        std::string name;
        if (!current_entry(archive, info, name)) break;
        names.push_back(std::move(name));
    }
    return names;
}

// Reads the current entry: whole into a Perl string, or in small pieces.
void read_entry(pTHX_ unzFile archive, bool whole) {
    OpenEntry entry;
    if (!entry.open(archive)) return;
    if (whole) {
        SV* target = sv_2mortal(newSVpvn("", 0));
        read_rest(aTHX_ entry, archive, target);
        if (SvCUR(target) > kMaxHeldBytes) fuzz::broken("an entry read beyond the held limit");
    } else {
        char buffer[300];
        for (int i = 0; i < 64 && entry.read(archive, buffer, sizeof buffer) > 0; ++i) {
        }
    }
    entry.close(archive);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned choices = data[0];
    const fuzz::MemoryFile file(data + 1, size - 1);
    UnzipHandle archive = open_for_reading(file.path().c_str());
    if (!archive) return 0;
    unz_global_info64 global;
    if (unzGetGlobalInfo64(archive.get(), &global) != UNZ_OK) return 0;
    const std::uint32_t count =
        global.number_entry < kMaxEntries ? static_cast<std::uint32_t>(global.number_entry)
                                          : kMaxEntries;
    PerlInterpreter* my_perl = fuzz::interpreter();
    ENTER;
    SAVETMPS;
    const std::vector<std::string> names = entry_names(archive.get(), count);
    EntryIndex index;
    unsigned turn = 0;
    for (const std::string& name : names) {
        if (index.find(archive.get(), count, name))
            read_entry(aTHX_ archive.get(), (choices >> (turn++ % 8)) & 1);
    }
    index.find(archive.get(), count, "missing/name");
    FREETMPS;
    LEAVE;
    return 0;
}
