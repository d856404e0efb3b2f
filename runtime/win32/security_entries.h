// The access entries of the security module as Perl sees them (hashes with
// mask, mode, inheritance, sid and trustee) and as the layer takes them
// (EXPLICIT_ACCESS_A), both ways.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/security_acl.h"
#include "runtime/host/perl_api.h"

namespace lmx {

// Explicit-access entries with the SIDs and names their trustees point to.
struct EntryList {
    std::vector<EXPLICIT_ACCESS_A> entries;
    std::vector<SID> sids;
    std::vector<std::string> names;
};

// The entries of the array's hash elements (other elements are skipped):
// `mask`, `mode` and `inheritance` when they hold integers (else 0), the
// trustee by `sid` when it holds a string, else by `trustee`. False with
// `error` set for a sid that is not a valid SID string ("cannot set ACE:
// invalid sid string") or a number beyond 32 bits ("cannot set ACE: KEY
// out of range"). An entry with neither has no trustee name, which the
// layer refuses.
bool read_entries(pTHX_ AV* array, EntryList& list, std::optional<std::string>& error);

// One entry as a new hash: mask, mode, inheritance, sid (string form) or
// trustee (a name trustee's name, or DOMAIN\name of a SID that resolves).
SV* entry_hash(pTHX_ const EXPLICIT_ACCESS_A& entry);

// DOMAIN\name of a SID on this machine; false when it names no account.
bool account_of_sid(PSID sid, std::string& name);

}  // namespace lmx
