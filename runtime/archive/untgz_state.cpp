#include "runtime/archive/untgz_state.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/crt.h"
#include "runtime/archive/tar_header.h"
#include "runtime/host/perl_api.h"

namespace lmx::untgz {

UntgzState::~UntgzState() {
    close_stream(this);
    close_output(this);
    Safefree(destination);
    discard_output_path(this);
    discard_long_name(this);
    Safefree(archive_name);
    clear_errors(this);
    discard_usage(this);
}

char* copy_text(const std::string& text) {
    char* copy;
    Newx(copy, text.size() + 1, char);
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void clear_errors(UntgzState* s) {
    while (ErrorText* e = s->errors) {
        s->errors = e->next;
        Safefree(e->text);
        Safefree(e);
    }
}

void add_error(UntgzState* s, const std::string& text) {
    ErrorText* e;
    Newx(e, 1, ErrorText);
    e->text = copy_text(text);
    e->next = s->errors;
    s->errors = e;
}

void add_system_error(UntgzState* s, int err) { add_error(s, crt::strerror(err)); }

void add_archive_error(UntgzState* s, const char* text) {
    add_error(s, std::string(text) + (s->archive_name ? s->archive_name : ""));
}

void add_read_errors(UntgzState* s, DataEnd end) {
    if (end == DataEnd::kShortRead) {
        add_archive_error(s, "unexpected end of archive ");
        return;
    }
    add_stream_error(s);
    add_archive_error(s, "cannot read form archive ");
}

void add_stream_error(UntgzState* s) {
    const int saved = errno;
    int code = Z_OK;
    const char* text = s->stream ? gzerror(s->stream, &code) : "no archive is open";
    if (code == Z_ERRNO) add_system_error(s, saved);
    else add_error(s, text);
}

char typeflag(const UntgzState* s) { return static_cast<char>(s->header[tar::kTypeOffset]); }

bool has_entry(const UntgzState* s) { return s->header[0] != '\0'; }

bool is_regular_file(const UntgzState* s) { return tar::is_regular_file(s->header); }

bool is_directory(const UntgzState* s) { return typeflag(s) == '5'; }

std::int64_t header_mode(const UntgzState* s) {
    return tar::octal_field(s->header, tar::kModeOffset, tar::kModeLength);
}

std::int64_t header_size(const UntgzState* s) { return tar::member_size(s->header); }

std::int64_t header_mtime(const UntgzState* s) {
    return tar::octal_field(s->header, tar::kMtimeOffset, tar::kMtimeLength);
}

std::string name_field(const UntgzState* s) { return tar::member_name(s->header); }

std::string raw_entry_name(const UntgzState* s) {
    if (s->long_name != nullptr) return std::string(s->long_name);
    return name_field(s);
}

StreamRead read_stream(UntgzState* s, void* buffer, size_t length) {
    StreamRead result{0, false};
    if (s->stream == nullptr) {
        result.error = true;
        return result;
    }
    while (result.got < length) {
        const auto chunk = static_cast<unsigned>(std::min<size_t>(length - result.got, INT_MAX));
        const int n = gzread(s->stream, static_cast<char*>(buffer) + result.got, chunk);
        if (n < 0) {
            result.error = true;
            break;
        }
        if (n == 0) break;
        result.got += static_cast<size_t>(n);
    }
    return result;
}

void close_stream(UntgzState* s) {
    if (s->stream != nullptr) gzclose(s->stream);
    s->stream = nullptr;
}

void close_output(UntgzState* s) {
    if (s->output != nullptr) crt::fclose(s->output);
    s->output = nullptr;
}

void discard_long_name(UntgzState* s) {
    Safefree(s->long_name);
    s->long_name = nullptr;
    s->long_name_size = s->long_name_filled = 0;
}

void discard_output_path(UntgzState* s) {
    Safefree(s->output_path);
    s->output_path = nullptr;
}

void discard_usage(UntgzState* s) {
    while (FsUsageEntry* u = s->usage) {
        s->usage = u->next;
        Safefree(u->filesystem_name);
        Safefree(u);
    }
}

void clear_header(UntgzState* s) { std::memset(s->header, 0, sizeof s->header); }

}  // namespace lmx::untgz
