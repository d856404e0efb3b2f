// The two conventions that every native module follows, as helpers:
// registration (boot with API check, registered functions, embedded Perl
// text, UNITCHECK blocks, true result) and native objects (a blessed hash
// whose key holds the address of the module's record).
//
// A module's boot function is typically just
//
//     XS_EXTERNAL(boot_Some__Module) {
//         lmx::boot_module(aTHX_ "SomeUnit", kFunctions, &kSomeText);
//     }
//
// and each method starts with
//
//     dXSARGS;
//     Record* r = items == 2 ? lmx::record_of<Record>(aTHX_ ST(0), "obj") : nullptr;
//     if (r == nullptr) XSRETURN_UNDEF;
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

// A zero-filled record from the interpreter's allocator, and its release.
template <class T>
T* new_record() {
    T* record;
    Newxz(record, 1, T);
    return record;
}

template <class T>
void free_record(T* record) {
    Safefree(record);
}

// The record stored under `key` of a blessed hash reference, or nullptr when
// `object` is no blessed hash reference, the key is missing or holds 0.
void* object_record(pTHX_ SV* object, const char* key);

template <class T>
T* record_of(pTHX_ SV* object, const char* key) {
    return static_cast<T*>(object_record(aTHX_ object, key));
}

// Stores 0 under `key`, so that later calls (DESTROY included) find no record.
void forget_record(pTHX_ SV* object, const char* key);

// A new object: a mortal reference to a hash blessed into `class_name`
// (created if needed) with the record's address under `key`.
SV* new_object(pTHX_ const char* class_name, const char* key, void* record);

// Writes a value into the caller's variable (an argument aliased by Perl)
// unless it is read-only. Returns false, writing nothing, for a read-only one.
bool set_output(pTHX_ SV* target, const char* bytes, STRLEN length);
bool set_output(pTHX_ SV* target, IV value);

}  // namespace lmx
