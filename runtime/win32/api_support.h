// What both halves of KALDOR::Install::System::Win32::API share: argument
// reading, result lists, error texts, UTF-16 names, netapi32 buffers, the
// domain-controller search, and each half's table of functions.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/accounts_net.h"
#include "platform/types.h"
#include "runtime/host/perl_api.h"
#include "runtime/host/xs_module.h"

namespace lmx::win32api {

// The call's arguments by the module's rule: a string counts only when the
// value holds a string, an integer only when it holds an integer, and an
// argument that is absent or of another kind is the same as an empty one.
// A string holding a NUL byte would name something else once handed to the
// platform as a C string: it makes the whole call invalid (`invalid()`).
class Arguments {
   public:
    Arguments(pTHX_ SV** first, I32 count);
    I32 count() const { return count_; }
    bool in_range(I32 low, I32 high) const { return count_ >= low && count_ <= high; }
    std::optional<std::string> string(I32 index);
    std::optional<IV> integer(I32 index);
    // The string, or "" when it is absent.
    std::string text(I32 index) { return string(index).value_or(""); }
    bool invalid() const { return invalid_; }
    SV* value(I32 index) const { return index < count_ ? first_[index] : nullptr; }

   private:
    PerlInterpreter* perl_;
    SV** first_;
    I32 count_;
    bool invalid_ = false;
};

#define LMX_ARGUMENTS(name) lmx::win32api::Arguments name(aTHX_ & ST(0), items)

// Replaces the call's arguments on the stack with the values (made mortal)
// and gives their count, for XSRETURN.
I32 put_results(pTHX_ I32 ax, const std::vector<SV*>& values);

SV* new_text(pTHX_ const std::string& text);

// The system message of a code (the thread's last error for 0), every CR LF
// replaced by one blank; empty for a code without a message.
std::string error_text(DWORD code);

// A UTF-16 form of a name for the wide calls; null for an empty one, which
// the calls take as "none" (the local machine, no password, ...).
class Wide {
   public:
    explicit Wide(const std::string& text);
    LPWSTR get() { return text_.empty() ? nullptr : text_.data(); }
    LPWSTR always() { return text_.data(); }  // "" for an empty text

   private:
    std::u16string text_;
};

// The multibyte form of a wide result string ("" for null).
std::string narrow_text(LPCWSTR text);

// Owns a result block of a netapi32 call.
struct NetBufferFree {
    void operator()(void* block) const { NetApiBufferFree(block); }
};
using NetBufferOwner = std::unique_ptr<BYTE, NetBufferFree>;

// The flag word of the directory-service lookup: the decimal value of
// LMX_INSTALLER_PDC_FLAGS when that is set and not empty (as atoi reads
// it), else the directory-service-preferred flag (32).
ULONG controller_flags(const char* variable);

// The lookup code of a controller name as the lookups give it: 0 for
// "\\name", -5 when nothing follows the first two characters, -4 when the
// second is not a backslash, -3 when the first is not.
int controller_name_code(const std::string& name);

// Finds the controller of `domain` as asked of `server`: 0 with its name
// (without the backslashes) in `controller`, else the lookup code (-1 when
// no lookup succeeded, or controller_name_code's).
int find_controller(const std::string& server, const std::string& domain,
                    std::string& controller);

// Each half's functions and constants; the boot registers both.
struct Functions {
    const NativeFunction* functions;
    size_t count;
};
Functions account_functions();
Functions shell_functions();

// The constants of the account half, registered as constant subs.
void register_account_constants(pTHX);

}  // namespace lmx::win32api
