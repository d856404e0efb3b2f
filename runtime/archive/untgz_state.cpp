#include "runtime/archive/untgz_state.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/crt.h"

namespace lmx::untgz {

void FileClose::operator()(FILE* file) const { crt::fclose(file); }

void add_error(UntgzState* s, std::string text) { s->errors.push_front(std::move(text)); }

void add_system_error(UntgzState* s, int err) { add_error(s, crt::strerror(err)); }

void add_archive_error(UntgzState* s, const char* text) {
    add_error(s, text + s->archive_name.value_or(""));
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
    const char* text = s->stream ? gz_error_text(s->stream.get(), code) : "no archive is open";
    if (code == Z_ERRNO) add_system_error(s, saved);
    else add_error(s, text);
}

char typeflag(const UntgzState* s) { return static_cast<char>(s->header[tar::kTypeOffset]); }

bool has_entry(const UntgzState* s) { return s->header[0] != '\0'; }

bool is_regular_file(const UntgzState* s) { return tar::is_regular_file(s->header); }

bool is_directory(const UntgzState* s) { return typeflag(s) == '5'; }

std::string name_field(const UntgzState* s) { return tar::full_name(s->header); }

std::string raw_entry_name(const UntgzState* s) {
    if (s->pax_path) return *s->pax_path;
    if (s->long_name) return *s->long_name;
    return name_field(s);
}

void clear_entry(UntgzState* s) {
    std::memset(s->header, 0, sizeof s->header);
    s->numbers = tar::HeaderNumbers{};
    s->pax_path.reset();
}

namespace {

void drop_copy(TestRunCopy& copy) {
    copy.phase = TestRunCopy::Phase::kOff;
    std::string().swap(copy.data);
}

}  // namespace

GzRead read_stream(UntgzState* s, void* buffer, size_t length) {
    if (s->stream == nullptr) return GzRead{0, true};
    TestRunCopy& copy = s->copy;
    if (copy.phase == TestRunCopy::Phase::kReplaying) {
        const size_t n = std::min(length, copy.data.size() - copy.replayed);
        std::memcpy(buffer, copy.data.data() + copy.replayed, n);
        copy.replayed += n;
        return GzRead{n, false};
    }
    const GzRead r = gz_read(s->stream.get(), buffer, length);
    if (copy.phase == TestRunCopy::Phase::kRecording) {
        if (r.error || !s->test_run || r.got > TestRunCopy::kLimit - copy.data.size())
            drop_copy(copy);
        else
            copy.data.append(static_cast<const char*>(buffer), r.got);
    }
    return r;
}

void start_copy(UntgzState* s) {
    drop_copy(s->copy);
    s->copy.phase = TestRunCopy::Phase::kRecording;
}

void end_copy(UntgzState* s, GzEnd end) {
    if (s->copy.phase != TestRunCopy::Phase::kRecording) return;
    if (end == GzEnd::kComplete) s->copy.phase = TestRunCopy::Phase::kRecorded;
    else drop_copy(s->copy);
}

bool replay_copy(UntgzState* s) {
    TestRunCopy& copy = s->copy;
    if (copy.phase != TestRunCopy::Phase::kRecorded && copy.phase != TestRunCopy::Phase::kReplaying)
        return false;
    copy.phase = TestRunCopy::Phase::kReplaying;
    copy.replayed = 0;
    return true;
}

}  // namespace lmx::untgz
