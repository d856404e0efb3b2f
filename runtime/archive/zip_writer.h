// Writing the data of new zip entries with one deflate stream for the
// whole archive. The library would set up a stream of its own for every
// entry (some 300 KB allocated and cleared each time, which for many small
// files costs more than compressing them); this one is reset between
// entries and hands the library finished deflate data (its raw mode), so
// the archive is the same as the library would write.
#pragma once

#include <zip.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lmx::zip {

class EntryWriter {
   public:
    EntryWriter() = default;
    ~EntryWriter();
    EntryWriter(const EntryWriter&) = delete;
    EntryWriter& operator=(const EntryWriter&) = delete;

    // Starts an entry (method deflate, no extra fields, no comment) at
    // `level` (-1 the default, 0 stored in deflate blocks), ending one still
    // open. False for a name
    // the format cannot hold (longer than 65,535 bytes or with a NUL byte)
    // or when the library fails.
    bool start(zipFile archive, const std::string& name, const zip_fileinfo& info, int level);

    // Adds data to the started entry; false on an error.
    bool write(zipFile archive, const char* data, std::uint64_t length);

    // Ends the entry: the rest of the deflate data, its size and CRC-32.
    // False on an error or when no entry was started.
    bool finish(zipFile archive);

    bool started() const { return started_; }

   private:
    bool deflate_into(zipFile archive, int flush);

    z_stream stream_{};
    bool initialised_ = false;
    bool started_ = false;
    int level_ = 0;
    std::uint64_t size_ = 0;
    uLong crc_ = 0;
    std::vector<unsigned char> output_ = std::vector<unsigned char>(64 * 1024);
};

}  // namespace lmx::zip
