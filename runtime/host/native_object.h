// Native objects: how a module's C++ record is handed to Perl so that Perl
// itself guards it.
//
// The record hangs as ext magic, with a vtable of its record type, on the
// scalar that holds its address under the object's key (`obj`, `arch`,
// `file`, `sess`, ...). Callers that read the key still see the address as
// an integer, but the record is found only through the magic, and only
// while the scalar still holds that address:
//
// - a forged object (`bless {obj => 1234}`) or a copy of the hash carries
//   no magic (Perl copies values, never ext magic), so it names no record;
// - the record is deleted exactly once: by the module (`free_record`,
//   `take_record`) or, at the latest, when the holding scalar is freed;
// - a thread clone gets no record: the clone's magic is emptied (svt_dup),
//   so the clone's methods find none and its DESTROY frees nothing. A
//   record type that can be copied safely says so with
//   `static constexpr bool kCopiedIntoThreads = true;`; the clone then
//   gets its own copy, which its holder names from the clone's first use on.
//
// A record is an ordinary C++ object that owns its members; freeing it is
// its destructor. A record never keeps another record's address: it keeps
// the other Perl object and looks its record up when it needs it (see the
// tar.gz reader's members), so deleting one record can never leave
// another dangling.
#pragma once

#include <memory>
#include <type_traits>

#include "runtime/host/perl_api.h"

namespace lmx {
namespace detail {

template <class Record>
int free_guarded_record(pTHX_ SV*, MAGIC* magic) {
    auto* record = reinterpret_cast<Record*>(magic->mg_ptr);
    magic->mg_ptr = nullptr;
    delete record;
    return 0;
}

template <class Record, class = void>
struct CopiedIntoThreads : std::false_type {};
template <class Record>
struct CopiedIntoThreads<Record, std::void_t<decltype(Record::kCopiedIntoThreads)>>
    : std::bool_constant<Record::kCopiedIntoThreads> {};

// Marks a guard whose record was copied into a thread clone: its holder
// still names the original until the clone's first lookup.
constexpr U16 kHolderStale = 1;

template <class Record>
int clone_guarded_record(pTHX_ MAGIC* magic, CLONE_PARAMS*) {
    PERL_UNUSED_CONTEXT;
    if constexpr (CopiedIntoThreads<Record>::value) {
        if (magic->mg_ptr != nullptr) {
            magic->mg_ptr = reinterpret_cast<char*>(
                new Record(*reinterpret_cast<const Record*>(magic->mg_ptr)));
            magic->mg_private = kHolderStale;
        }
    } else {
        magic->mg_ptr = nullptr;
    }
    return 0;
}

// One vtable per record type: its address is the record type's identity.
template <class Record>
inline const MGVTBL kRecordVtable = {nullptr, nullptr, nullptr, nullptr, free_guarded_record<Record>,
                                     nullptr, clone_guarded_record<Record>, nullptr};

void attach(pTHX_ SV* holder, const MGVTBL* vtable, void* record);
void* guarded(pTHX_ SV* holder, const MGVTBL* vtable);
void* detach(pTHX_ SV* holder, const MGVTBL* vtable);
SV* holder_of(pTHX_ SV* object, const char* key);
SV* new_holder_object(pTHX_ const char* class_name, const char* key, SV** holder);

}  // namespace detail

// The record that `holder` guards, or null: no scalar, no guard of this
// record type, a record already released, or a holder that no longer holds
// the record's address.
template <class Record>
Record* record_at(pTHX_ SV* holder) {
    return static_cast<Record*>(detail::guarded(aTHX_ holder, &detail::kRecordVtable<Record>));
}

// The record of an object: `object` must be a blessed reference to a hash
// whose `key` holds a guarded record; null otherwise.
template <class Record>
Record* record_of(pTHX_ SV* object, const char* key) {
    return record_at<Record>(aTHX_ detail::holder_of(aTHX_ object, key));
}

// Makes `holder` (a writable scalar) hold `record`: its address as an
// integer and the guard. A record it guarded before is deleted.
template <class Record>
void attach_record(pTHX_ SV* holder, std::unique_ptr<Record> record) {
    delete static_cast<Record*>(detail::detach(aTHX_ holder, &detail::kRecordVtable<Record>));
    detail::attach(aTHX_ holder, &detail::kRecordVtable<Record>, record.release());
}

// A new object: a mortal reference to a hash blessed into `class_name`
// (created if needed) whose `key` holds `record`.
template <class Record>
SV* new_object(pTHX_ const char* class_name, const char* key, std::unique_ptr<Record> record) {
    SV* holder;
    SV* object = detail::new_holder_object(aTHX_ class_name, key, &holder);
    attach_record(aTHX_ holder, std::move(record));
    return object;
}

// Takes the record out of `holder`, which then holds 0 and guards nothing;
// null when it guarded none.
template <class Record>
std::unique_ptr<Record> take_record(pTHX_ SV* holder) {
    return std::unique_ptr<Record>(
        static_cast<Record*>(detail::detach(aTHX_ holder, &detail::kRecordVtable<Record>)));
}

// Deletes the record of an object now and stores 0 under its key, so that
// later calls (DESTROY included) find none. False when there was none.
template <class Record>
bool free_record(pTHX_ SV* object, const char* key) {
    return take_record<Record>(aTHX_ detail::holder_of(aTHX_ object, key)) != nullptr;
}

}  // namespace lmx
