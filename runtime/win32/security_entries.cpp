#include "runtime/win32/security_entries.h"

#include "platform/errors.h"
#include "runtime/host/arguments.h"

namespace lmx {
namespace {

constexpr DWORD kNameBuffer = 2048;

// A number field of an entry hash: its integer, or 0 when it holds none;
// false for one that a 32-bit field cannot hold (it would be cut to
// another value).
bool number_field(pTHX_ HV* hash, const char* key, DWORD& value,
                  std::optional<std::string>& error) {
    const std::optional<IV> number = integer_arg(aTHX_ hash_fetch(aTHX_ hash, key));
    value = 0;
    if (!number) return true;
    if (*number < 0 || *number > 0xFFFFFFFFll) {
        error = std::string("cannot set ACE: ") + key + " out of range";
        return false;
    }
    value = static_cast<DWORD>(*number);
    return true;
}

}  // namespace

bool read_entries(pTHX_ AV* array, EntryList& list, std::optional<std::string>& error) {
    const SSize_t count = av_len(array) + 1;
    list = EntryList{};
    list.sids.reserve(static_cast<size_t>(count));
    list.names.reserve(static_cast<size_t>(count));
    for (SSize_t i = 0; i < count; ++i) {
        SV** element = av_fetch(array, i, 0);
        if (element == nullptr) continue;
        SvGETMAGIC(*element);
        HV* hash = hash_of(*element);
        if (hash == nullptr) continue;
        EXPLICIT_ACCESS_A entry{};
        DWORD mode;
        if (!number_field(aTHX_ hash, "mask", entry.grfAccessPermissions, error) ||
            !number_field(aTHX_ hash, "mode", mode, error) ||
            !number_field(aTHX_ hash, "inheritance", entry.grfInheritance, error))
            return false;
        entry.grfAccessMode = static_cast<ACCESS_MODE>(mode);
        entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
        entry.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
        const std::optional<std::string> sid = string_arg(aTHX_ hash_fetch(aTHX_ hash, "sid"));
        const std::optional<std::string> trustee =
            string_arg(aTHX_ hash_fetch(aTHX_ hash, "trustee"));
        if (sid) {
            SID parsed;
            if (sid->find('\0') != std::string::npos || !platform::parse_sid_string(*sid, parsed)) {
                error = "cannot set ACE: invalid sid string";
                return false;
            }
            list.sids.push_back(parsed);
            entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
            entry.Trustee.ptstrName = reinterpret_cast<LPSTR>(&list.sids.back());
        } else {
            entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
            // A name with a NUL byte would name another account: no name.
            if (trustee && trustee->find('\0') == std::string::npos) {
                list.names.push_back(*trustee);
                entry.Trustee.ptstrName = list.names.back().data();
            }
        }
        list.entries.push_back(entry);
    }
    return true;
}

bool account_of_sid(PSID sid, std::string& name) {
    char account[kNameBuffer], domain[kNameBuffer];
    DWORD account_size = kNameBuffer, domain_size = kNameBuffer;
    SID_NAME_USE use;
    if (!LookupAccountSidA(nullptr, sid, account, &account_size, domain, &domain_size, &use))
        return false;
    name = std::string(domain) + "\\" + account;
    return true;
}

SV* entry_hash(pTHX_ const EXPLICIT_ACCESS_A& entry) {
    HV* hash = newHV();
    hash_store(aTHX_ hash, "mask", newSVuv(entry.grfAccessPermissions));
    hash_store(aTHX_ hash, "mode", newSVuv(entry.grfAccessMode));
    hash_store(aTHX_ hash, "inheritance", newSVuv(entry.grfInheritance));
    const TRUSTEE_A& t = entry.Trustee;
    PSID sid = nullptr;
    const char* name = nullptr;
    switch (t.TrusteeForm) {
        case TRUSTEE_IS_SID: sid = t.ptstrName; break;
        case TRUSTEE_IS_NAME: name = t.ptstrName; break;
        case TRUSTEE_IS_OBJECTS_AND_SID:
            sid = reinterpret_cast<const OBJECTS_AND_SID*>(t.ptstrName)->pSid;
            break;
        case TRUSTEE_IS_OBJECTS_AND_NAME:
            name = reinterpret_cast<const OBJECTS_AND_NAME_A*>(t.ptstrName)->ptstrName;
            break;
        default: break;
    }
    LPSTR text = nullptr;
    if (sid != nullptr && ConvertSidToStringSidA(sid, &text)) {
        hash_store(aTHX_ hash, "sid", std::string(text));
        LocalFree(text);
    }
    std::string resolved;
    if (name != nullptr) hash_store(aTHX_ hash, "trustee", std::string(name));
    else if (sid != nullptr && account_of_sid(sid, resolved)) hash_store(aTHX_ hash, "trustee", resolved);
    return newRV_noinc(reinterpret_cast<SV*>(hash));
}

}  // namespace lmx
