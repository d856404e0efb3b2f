#include "runtime/archive/untgz_walk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/crt.h"

namespace lmx::untgz {
namespace {

constexpr unsigned kStreamBuffer = 256 * 1024;
// A long name larger than this cannot name a file on any host; its entry is
// refused like one whose name cannot be allocated.
constexpr std::uint64_t kLongNameLimit = 1 << 20;

// Records a read that ended early; a read error also closes the stream.
bool read_failed(UntgzState* s, DataEnd end) {
    add_read_errors(s, end);
    if (end == DataEnd::kReadError) s->stream.reset();
    return false;
}

// Skips the rest of the current entry's data, collecting a long name's or
// a pax header's. False after recording why.
bool skip_entry_data(UntgzState* s) {
    const char type = typeflag(s);
    std::string* collected = type == 'L' && s->long_name ? &*s->long_name
                             : type == tar::kPaxEntryType ? &s->pax_data
                                                          : nullptr;
    auto collect = [collected](const char* data, size_t n) {
        if (collected != nullptr) collected->append(data, n);
        return true;
    };
    const DataEnd end = consume_blocks(s, block_span(s->remaining), collect);
    if (end != DataEnd::kDone) return read_failed(s, end);
    if (type == 'L') {
        if (s->long_name) s->long_name->resize(std::strlen(s->long_name->c_str()));
        return true;
    }
    if (type == tar::kPaxEntryType) {
        tar::parse_pax_records(s->pax_data, s->pending_pax);
        s->pax_data.clear();
    }
    s->long_name.reset();
    return true;
}

// The end of the archive or of the open stream: no current entry.
void end_walk(UntgzState* s) {
    s->output.reset();
    s->output_path.reset();
    s->pending_pax = tar::PaxRecords{};
    clear_entry(s);
}

// The data of a long-name or pax entry is collected while it is skipped;
// one too large to hold is refused.
bool start_extension(UntgzState* s) {
    const std::uint64_t limit = typeflag(s) == 'L' ? kLongNameLimit : tar::kPaxHeaderLimit;
    if (typeflag(s) == 'L') s->long_name.reset();
    s->pax_data.clear();
    if (s->remaining >= limit) {
        add_error(s, "out of memory");
        return false;
    }
    if (typeflag(s) == 'L') s->long_name.emplace();
    return true;
}

// The header just read becomes the current entry's, with the pax records
// that came before it applied.
void take_header(UntgzState* s, const unsigned char* block, const tar::HeaderNumbers& numbers) {
    std::memcpy(s->header, block, kKeptHeader);
    s->numbers = numbers;
    s->pax_path.reset();
    s->data_read = false;
    const bool extension = static_cast<signed char>(typeflag(s)) >= 'A';
    if (!extension) {
        const tar::PaxRecords pax = std::move(s->pending_pax);
        s->pending_pax = tar::PaxRecords{};
        s->pax_path = pax.path;
        if (pax.size) s->numbers.size = *pax.size;
        if (pax.mtime) s->numbers.mtime = *pax.mtime;
    }
    s->remaining = static_cast<std::uint64_t>(s->numbers.size);
}

// After the end block: the rest of the gzip stream is read so that a cut
// trailer or a CRC mismatch is found and recorded.
void check_stream_end(UntgzState* s) {
    if (s->copy.phase == TestRunCopy::Phase::kReplaying) return;  // checked when it was kept
    const GzEnd end = gz_read_to_end(s->stream.get());
    end_copy(s, end);
    if (end == GzEnd::kCutShort) read_failed(s, DataEnd::kShortRead);
    if (end == GzEnd::kReadError) read_failed(s, DataEnd::kReadError);
}

// Why a header block is refused, the archive named after it.
bool header_refused(UntgzState* s, tar::HeaderFault fault) {
    add_error(s, tar::fault_text(fault));
    add_archive_error(s, "cannot read from archive ");
    s->stream.reset();
    return false;
}

// Sets a caller's buffer to bytes, as a byte string.
void set_bytes(pTHX_ SV* buffer, const char* bytes, STRLEN length) {
    sv_setpvn(buffer, bytes, length);
    SvUTF8_off(buffer);
}

// Reads entry data blocks of `span` bytes and appends their data to
// `target`, which grows by what arrives; false on a short read or read
// error.
bool gather(pTHX_ UntgzState* s, SV* target, std::uint64_t span) {
    const DataEnd end = consume_blocks(s, span, [&](const char* data, size_t n) {
        sv_catpvn_nomg(target, data, n);
        return true;
    });
    return end == DataEnd::kDone;
}

}  // namespace

bool open_archive(UntgzState* s, const std::string& path, bool test_run) {
    s->errors.clear();
    if (s->stream != nullptr) {
        add_error(s, "cannot open " + path + " handle already used");
        return false;
    }
    struct ::stat status;
    if (crt::stat(path.c_str(), &status) != 0) {
        add_system_error(s, errno);
        add_error(s, "cannot open " + path);
        return false;
    }
    // Only a plain file is an archive: a directory cannot be read as one,
    // and a FIFO or device would block or never end.
    GzStream stream;
    if (S_ISDIR(status.st_mode)) errno = EISDIR;
    else if (S_ISREG(status.st_mode)) stream = open_gzip_file(path.c_str(), kStreamBuffer);
    if (stream == nullptr) {
        if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) add_system_error(s, errno);
        else add_error(s, "not a regular file");
        add_error(s, "cannot open archive " + path);
        return false;
    }
    s->stream = std::move(stream);
    s->pending_pax = tar::PaxRecords{};  // records of an archive opened before
    s->pax_data.clear();
    s->archive_name = path;
    s->test_run = test_run;
    s->data_touched = false;
    s->ended = false;
    s->probed_directory.reset();
    start_copy(s);
    return true;
}

bool next_entry(UntgzState* s) {
    s->errors.clear();
    s->data_touched = true;
    unsigned char block[kBlock];
    for (;;) {
        if (s->stream == nullptr || s->ended) {
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
        if (has_entry(s) && typeflag(s) != 'L') s->long_name.reset();
        const GzRead r = read_stream(s, block, kBlock);
        if (r.error) return read_failed(s, DataEnd::kReadError);
        if (r.got < kBlock) return read_failed(s, DataEnd::kShortRead);
        if (block[0] == '\0') {
            end_walk(s);
            s->ended = true;
            check_stream_end(s);
            return false;
        }
        tar::HeaderNumbers numbers;
        const tar::HeaderFault fault = tar::check_header(block, numbers);
        if (fault != tar::HeaderFault::kNone) return header_refused(s, fault);
        take_header(s, block, numbers);
        const char type = typeflag(s);
        if ((type == 'L' || type == tar::kPaxEntryType) && !start_extension(s)) return false;
        if (static_cast<signed char>(type) < 'A') return true;
    }
}

int rewind_archive(UntgzState* s) {
    s->errors.clear();
    if (s->stream == nullptr) return -1;
    if (!s->data_touched) return 0;
    if (!replay_copy(s)) {
        if (gzrewind(s->stream.get()) != 0) {
            add_stream_error(s);
            add_archive_error(s, "cannot rewind archive ");
            s->stream.reset();
            return -1;
        }
        start_copy(s);
    }
    s->data_touched = false;
    s->ended = false;
    s->long_name.reset();
    s->pax_data.clear();
    s->usage.clear();
    s->probed_directory.reset();
    end_walk(s);
    s->remaining = 0;
    return 0;
}

bool extract_scalar(pTHX_ UntgzState* s, SV* buffer) {
    s->data_touched = true;
    s->errors.clear();
    if (s->stream == nullptr) return false;
    if (SvREADONLY(buffer) || s->remaining == 0) return true;
    set_bytes(aTHX_ buffer, "", 0);
    const bool complete = gather(aTHX_ s, buffer, block_span(s->remaining));
    SvSETMAGIC(buffer);
    return complete;
}

IV extract_read(pTHX_ UntgzState* s, SV* buffer, IV size) {
    s->data_touched = true;
    s->errors.clear();
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
