#include "runtime/archive/untgz_walk.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/crt.h"
#include "runtime/archive/tar_header.h"

namespace lmx::untgz {
namespace {

constexpr unsigned kStreamBuffer = 256 * 1024;
// A long name larger than this cannot name a file on any host; its entry is
// refused like one whose name cannot be allocated.
constexpr std::uint64_t kLongNameLimit = 1 << 20;
// The largest piece of a scalar reserved ahead of the data that fills it.
constexpr std::uint64_t kScalarReserve = 16 << 20;

// Appends data of an 'L' entry to the pending long name, never past the
// size allocated for it.
void append_long_name(UntgzState* s, const char* data, size_t length) {
    if (s->long_name == nullptr) return;
    const size_t room = s->long_name_size - 1 - s->long_name_filled;
    const size_t n = std::min(room, length);
    std::memcpy(s->long_name + s->long_name_filled, data, n);
    s->long_name_filled += n;
}

// Records a read that ended early; a read error also closes the stream.
bool read_failed(UntgzState* s, DataEnd end) {
    add_read_errors(s, end);
    if (end == DataEnd::kReadError) close_stream(s);
    return false;
}

// Skips the rest of the current entry's data (collecting a long name's).
// False after recording why.
bool skip_entry_data(UntgzState* s) {
    const bool long_name_entry = typeflag(s) == 'L';
    auto collect = [s, long_name_entry](const char* data, size_t n) {
        if (long_name_entry) append_long_name(s, data, n);
        return true;
    };
    const DataEnd end = consume_blocks(s, block_span(s->remaining), collect);
    if (end != DataEnd::kDone) return read_failed(s, end);
    if (!long_name_entry) discard_long_name(s);
    return true;
}

// The end of the archive or of the open stream: no current entry.
void end_walk(UntgzState* s) {
    close_output(s);
    discard_output_path(s);
    clear_header(s);
}

bool start_long_name(UntgzState* s) {
    discard_long_name(s);
    if (s->remaining >= kLongNameLimit) {
        add_error(s, "out of memory");
        return false;
    }
    s->long_name_size = static_cast<size_t>(s->remaining) + 1;
    Newxz(s->long_name, s->long_name_size, char);
    return true;
}

// Reads entry data blocks of `span` bytes and appends their data to
// `target`; false on a short read or read error.
bool gather(pTHX_ UntgzState* s, SV* target, std::uint64_t span) {
    SvGROW(target, static_cast<STRLEN>(std::min(span, kScalarReserve)) + 1);
    const DataEnd end = consume_blocks(s, span, [&](const char* data, size_t n) {
        sv_catpvn_nomg(target, data, n);
        return true;
    });
    return end == DataEnd::kDone;
}

// Sets a caller's buffer to bytes, as a byte string.
void set_bytes(pTHX_ SV* buffer, const char* bytes, STRLEN length) {
    sv_setpvn(buffer, bytes, length);
    SvUTF8_off(buffer);
}

}  // namespace

bool open_archive(UntgzState* s, const char* path, std::int32_t test_run) {
    clear_errors(s);
    if (s->stream != nullptr) {
        add_error(s, std::string("cannot open ") + path + " handle already used");
        return false;
    }
    struct ::stat status;
    if (crt::stat(path, &status) != 0) {
        add_system_error(s, errno);
        add_error(s, std::string("cannot open ") + path);
        return false;
    }
    // The host opens a directory for reading; Windows refuses it, and it is
    // no archive either way.
    int fd = -1;
    if (S_ISDIR(status.st_mode)) errno = EISDIR;
    else fd = crt::open(path, O_RDONLY);
    gzFile stream = fd >= 0 ? gzdopen(fd, "rb") : nullptr;
    if (stream == nullptr) {
        const int err = errno;
        if (fd >= 0) crt::close(fd);
        add_system_error(s, err);
        add_error(s, std::string("cannot open archive ") + path);
        return false;
    }
    gzbuffer(stream, kStreamBuffer);
    s->stream = stream;
    Safefree(s->archive_name);
    s->archive_name = copy_text(path);
    s->test_run = test_run;
    s->data_touched = 0;
    return true;
}

bool next_entry(UntgzState* s) {
    clear_errors(s);
    s->data_touched = 1;
    unsigned char block[kBlock];
    for (;;) {
        if (s->stream == nullptr) {
            end_walk(s);
            s->remaining = 0;
            return false;
        }
        if (s->remaining != 0) {
            if (!skip_entry_data(s)) return false;
            continue;
        }
        // A long name names only the entry right after its own; an entry
        // whose data was read by other means ends it here.
        if (has_entry(s) && typeflag(s) != 'L') discard_long_name(s);
        const StreamRead r = read_stream(s, block, kBlock);
        if (r.error) return read_failed(s, DataEnd::kReadError);
        if (r.got < kBlock) return read_failed(s, DataEnd::kShortRead);
        if (block[0] == '\0') {
            end_walk(s);
            return false;
        }
        if (!tar::has_ustar_magic(block)) {
            add_error(s, "does not look like a tar file");
            add_archive_error(s, "cannot read from archive ");
            close_stream(s);
            return false;
        }
        std::memcpy(s->header, block, kKeptHeader);
        s->remaining = static_cast<std::uint64_t>(header_size(s));
        if (typeflag(s) == 'L' && !start_long_name(s)) return false;
        if (static_cast<signed char>(typeflag(s)) < 'A') return true;
    }
}

int rewind_archive(UntgzState* s) {
    clear_errors(s);
    if (s->stream == nullptr) return -1;
    if (!s->data_touched) return 0;
    if (gzrewind(s->stream) != 0) {
        add_stream_error(s);
        add_archive_error(s, "cannot rewind archive ");
        close_stream(s);
        return -1;
    }
    s->data_touched = 0;
    discard_long_name(s);
    discard_output_path(s);
    close_output(s);
    discard_usage(s);
    s->remaining = 0;
    clear_header(s);
    return 0;
}

bool extract_scalar(pTHX_ UntgzState* s, SV* buffer) {
    s->data_touched = 1;
    clear_errors(s);
    if (s->stream == nullptr) return false;
    if (SvREADONLY(buffer) || s->remaining == 0) return true;
    set_bytes(aTHX_ buffer, "", 0);
    const bool complete = gather(aTHX_ s, buffer, block_span(s->remaining));
    SvSETMAGIC(buffer);
    return complete;
}

IV extract_read(pTHX_ UntgzState* s, SV* buffer, IV size) {
    s->data_touched = 1;
    clear_errors(s);
    if (s->stream == nullptr) return -1;
    if (SvREADONLY(buffer) || s->remaining == 0) return 0;
    SV* gathered = sv_2mortal(newSVpvn("", 0));
    const std::uint64_t span =
        std::min(static_cast<std::uint64_t>(size), block_span(s->remaining));
    if (!gather(aTHX_ s, gathered, span)) return -1;
    set_bytes(aTHX_ buffer, SvPVX(gathered), SvCUR(gathered));
    SvSETMAGIC(buffer);
    return static_cast<IV>(SvCUR(gathered));
}

}  // namespace lmx::untgz
