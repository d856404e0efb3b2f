#include "runtime/system/magic_text.h"

#include <cstring>

#include "platform/pe_image.h"

namespace lmx::magic {
namespace {

struct Name {
    unsigned code;
    const char* name;
};

template <std::size_t N>
const char* lookup(const Name (&table)[N], unsigned code) {
    for (const Name& n : table)
        if (n.code == code) return n.name;
    return nullptr;
}

// Appends a blank and the name of every bit of `bits` set, in table order.
template <std::size_t N>
void append_flags(std::string& text, const Name (&table)[N], unsigned bits) {
    for (const Name& n : table)
        if (bits & n.code) text.append(" ").append(n.name);
}

const Name kWindowsMachines[] = {
    {0x0000, "unknown machine"},          {0x014C, "i386"},
    {0x0160, "MIPS R3000 big-endian"},    {0x0166, "MIPS R4000 little-endian"},
    {0x0168, "MIPS R10000 little-endian"}, {0x0169, "MIPS WCE v2 little-endian"},
    {0x0184, "ALPHA 32-bit"},             {0x01F0, "PowerPC"},
    {0x0200, "IA64"},                     {0x0284, "ALPHA 64-bit"},
    {0x8664, "AMD64"},
};
const Name kWindowsCharacteristics[] = {
    {0x0002, "executable"}, {0x1000, "system file"}, {0x2000, "dll"}};

const Name kElfAbis[] = {
    {0, ""},           {1, "HP-UX"},        {2, "NetBSD"},          {3, "GNU/Linux"},
    {4, "GNU/Hurd"},   {6, "Solaris"},      {7, "AIX"},             {8, "IRIX"},
    {9, "FreeBSD"},    {10, "TRU64 UNIX"},  {11, "Novell Modesto"}, {12, "OpenBSD"},
    {13, "OpenVMS"},   {14, "Hewlett-Packard Non-Stop Kernel"},     {15, "Amiga Research OS"},
    {97, "ARM"},       {255, "Standalone (embedded) application"},
};
const Name kElfClasses[] = {{1, "32-bit"}, {2, "64-bit"}};
const Name kElfEncodings[] = {{0, "invalid data encoding"}, {1, "lsb"}, {2, "msb"}};
const Name kElfTypes[] = {{0, "no type"},       {1, "relocatable object"}, {2, "executable"},
                          {3, "shared object"}, {4, "core"}};
const Name kElfMachines[] = {
    {0, "no machine"},      {1, "AT&T WE32100"},          {2, "SPARC"},
    {3, "i386"},            {4, "Motorola 68000"},        {5, "Motorola 88000"},
    {6, "i486"},            {7, "i860"},                  {8, "MIPS R3000 big endian"},
    {10, "MIPS R3000 little endian"},                     {11, "RS6000"},
    {15, "PA-RISC"},        {16, "nCUBE"},                {17, "Fujitsu VPP500"},
    {18, "SPARC V8plus"},   {20, "PPC"},                  {21, "PPC64"},
    {22, "S390"},           {43, "SPARC V9"},             {50, "IA64"},
    {62, "X86-64"},
};

const Name kHpSystems[] = {
    {0x0208, "HP 9000 Series 500"}, {0x020A, "HP 9000 Series 200"}, {0x020B, "PA-RISC 1.0"},
    {0x020C, "Motorola 68020"},     {0x020D, "Motorola 68030"},     {0x020E, "Motorola 68040"},
    {0x0210, "PA-RISC 1.1"},        {0x0211, "PA-RISC 1.2"},        {0x0214, "PA-RISC 2.0"},
};
const Name kHpMagics[] = {
    {0x0106, "relocatable object"},   {0x0107, "normal executable"},
    {0x0108, "shared executable"},    {0x0109, "shm-magic executable"},
    {0x010B, "demand-load executable"}, {0x010D, "dynamic load library"},
    {0x010E, "shared library"},
};
// The systems whose text names them without "HP-UX 32-bit".
const unsigned kHpOwnNames[] = {0x0208, 0x020A, 0x020C, 0x020D, 0x020E};

const Name kCoffMagics[] = {
    {0x0183, "ALPHA 64-bit"}, {0x0188, "ALPHA 64-bit compressed"}, {0x018F, "ALPHA 64-bit UCODE"}};
const Name kCoffOptionalMagics[] = {
    {0x0107, "OMAGIC"}, {0x0108, "NMAGIC"}, {0x0109, "SMAGIC"}, {0x010B, "ZMAGIC"},
    {0x0123, "LIBMAGIC"}};
const Name kCoffFlags[] = {
    {0x0002, "executable"}, {0x0010, "no shared"}, {0x0020, "no call shared"}};

const Name kXcoffMagics[] = {
    {0x0104, "shared library"},
    {0x0103, "RT2 executable or obj module"},
    {0x01F7, "AIX 5 64-bit executable or object module"},
    {0x01DF, "RS6000 32-bit executable or object module"},
    {0x01EF, "AIX 4 64-bit executable or object module"},
};

bool begins_with(const std::uint8_t* p, std::size_t length, const char* prefix, std::size_t n) {
    return length >= n && std::memcmp(p, prefix, n) == 0;
}
bool is_mz(const std::uint8_t* p, std::size_t length) { return begins_with(p, length, "MZ", 2); }
bool is_zip(const std::uint8_t* p, std::size_t length) {
    return begins_with(p, length, "PK\3\4", 4);
}

// "MZ", a header offset at 0x3C, and the PE signature at that offset or one
// byte before it (text mode takes a CR out of the usual DOS stub).
std::optional<std::string> windows_program(const std::uint8_t* p, std::size_t length) {
    if (!is_mz(p, length) || length < pe::kHeaderOffsetField + 2) return std::nullopt;
    const std::size_t offset = pe::le16(p + pe::kHeaderOffsetField);
    for (const std::size_t at : {offset - 1, offset}) {
        if (at > offset || at > length) continue;  // offset 0 has no byte before it
        if (std::optional<std::string> text = windows_text(p + at, length - at)) return text;
    }
    return std::nullopt;
}

std::optional<std::string> elf_text(const std::uint8_t* p, std::size_t length) {
    if (!begins_with(p, length, "\x7f" "ELF", 4) || length < 20) return std::nullopt;
    const bool big_endian = p[5] == 2;
    const auto half = [&](std::size_t at) {
        return big_endian ? pe::be16(p + at) : pe::le16(p + at);
    };
    const char* abi = lookup(kElfAbis, p[7]);
    const char* word = lookup(kElfClasses, p[4]);
    const char* encoding = lookup(kElfEncodings, p[5]);
    const char* type = lookup(kElfTypes, half(16));
    const char* machine = lookup(kElfMachines, half(18));
    if (!abi || !word || !encoding || !type || !machine) return std::nullopt;
    std::string text = "elf";
    for (const char* part : {abi, word, encoding, machine, type})
        if (*part != '\0') text.append(" ").append(part);
    return text;
}

std::optional<std::string> hp_text(const std::uint8_t* p, std::size_t length) {
    if (length < 4 || p[0] != 0x02 || p[2] != 0x01) return std::nullopt;
    const unsigned system = pe::be16(p);
    const char* system_name = lookup(kHpSystems, system);
    const char* magic_name = lookup(kHpMagics, pe::be16(p + 2));
    if (!system_name || !magic_name) return std::nullopt;
    bool own_name = false;
    for (const unsigned id : kHpOwnNames) own_name = own_name || id == system;
    return std::string(own_name ? "HP " : "HP-UX 32-bit ") + system_name + " " + magic_name;
}

std::optional<std::string> coff_text(const std::uint8_t* p, std::size_t length) {
    if (length < 22) return std::nullopt;
    const char* file_magic = lookup(kCoffMagics, pe::le16(p));
    const char* optional_magic = lookup(kCoffOptionalMagics, pe::le16(p + 20));
    if (!file_magic || !optional_magic) return std::nullopt;
    std::string text = std::string("coff ") + file_magic + " " + optional_magic;
    append_flags(text, kCoffFlags, pe::le16(p + 18));
    return text;
}

std::optional<std::string> xcoff_text(const std::uint8_t* p, std::size_t length) {
    const char* name = length >= 2 ? lookup(kXcoffMagics, pe::be16(p)) : nullptr;
    return name ? std::optional<std::string>(name) : std::nullopt;
}

}  // namespace

std::size_t text_mode(std::uint8_t* data, std::size_t length, int following) {
    // No bytes may come as a null pointer, which memchr must not be given.
    const void* stop = length > 0 ? std::memchr(data, 0x1A, length) : nullptr;
    if (stop != nullptr) {
        length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(stop) - data);
        following = 0x1A;
    }
    std::size_t out = 0;
    for (std::size_t in = 0; in < length; ++in) {
        const int next = in + 1 < length ? data[in + 1] : following;
        if (data[in] == '\r' && next == '\n') {
            data[out++] = '\n';
            ++in;  // a pair at the very end takes the following byte's place
        } else {
            data[out++] = data[in];
        }
    }
    return out;
}

std::optional<std::string> windows_text(const std::uint8_t* p, std::size_t length) {
    const std::optional<pe::FileHeader> header = pe::read_file_header(p, length);
    const char* machine = header ? lookup(kWindowsMachines, header->machine) : nullptr;
    if (machine == nullptr) return std::nullopt;
    std::string text = "MS Windows";
    if (header->machine == pe::kMachineI386) text += " 32-bit";
    if (header->machine == pe::kMachineIA64 || header->machine == pe::kMachineAMD64)
        text += " 64-bit";
    text.append(" ").append(machine);
    append_flags(text, kWindowsCharacteristics, header->characteristics);
    return text;
}

std::string classify(const std::uint8_t* bytes, std::size_t length) {
    if (std::optional<std::string> text = windows_program(bytes, length)) return *text;
    if (is_mz(bytes, length)) return kMsDos;
    for (const auto detector : {elf_text, hp_text, coff_text, xcoff_text})
        if (std::optional<std::string> text = detector(bytes, length)) return *text;
    return is_zip(bytes, length) ? kJarOrZip : kUnknown;
}

std::string stream_text(const std::uint8_t* p, std::size_t length) {
    if (is_mz(p, length)) return kMsDos;
    if (std::optional<std::string> text = windows_text(p, length)) return *text;
    return is_zip(p, length) ? kJarOrZip : kUnknown;
}

}  // namespace lmx::magic
