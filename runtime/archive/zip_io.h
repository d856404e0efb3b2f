// Zip archives through minizip, with every file access going through the
// platform layer (its one path translation and its C runtime calls): the
// handles as owned members of a record, and the current entry's
// information.
#pragma once

#include <unzip.h>
#include <zip.h>

#include <cstddef>
#include <memory>
#include <string>

namespace lmx::zip {

struct UnzipClose {
    void operator()(void* handle) const { unzClose(handle); }
};
struct ZipClose {
    void operator()(void* handle) const { zipClose(handle, nullptr); }
};

// An open unzip or zip handle; resetting one closes it (a zip handle then
// writes its central directory).
using UnzipHandle = std::unique_ptr<void, UnzipClose>;
using ZipHandle = std::unique_ptr<void, ZipClose>;

// unzOpen over the layer: null when the file cannot be opened or holds no
// valid central directory.
UnzipHandle open_for_reading(const char* path);

// zipOpen over the layer: `append` 0 (APPEND_STATUS_CREATE) writes a new
// file, 1 (APPEND_STATUS_CREATEAFTER) a zip archive after the file's
// existing content.
ZipHandle open_for_writing(const char* path, int append);

// The longest entry name that the format's 16-bit length field can hold.
constexpr std::size_t kMaxEntryName = 65535;

// The current entry's information and its name, read with a buffer of the
// name's length plus one. False when either read fails. Sizes that the
// directory gives as 0xFFFFFFFF are taken from the entry's zip64 extra
// field, which this build of the library does not read itself.
bool current_entry(unzFile archive, unz_file_info64& info, std::string& name);

// Fills in the sizes that `info` has as 0xFFFFFFFF from a central extra
// field holding a zip64 block (ID 1: the 64-bit uncompressed and compressed
// sizes, in that order, each present only where the 32-bit field is
// 0xFFFFFFFF). Fields the block does not hold stay as they are.
void apply_zip64_sizes(const unsigned char* extra, std::size_t length, unz_file_info64& info);

}  // namespace lmx::zip
