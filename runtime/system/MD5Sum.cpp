// KALDOR::Install::MD5Sum: MD5 digests of files and strings as 32 lowercase
// hexadecimal characters.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/handles.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"
#include "runtime/system/md5.h"

namespace {

// Files are read in large blocks straight into the digest: the read size
// does not change the result, and the digest loop is the whole cost.
constexpr DWORD kReadBlock = 1 << 20;

SV* hex_digest(pTHX_ lmx::md5::Context& context) {
    unsigned char digest[lmx::md5::kDigestSize];
    char hex[lmx::md5::kHexSize];
    lmx::md5::finish(context, digest);
    lmx::md5::to_hex(digest, hex);
    return sv_2mortal(newSVpvn(hex, sizeof hex));
}

// The digest of the file's content, or null when it cannot be opened. A
// read error ends the data as the end of the file would.
SV* file_digest(pTHX_ const char* name) {
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    unsigned char* block;
    Newx(block, kReadBlock, unsigned char);
    lmx::md5::Context context;
    lmx::md5::init(context);
    DWORD got;
    while (ReadFile(file, block, kReadBlock, &got, nullptr) && got > 0)
        lmx::md5::update(context, block, got);
    Safefree(block);
    CloseHandle(file);
    return hex_digest(aTHX_ context);
}

// MD5Sum(name): every "/" in the name is taken as "\" (the layer opens the
// same file for either); the caller's argument is not changed. A name with
// a zero byte in it names no file.
XS_INTERNAL(xs_MD5Sum) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    SvGETMAGIC(ST(0));
    if (!SvOK(ST(0))) XSRETURN_UNDEF;
    STRLEN length;
    const char* name = SvPV_nomg(ST(0), length);
    if (length == 0 || std::memchr(name, '\0', length) != nullptr) XSRETURN_UNDEF;
    std::string path(name, length);
    std::replace(path.begin(), path.end(), '/', '\\');
    SV* digest = file_digest(aTHX_ path.c_str());
    if (digest == nullptr) XSRETURN_UNDEF;
    ST(0) = digest;
    XSRETURN(1);
}

// The bytes of a string value: the string's own bytes, or for a character
// string that also fits in bytes, its byte form (so that a string hashes the
// same whether or not the interpreter happens to hold it in UTF-8).
const char* string_bytes(pTHX_ SV* value, STRLEN* length) {
    SvGETMAGIC(value);
    if (!SvOK(value)) {
        *length = 0;
        return "";
    }
    const char* bytes = SvPV_nomg(value, *length);
    if (!SvUTF8(value)) return bytes;
    SV* copy = sv_2mortal(newSVpvn_flags(bytes, *length, SVf_UTF8));
    return sv_utf8_downgrade(copy, TRUE) ? SvPV(copy, *length) : bytes;
}

// MD5Str(string) hashes the string up to its first zero byte;
// MD5Str(string, length) its first `length` bytes (none for a length of
// zero or less, at most the whole string).
XS_INTERNAL(xs_MD5Str) {
    dXSARGS;
    if (items < 1 || items > 2) XSRETURN_UNDEF;
    STRLEN available;
    const char* bytes = string_bytes(aTHX_ ST(0), &available);
    size_t length = strnlen(bytes, available);
    if (items == 2) {
        const IV wanted = SvIV(ST(1));
        length = wanted <= 0 ? 0 : std::min<size_t>(static_cast<size_t>(wanted), available);
    }
    lmx::md5::Context context;
    lmx::md5::init(context);
    lmx::md5::update(context, bytes, length);
    ST(0) = hex_digest(aTHX_ context);
    XSRETURN(1);
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::MD5Sum::MD5Sum", xs_MD5Sum},
    {"KALDOR::Install::MD5Sum::MD5Str", xs_MD5Str},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__MD5Sum) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "MD5Sum", kFunctions);
}
