// Reading a native function's arguments, the hash fetches and stores of
// objects, output arguments, and calls into other modules: one way for
// every module.
//
// Every reader runs the value's get-magic exactly once and then looks only
// at what the value holds now, so a tied or magical argument behaves like
// a plain one.
#pragma once

#include <optional>
#include <string>

#include "runtime/host/perl_api.h"

namespace lmx {

// --- Arguments ---

// True when the value is defined.
bool is_defined(pTHX_ SV* value);

// The bytes of any defined value (its string form); absent for undef.
std::optional<std::string> text_arg(pTHX_ SV* value);

// The bytes only when the value currently holds a string; an undefined or
// only numeric value counts as absent.
std::optional<std::string> string_arg(pTHX_ SV* value);

// The integer only when the value currently holds an integer.
std::optional<IV> integer_arg(pTHX_ SV* value);

// The numeric value of any value (undef and non-numbers are 0), as Perl
// converts it.
IV iv_arg(pTHX_ SV* value);

// An argument that names a class: its string form when that is not empty,
// else `fallback`.
std::string class_arg(pTHX_ SV* value, const char* fallback);

// --- Hashes ---

// The hash behind a reference to one, or null.
HV* hash_of(SV* reference);

// The value under `key`, or null when the key is missing.
SV* hash_fetch(pTHX_ HV* hash, const char* key);

// Stores `value` under `key`; the hash takes the reference count.
void hash_store(pTHX_ HV* hash, const char* key, SV* value);
void hash_store(pTHX_ HV* hash, const char* key, const std::string& text);
void hash_store(pTHX_ HV* hash, const char* key, IV number);

// --- Output arguments ---

// Writes a value into the caller's variable (an argument aliased by Perl)
// unless it is read-only. Returns false, writing nothing, for a read-only
// one.
bool set_output(pTHX_ SV* target, const char* bytes, STRLEN length);
bool set_output(pTHX_ SV* target, const std::string& bytes);
bool set_output(pTHX_ SV* target, IV value);

// --- Calls into other modules ---

// The sub of another module by its full name ("Package::name"). When the
// sub is missing but the package's bootstrap is registered, the package is
// booted first (a die of its boot is swallowed). Null when the sub still
// does not exist.
CV* module_sub(pTHX_ const char* full_name);

}  // namespace lmx
