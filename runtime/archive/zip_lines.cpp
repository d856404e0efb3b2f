#include "runtime/archive/zip_lines.h"

#include <algorithm>
#include <cstring>

namespace lmx::zip {
namespace {

constexpr std::uint64_t kFirstSize = 3;
constexpr std::uint64_t kGrowth = 3;
constexpr std::size_t kReadAhead = 64 * 1024;

}  // namespace

void LineReader::reset() {
    free_buffer();
    end_of_lines_ = false;
    ahead_.clear();
    ahead_used_ = 0;
    source_ended_ = false;
}

void LineReader::free_buffer() {
    has_buffer_ = false;
    size_ = 0;
    text_.clear();
}

std::size_t LineReader::take_read_ahead(char* buffer, std::size_t length) {
    const std::size_t n = std::min(length, ahead_.size() - ahead_used_);
    std::memcpy(buffer, ahead_.data() + ahead_used_, n);
    ahead_used_ += n;
    return n;
}

bool LineReader::fill(const Source& source) {
    if (ahead_used_ > 0) {
        ahead_.erase(0, ahead_used_);
        ahead_used_ = 0;
    }
    const std::size_t old_size = ahead_.size();
    ahead_.resize(old_size + kReadAhead);
    const std::int64_t n = source(&ahead_[old_size], kReadAhead);
    ahead_.resize(old_size + static_cast<std::size_t>(std::max<std::int64_t>(n, 0)));
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) < kReadAhead) source_ended_ = true;
    return true;
}

bool LineReader::take(const Source& source, std::size_t length, std::string& bytes) {
    while (ahead_.size() - ahead_used_ < length && !source_ended_)
        if (!fill(source)) return false;
    const std::size_t n = std::min(length, ahead_.size() - ahead_used_);
    bytes.assign(ahead_, ahead_used_, n);
    ahead_used_ += n;
    return true;
}

LineReader::Result LineReader::cut_line(std::string& line) {
    const std::size_t feed = text_.find('\n');
    if (feed == std::string::npos) {
        // The data has ended: what is left is the last line.
        line.swap(text_);
        text_.clear();
        end_of_lines_ = true;
        return Result::kLine;
    }
    const std::size_t end = feed > 0 && text_[feed - 1] == '\r' ? feed - 1 : feed;
    line.assign(text_, 0, end);
    text_.erase(0, feed + 1);
    return Result::kLine;
}

LineReader::Result LineReader::next(const Source& source, std::string& line) {
    if (end_of_lines_) {
        free_buffer();
        return Result::kNoMore;
    }
    if (text_.find('\n') != std::string::npos) return cut_line(line);
    if (!has_buffer_) {
        has_buffer_ = true;
        size_ = kFirstSize;
        text_.clear();
    }
    std::string bytes;
    for (;;) {
        const std::size_t wanted = static_cast<std::size_t>(size_ - text_.size());
        if (!take(source, wanted, bytes)) {
            free_buffer();
            return Result::kError;
        }
        // The text ends at the read's first NUL byte.
        const std::size_t kept = std::min(bytes.size(), std::strlen(bytes.c_str()));
        const std::size_t old_length = text_.size();
        text_.append(bytes, 0, kept);
        if (bytes.size() < wanted) break;
        if (text_.find('\n', old_length) != std::string::npos) break;
        if (size_ + kGrowth > max_size_) return Result::kTooLong;
        size_ += kGrowth;
    }
    return cut_line(line);
}

}  // namespace lmx::zip
