// A Perl value owned by a native record: one reference count, dropped when
// the record goes. It remembers its interpreter, because a record's
// destructor runs without one at hand.
#pragma once

#include <utility>

#include "runtime/host/perl_api.h"

namespace lmx {

class OwnedSV {
   public:
    OwnedSV() = default;
    OwnedSV(const OwnedSV&) = delete;
    OwnedSV& operator=(const OwnedSV&) = delete;
    ~OwnedSV() { reset(); }

    SV* get() const { return value_; }
    explicit operator bool() const { return value_ != nullptr; }

    // Takes over one reference count of `value` (null to hold nothing).
    void reset(pTHX_ SV* value) {
        reset();
        interpreter_ = aTHX;
        value_ = value;
    }

    void reset() {
        SV* old = std::exchange(value_, nullptr);
        if (old == nullptr) return;
        dTHXa(interpreter_);
        SvREFCNT_dec(old);
    }

   private:
    PerlInterpreter* interpreter_ = nullptr;
    SV* value_ = nullptr;
};

}  // namespace lmx
