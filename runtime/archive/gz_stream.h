// A zlib gzip read stream owned like any other member of a record (closed
// when its owner goes or when it is reset), and the reads that the archive
// readers share.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <memory>

namespace lmx {

struct GzClose {
    void operator()(gzFile stream) const { gzclose(stream); }
};

using GzStream = std::unique_ptr<gzFile_s, GzClose>;

// Opens the file at `path` as a gzip read stream with a buffer of
// `buffer_size` bytes (a file without a gzip header is passed through
// unchanged). Null with errno set when it cannot be opened. The open never
// waits: a FIFO put in place of the file fails its first read instead.
GzStream open_gzip_file(const char* path, unsigned buffer_size);

// Reads up to `length` bytes: fewer only at the end of the stream or on a
// read error (`error` set).
struct GzRead {
    size_t got;
    bool error;
};
GzRead gz_read(gzFile stream, void* buffer, size_t length);

// The stream's error text and code (gzerror), without the "<fd:N>: " that
// zlib puts in front for a stream opened on a descriptor.
const char* gz_error_text(gzFile stream, int& code);

// True when the gzip stream ended before its end (a cut-off file, its
// trailer missing): zlib then ends the data without a read error.
bool gz_cut_short(gzFile stream);

// How a gzip stream ended after the end of a tar archive.
enum class GzEnd { kComplete, kCutShort, kReadError };

// Reads whatever follows the archive's end blocks up to the end of the
// stream, so that zlib checks the gzip trailer (length and CRC): a read
// error is a mismatch, whose text gzerror gives.
GzEnd gz_read_to_end(gzFile stream);

}  // namespace lmx
