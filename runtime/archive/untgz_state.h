// The record behind one KALDOR::Install::Untgz object, shared by the
// archive walk (Untgz.cpp, untgz_walk.cpp) and the extraction file writer
// (untgz_writer.cpp), with the helpers both use: the error list, the
// current header's fields and reads from the gzip stream.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace lmx::untgz {

constexpr size_t kBlock = 512;
constexpr size_t kKeptHeader = 500;  // bytes of the current header block that are kept

// One text of the error list.
struct ErrorText {
    ErrorText* next;
    char* text;
};

// The space accounted on one filesystem during a test run.
struct FsUsageEntry {
    FsUsageEntry* next;
    std::uint64_t device;    // the file status's device number
    char* filesystem_name;   // what GetFSName named it, or null
    std::uint64_t used;      // KiB taken now by the files to be replaced
    std::uint64_t needed;    // KiB that the installed files will take
};

struct UntgzState {
    ~UntgzState();
    gzFile stream;                        // the open archive, or null
    unsigned char header[kKeptHeader];    // the current entry's header; all zero when none
    char* destination;                    // set by SetDestDir, or null
    FILE* output;                         // the file being extracted, or null
    std::uint64_t remaining;              // data bytes of the current entry not yet consumed
    char* output_path;                    // path of the entry being extracted, or null
    char* long_name;                      // name from the last 'L' entry, pending, or null
    size_t long_name_size;                // bytes allocated for it (its entry's size + 1)
    size_t long_name_filled;              // bytes of it delivered so far
    char* archive_name;                   // the path given to Open, or null
    ErrorText* errors;                    // newest first
    std::int32_t test_run;
    FsUsageEntry* usage;                  // in the order the filesystems were met
    std::int32_t data_touched;            // the stream was read since Open or Rewind
};

// A copy of `text` from the interpreter's allocator, released with Safefree.
char* copy_text(const std::string& text);

// The error list.
void clear_errors(UntgzState* s);
void add_error(UntgzState* s, const std::string& text);
// The C runtime's text for the errno value `err`.
void add_system_error(UntgzState* s, int err);
// The stream's error text, or the system's text when the stream reports a
// system error.
void add_stream_error(UntgzState* s);
// `text` followed by the archive's name.
void add_archive_error(UntgzState* s, const char* text);

// Fields of the current header.
char typeflag(const UntgzState* s);
bool has_entry(const UntgzState* s);
bool is_regular_file(const UntgzState* s);
bool is_directory(const UntgzState* s);
std::int64_t header_mode(const UntgzState* s);
std::int64_t header_size(const UntgzState* s);
std::int64_t header_mtime(const UntgzState* s);
// The header's name field up to its first NUL, at most 100 bytes.
std::string name_field(const UntgzState* s);
// The entry's name: the pending long name, else the name field.
std::string raw_entry_name(const UntgzState* s);

// Reads up to `length` bytes of the stream into `buffer`: fewer only at the
// end of the stream or on a read error (`error` set).
struct StreamRead {
    size_t got;
    bool error;
};
StreamRead read_stream(UntgzState* s, void* buffer, size_t length);

// The whole blocks that hold `bytes` bytes of entry data, padding included
// (saturating for sizes that no stream can hold).
inline std::uint64_t block_span(std::uint64_t bytes) {
    constexpr std::uint64_t kLargest = ~std::uint64_t{0} / kBlock * kBlock;
    return bytes > kLargest ? kLargest : bytes + (kBlock - bytes % kBlock) % kBlock;
}

enum class DataEnd { kDone, kShortRead, kReadError, kRefused };

// Consumes `span` bytes (whole blocks) of the current entry's data and
// hands the data bytes among them, padding left out, to `sink` (a callable
// taking a pointer and a length, returning false to stop). Remaining drops
// by every data byte consumed, so the stream stays aligned on the blocks
// whatever ends the call: the sink's refusal (kRefused), a read of fewer
// bytes than the span (kShortRead) or a read error (kReadError), each after
// the whole blocks that did arrive were handed over.
template <class Sink>
DataEnd consume_blocks(UntgzState* s, std::uint64_t span, Sink&& sink) {
    constexpr size_t kChunk = 64 * 1024;
    static_assert(kChunk % kBlock == 0, "chunks hold whole blocks");
    char buffer[kChunk];
    while (span > 0) {
        const size_t want = span < kChunk ? static_cast<size_t>(span) : kChunk;
        const StreamRead r = read_stream(s, buffer, want);
        const size_t whole = r.got / kBlock * kBlock;
        const size_t data = s->remaining < whole ? static_cast<size_t>(s->remaining) : whole;
        s->remaining -= data;
        span -= whole;
        if (data > 0 && !sink(static_cast<const char*>(buffer), data)) return DataEnd::kRefused;
        if (r.error) return DataEnd::kReadError;
        if (r.got < want) return DataEnd::kShortRead;
    }
    return DataEnd::kDone;
}

// Records why a read of the archive ended early: for a read error the
// stream's text (the system's text for a system error), then "cannot read
// form archive " + name; for a short read "unexpected end of archive " +
// name.
void add_read_errors(UntgzState* s, DataEnd end);

// Releases, each leaving its field empty.
void close_stream(UntgzState* s);
void close_output(UntgzState* s);
void discard_long_name(UntgzState* s);
void discard_output_path(UntgzState* s);
void discard_usage(UntgzState* s);
void clear_header(UntgzState* s);

}  // namespace lmx::untgz
