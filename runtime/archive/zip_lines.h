// The lines of an entry's data, cut exactly as the Jar module has always
// cut them, in time linear in the data.
//
// The module's line buffer works on C strings: it starts at 3 characters,
// each read fills its free space (its size less the length of the text it
// holds), a NUL byte ends the text of the read that brought it (what
// follows in that read is overwritten by the next one), and while the text
// has no line feed the buffer grows by 3 characters for the next read. The
// size the buffer reached stays for the following lines, so it decides how
// much each later read asks for and thereby which bytes a NUL hides.
//
// LineReader keeps that size as a number and reproduces every one of those
// reads, but takes their bytes from a read-ahead block, finds line feeds
// only in the bytes just added, and stores the text in a string that grows
// geometrically, so a long line costs linear time instead of quadratic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace lmx::zip {

class LineReader {
   public:
    // Reads up to `length` bytes of the entry: the count (fewer only at the
    // end of the data), or -1 on an error.
    using Source = std::function<std::int64_t(char* buffer, std::size_t length)>;

    enum class Result { kLine, kNoMore, kError, kTooLong };

    // `max_size` bounds the buffer: a line that needs more is kTooLong.
    explicit LineReader(std::uint64_t max_size) : max_size_(max_size) {}

    // The next line, without its line feed and a carriage return right
    // before it. After the entry's last line (the text after its last line
    // feed, possibly empty) every call gives kNoMore until reset. A read
    // error frees the buffer and gives kError.
    Result next(const Source& source, std::string& line);

    // Forgets the buffer, the read-ahead and the end of the lines: the
    // next line starts with a new entry.
    void reset();

    // Bytes that were read ahead from the entry but not yet taken by a read
    // of the line buffer; a direct read of the entry takes these first.
    std::size_t take_read_ahead(char* buffer, std::size_t length);

   private:
    // One read of the line buffer: up to `length` bytes, fewer only at the
    // end of the data; false on an error.
    bool take(const Source& source, std::size_t length, std::string& bytes);
    bool fill(const Source& source);
    void free_buffer();
    Result cut_line(std::string& line);

    const std::uint64_t max_size_;
    bool end_of_lines_ = false;
    bool has_buffer_ = false;
    std::uint64_t size_ = 0;  // the buffer's size in characters, without its terminator
    std::string text_;        // the text the buffer holds: no NUL
    std::string ahead_;       // bytes read ahead from the entry ...
    std::size_t ahead_used_ = 0;  // ... of which this many are taken
    bool source_ended_ = false;   // the entry's data has ended
};

}  // namespace lmx::zip
