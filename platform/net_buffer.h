// The result blocks of the netapi32 calls and their server check.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/accounts_net.h"
#include "platform/utf16.h"

namespace platform {

// One result block of a netapi32 call, for NetApiBufferFree: the entries of
// type T followed by their strings.
template <class T>
class NetBuffer {
   public:
    T& add() {
        entries_.push_back(T{});
        return entries_.back();
    }
    // Sets a string member of the last entry.
    void text(LPWSTR T::*member, const std::string& value) {
        texts_.push_back({entries_.size() - 1, member, widen(value)});
    }
    NET_API_STATUS finish(LPBYTE* out, LPDWORD entriesread = nullptr,
                          LPDWORD totalentries = nullptr) {
        size_t size = entries_.size() * sizeof(T);
        for (const Text& t : texts_) size += (t.value.size() + 1) * sizeof(WCHAR);
        auto* block = static_cast<BYTE*>(std::calloc(1, size ? size : 1));
        if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
        T* entries = reinterpret_cast<T*>(block);
        if (!entries_.empty()) std::memcpy(entries, entries_.data(), entries_.size() * sizeof(T));
        auto* strings = reinterpret_cast<WCHAR*>(block + entries_.size() * sizeof(T));
        for (const Text& t : texts_) {
            std::memcpy(strings, t.value.c_str(), (t.value.size() + 1) * sizeof(WCHAR));
            entries[t.entry].*t.member = strings;
            strings += t.value.size() + 1;
        }
        *out = block;
        if (entriesread) *entriesread = static_cast<DWORD>(entries_.size());
        if (totalentries) *totalentries = static_cast<DWORD>(entries_.size());
        return NERR_Success;
    }

   private:
    struct Text {
        size_t entry;
        LPWSTR T::*member;
        std::u16string value;
    };
    std::vector<T> entries_;
    std::vector<Text> texts_;
};

// NERR_Success for a server name that names this machine, else
// ERROR_BAD_NETPATH.
inline NET_API_STATUS check_net_server(LPCWSTR server) {
    return is_this_machine(narrow(server)) ? DWORD{NERR_Success} : DWORD{ERROR_BAD_NETPATH};
}

}  // namespace platform
