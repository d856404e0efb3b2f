// The record behind one KALDOR::Install::Untgz object, shared by the
// archive walk (Untgz.cpp, untgz_walk.cpp) and the extraction file writer
// (untgz_writer.cpp), with the helpers both use: the error list, the
// current header's fields and reads from the gzip stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/archive/gz_stream.h"
#include "runtime/archive/pax_header.h"
#include "runtime/archive/tar_header.h"

namespace lmx::untgz {

constexpr size_t kBlock = 512;
constexpr size_t kKeptHeader = 500;  // bytes of the current header block that are kept

// The space accounted on one filesystem during a test run.
struct FsUsageEntry {
    std::uint64_t device = 0;                    // the file status's device number
    std::optional<std::string> filesystem_name;  // what GetFSName named it
    std::uint64_t used = 0;                      // KiB taken now by the files to be replaced
    std::uint64_t needed = 0;                    // KiB that the installed files will take
};

// The decompressed archive as a test run reads it from its start, kept so
// that the walk after Rewind (the extraction that follows a test run) reads
// it from memory instead of decompressing the archive a second time. Only
// a test run that reads the whole stream without an error, its trailer
// checked, and that stays within kLimit bytes is kept.
struct TestRunCopy {
    static constexpr size_t kLimit = 64 << 20;
    enum class Phase { kOff, kRecording, kRecorded, kReplaying };
    Phase phase = Phase::kOff;
    std::string data;
    size_t replayed = 0;  // bytes handed out since the replay began
};

struct FileClose {
    void operator()(FILE* file) const;
};
using OutputFile = std::unique_ptr<FILE, FileClose>;

struct UntgzState {
    GzStream stream;                          // the open archive
    unsigned char header[kKeptHeader]{};      // the current entry's header; all zero when none
    tar::HeaderNumbers numbers;               // its mode, size and time, pax records applied
    std::optional<std::string> pax_path;      // its name from a pax header
    std::optional<std::string> destination;   // set by SetDestDir
    OutputFile output;                        // the file being extracted
    std::uint64_t remaining = 0;              // data bytes of the current entry not yet consumed
    std::optional<std::string> output_path;   // path of the entry being extracted
    std::optional<std::string> long_name;     // name from the last 'L' entry, pending
    std::string pax_data;                     // data of the pax header being read
    tar::PaxRecords pending_pax;              // records for the next entry returned
    std::optional<std::string> archive_name;  // the path given to Open
    std::deque<std::string> errors;           // newest first
    bool test_run = false;
    std::vector<FsUsageEntry> usage;          // in the order the filesystems were met
    std::optional<std::string> probed_directory;  // where the test run last made a file
    std::uint64_t probed_device = 0;              // that file's device number
    bool data_touched = false;                // the stream was read since Open or Rewind
    bool data_read = false;                   // data of the current entry was consumed
    bool ended = false;                       // the end of the archive was read
    TestRunCopy copy;                         // the test run's data, for the extraction
};

// The error list.
void add_error(UntgzState* s, std::string text);
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
// The header's name, its ustar prefix joined to it.
std::string name_field(const UntgzState* s);
// The entry's name: its pax name, else the pending long name, else the
// name field.
std::string raw_entry_name(const UntgzState* s);

// No current entry: the header and what belongs to it cleared.
void clear_entry(UntgzState* s);

// Reads up to `length` bytes of the stream (an error without a stream),
// from the test run's copy while it is replayed.
GzRead read_stream(UntgzState* s, void* buffer, size_t length);

// The stream is at its start (opened or rewound): a test run's reads from
// here on are kept.
void start_copy(UntgzState* s);
// The walk reached the end of the archive and then the end of the stream.
void end_copy(UntgzState* s, GzEnd end);
// At a rewind: true when the kept copy replaces the stream from its start.
bool replay_copy(UntgzState* s);

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
        const GzRead r = read_stream(s, buffer, want);
        const size_t whole = r.got / kBlock * kBlock;
        const size_t data = s->remaining < whole ? static_cast<size_t>(s->remaining) : whole;
        s->remaining -= data;
        span -= whole;
        if (data > 0) s->data_read = true;
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

}  // namespace lmx::untgz
