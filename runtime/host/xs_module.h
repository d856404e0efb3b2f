// The registration convention that every native module follows: boot with
// the API check, registered functions, the embedded Perl half, UNITCHECK
// blocks, true result. Native objects are in native_object.h, arguments in
// arguments.h. A module's boot function is typically just
//
//     XS_EXTERNAL(boot_Some__Module) {
//         PERL_UNUSED_VAR(cv);
//         lmx::boot_module(aTHX_ "SomeUnit", kFunctions, &lmx::kSomeText);
//     }
#pragma once

#include <cstddef>

#include "runtime/host/embedded_text.h"
#include "runtime/host/perl_api.h"

namespace lmx {

struct NativeFunction {
    const char* name;  // fully qualified Perl name, for example "LMX::Common::Archive::Tar::new"
    XSUBADDR_t function;
};

// The first half of a boot: pops the boot call's mark and checks the
// interpreter's API version (dying with the interpreter's own message on a
// mismatch). Returns the stack index that boot_end needs.
I32 boot_begin(pTHX_ const char* unit);

// Registers each function under its fully qualified name, with the module's
// source-unit name as its file.
void register_functions(pTHX_ const char* unit, const NativeFunction* functions, size_t count);

// The second half of a boot: runs pending UNITCHECK blocks and returns true.
void boot_end(pTHX_ I32 ax);

// A whole boot: begin, register, evaluate the module's Perl half (when it
// has one) with errors fatal, end.
void boot_module(pTHX_ const char* unit, const NativeFunction* functions, size_t count,
                 const EmbeddedText* text);

template <size_t N>
void boot_module(pTHX_ const char* unit, const NativeFunction (&functions)[N],
                 const EmbeddedText* text = nullptr) {
    boot_module(aTHX_ unit, functions, N, text);
}

// Evaluates an embedded text under its diagnostic file name and first line;
// dies with the text's error.
void eval_embedded(pTHX_ const EmbeddedText& text);

}  // namespace lmx
