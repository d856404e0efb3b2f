// Magic texts: the one-line classification of a program or archive file
// by its first bytes ("MS Windows 64-bit AMD64 executable dll", "elf 64-bit
// lsb X86-64 executable", "JAR or ZIP archive", "unknown magic", ...).
// Pure; a header that would lie beyond the bytes given does not match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace lmx::magic {

constexpr std::size_t kReadSize = 4096;    // bytes of a file that GetMagicString looks at
constexpr std::size_t kMaxLength = 1023;  // characters of a magic text at most

constexpr char kMsDos[] = "MS DOS";
constexpr char kJarOrZip[] = "JAR or ZIP archive";
constexpr char kUnknown[] = "unknown magic";

// The text-mode view of bytes read from a file, as the Windows C runtime
// delivers it: each CR LF pair becomes LF and a Ctrl-Z byte ends the data.
// `following` is the byte after the data in the file (-1 at its end), which
// decides a CR in the last place. Translates `data` in place and returns
// its new length.
std::size_t text_mode(std::uint8_t* data, std::size_t length, int following);

// The magic text of a file's first bytes (read in text mode): the Windows,
// MS DOS, ELF, HP, COFF, XCOFF and ZIP detectors in this order.
std::string classify(const std::uint8_t* bytes, std::size_t length);

// The Windows text of a PE signature and file header at `p` ("MS Windows",
// the word size, the machine, the characteristics), or absent without the
// signature, with a machine outside the table, or with fewer than 24 bytes.
std::optional<std::string> windows_text(const std::uint8_t* p, std::size_t length);

// The coarser classification of a version reader: "MS DOS" for "MZ", the
// Windows text of a PE signature at `p`, "JAR or ZIP archive", else
// "unknown magic".
std::string stream_text(const std::uint8_t* p, std::size_t length);

}  // namespace lmx::magic
