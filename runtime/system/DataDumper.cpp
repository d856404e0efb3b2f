// KALDOR::Install::DataDumper: nested arrays, hashes and scalar references
// to a flat text of the system's own format and back (the format and the
// reader are in dump_text.*). Both directions walk with explicit stacks, so
// that deep structures cannot exhaust the native stack; a cyclic structure
// or one nested deeper than dump::kMaxDepth is not written at all.
#include <string>
#include <unordered_set>
#include <vector>

#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"
#include "runtime/system/dump_text.h"

namespace {

using lmx::dump::Token;
using lmx::dump::TokenKind;

// --- Writing ---

enum class Container : std::uint8_t { Array, Hash, Ref };

struct OpenContainer {
    Container kind;
    SV* container;  // the array, the hash, or the reference inside a REF
    SSize_t next;   // Array: next index; Ref: 1 once its value is written
    SSize_t last;   // Array: highest index
    bool first;     // Hash: no entry written yet
};

struct DumpWriter {
    std::string text;
    std::vector<OpenContainer> open;
    std::unordered_set<const SV*> on_path;  // the containers in `open`
    bool refused = false;                   // a hash key would not read back
};

bool is_undefined(const SV* sv) {
    return !(SvFLAGS(sv) & (SVf_IOK | SVf_NOK | SVf_POK | SVp_IOK | SVp_NOK | SVp_POK));
}

void write_string(pTHX_ std::string& text, SV* sv) {
    STRLEN length;
    const char* bytes = SvPV(sv, length);
    lmx::dump::append_string(text, bytes, length);
}

void write_leaf(pTHX_ std::string& text, SV* sv) {
    if (is_undefined(sv)) {
        lmx::dump::append_undef(text);
    } else if (SvIOK(sv)) {
        if (SvIsUV(sv))
            lmx::dump::append_unsigned(text, SvUVX(sv));
        else
            lmx::dump::append_integer(text, SvIVX(sv));
    } else {
        write_string(aTHX_ text, sv);
    }
}

// Opens a container; false for a cycle or a nesting too deep.
bool open_container(DumpWriter& w, Container kind, SV* container, const char* head) {
    if (w.open.size() >= lmx::dump::kMaxDepth || !w.on_path.insert(container).second) return false;
    w.text += head;
    w.open.push_back({kind, container, 0, 0, true});
    return true;
}

// Writes a leaf whole, or the head of a container (its elements follow).
bool write_value(pTHX_ DumpWriter& w, SV* sv) {
    SvGETMAGIC(sv);
    if (!SvROK(sv)) {
        write_leaf(aTHX_ w.text, sv);
        return true;
    }
    SV* target = SvRV(sv);
    if (SvROK(target)) return open_container(w, Container::Ref, target, "REF(");
    switch (SvTYPE(target)) {
        case SVt_PVAV:
            if (!open_container(w, Container::Array, target, "ARRAY(")) return false;
            w.open.back().last = av_top_index(reinterpret_cast<AV*>(target));
            return true;
        case SVt_PVHV:
            if (!open_container(w, Container::Hash, target, "HASH(")) return false;
            hv_iterinit(reinterpret_cast<HV*>(target));
            return true;
        case SVt_IV:
        case SVt_NV:
        case SVt_PV:
            // The three simplest scalar kinds; an undefined one writes nothing.
            if (is_undefined(target)) return true;
            w.text += "SCALAR(";
            write_leaf(aTHX_ w.text, target);
            w.text += ')';
            return true;
        case SVt_PVIV:
        case SVt_PVNV:
            // A string that has been used as a number: its string is its
            // value (a number with a cached string, POK private only, stays
            // a richer kind that writes nothing).
            if (!SvPOK(target)) return true;
            w.text += "SCALAR(";
            write_string(aTHX_ w.text, target);
            w.text += ')';
            return true;
        default:  // code, globs, blessed or magical scalars, richer scalar kinds
            return true;
    }
}

// The next value of the innermost open container (writing what comes before
// it), or null when the container is complete or a key is refused.
SV* next_value(pTHX_ DumpWriter& w, OpenContainer& c) {
    switch (c.kind) {
        case Container::Ref:
            return c.next++ == 0 ? c.container : nullptr;
        case Container::Array: {
            auto* array = reinterpret_cast<AV*>(c.container);
            while (c.next <= c.last) {
                const SSize_t index = c.next++;
                if (index > 0) w.text += ";;";
                // A missing element writes nothing, but its separator counts.
                if (!av_exists(array, index)) continue;
                SV** slot = av_fetch(array, index, 0);
                if (slot != nullptr && *slot != nullptr) return *slot;
            }
            return nullptr;
        }
        case Container::Hash: {
            auto* hash = reinterpret_cast<HV*>(c.container);
            HE* entry = hv_iternext(hash);
            if (entry == nullptr) return nullptr;
            STRLEN length;
            const char* key = HePV(entry, length);
            if (!lmx::dump::key_reads_back(key, length)) {
                w.refused = true;
                return nullptr;
            }
            lmx::dump::append_key(w.text, key, length, c.first);
            c.first = false;
            return hv_iterval(hash, entry);
        }
    }
    return nullptr;
}

// Gives up a dump: the hashes still open get their iterators back at the
// start, as a complete walk leaves them.
bool abandon(pTHX_ DumpWriter& w) {
    for (const OpenContainer& c : w.open)
        if (c.kind == Container::Hash) hv_iterinit(reinterpret_cast<HV*>(c.container));
    return false;
}

// The dump text of `root`; false for a cyclic or too deeply nested structure
// and for a hash key that would not read back.
bool write_dump(pTHX_ SV* root, std::string& text) {
    DumpWriter w;
    if (!write_value(aTHX_ w, root)) return abandon(aTHX_ w);
    while (!w.open.empty()) {
        SV* value = next_value(aTHX_ w, w.open.back());
        if (w.refused) return abandon(aTHX_ w);
        if (value == nullptr) {
            w.text += ')';
            w.on_path.erase(w.open.back().container);
            w.open.pop_back();
        } else if (!write_value(aTHX_ w, value)) {
            return abandon(aTHX_ w);
        }
    }
    text.swap(w.text);
    return true;
}

// --- Reading ---

SV* new_string(pTHX_ const char* text, const Token& t) {
    const size_t length = t.end - t.begin;
    SV* sv = newSV(length + 1);
    char* bytes = SvPVX(sv);
    const size_t n = lmx::dump::unescape(text + t.begin, length, bytes);
    bytes[n] = '\0';
    SvCUR_set(sv, n);
    SvPOK_only(sv);
    return sv;
}

struct OpenValue {
    TokenKind kind;
    SV* container;     // the new array or hash
    SV* value;         // BeginRef: the referred value once read
    const Token* key;  // BeginHash: the key of the value being read
};

void attach(pTHX_ const char* text, std::vector<OpenValue>& open, SV*& result, SV* value) {
    if (open.empty()) {
        result = value;
        return;
    }
    OpenValue& o = open.back();
    if (o.kind == TokenKind::BeginArray) {
        av_push(reinterpret_cast<AV*>(o.container), value);
    } else if (o.kind == TokenKind::BeginHash) {
        hv_common(reinterpret_cast<HV*>(o.container), nullptr, text + o.key->begin,
                  o.key->end - o.key->begin, 0, HV_FETCH_ISSTORE, value, 0);
    } else {
        o.value = value;
    }
}

// Builds the values of a token list that lmx::dump::read accepted.
SV* build(pTHX_ const char* text, const std::vector<Token>& tokens) {
    std::vector<OpenValue> open;
    SV* result = nullptr;
    for (const Token& t : tokens) {
        SV* value = nullptr;
        switch (t.kind) {
            case TokenKind::Undef: value = newSV(0); break;
            case TokenKind::String: value = new_string(aTHX_ text, t); break;
            case TokenKind::BeginArray:
                open.push_back({t.kind, reinterpret_cast<SV*>(newAV()), nullptr, nullptr});
                continue;
            case TokenKind::BeginHash:
                open.push_back({t.kind, reinterpret_cast<SV*>(newHV()), nullptr, nullptr});
                continue;
            case TokenKind::BeginRef:
                open.push_back({t.kind, nullptr, nullptr, nullptr});
                continue;
            case TokenKind::Key: open.back().key = &t; continue;
            case TokenKind::End: {
                const OpenValue done = open.back();
                open.pop_back();
                value = newRV_noinc(done.kind == TokenKind::BeginRef ? done.value : done.container);
                break;
            }
        }
        attach(aTHX_ text, open, result, value);
    }
    return result;
}

// --- The functions ---

// A reference to a variable that holds only a string (and may be written).
bool is_string_variable_ref(SV* sv) {
    if (!SvROK(sv)) return false;
    SV* target = SvRV(sv);
    return SvTYPE(target) == SVt_PV && SvPOK(target) && !SvREADONLY(target);
}

// dumpElement(reference, reference to an output string): the length of the
// text, which is stored in the output string when it is not empty.
XS_INTERNAL(xs_dumpElement) {
    dXSARGS;
    if (items != 2 || !SvROK(ST(0)) || !is_string_variable_ref(ST(1))) XSRETURN_UNDEF;
    std::string text;
    if (!write_dump(aTHX_ ST(0), text) || text.empty()) XSRETURN_IV(0);
    SV* out = SvRV(ST(1));
    sv_setpvn(out, text.data(), text.size());
    SvUTF8_off(out);
    XSRETURN_IV(static_cast<IV>(text.size()));
}

// getElement(reference to a dump text): the value the text describes, or
// undef. The text itself is left as it is.
XS_INTERNAL(xs_getElement) {
    dXSARGS;
    if (items != 1 || !SvROK(ST(0))) XSRETURN_UNDEF;
    SV* source = SvRV(ST(0));
    if (SvTYPE(source) >= SVt_PVAV) XSRETURN_UNDEF;
    SvGETMAGIC(source);
    if (!SvOK(source)) XSRETURN_UNDEF;
    STRLEN length;
    const char* text = SvPV_nomg(source, length);
    if (length == 0) XSRETURN_UNDEF;
    std::vector<Token> tokens;
    std::string messages;
    const bool read = lmx::dump::read(text, length, tokens, messages);
    if (!messages.empty()) PerlIO_write(PerlIO_stdout(), messages.data(), messages.size());
    if (!read) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(build(aTHX_ text, tokens));
    XSRETURN(1);
}

// truncateString(string): the length of the prefix that ends with the ")"
// balancing the first "(", or the whole length.
XS_INTERNAL(xs_truncateString) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    SV* sv = ST(0);
    SvGETMAGIC(sv);
    if (!SvPOKp(sv)) XSRETURN_UNDEF;
    STRLEN length;
    const char* text = SvPV_nomg(sv, length);
    XSRETURN_UV(lmx::dump::balanced_prefix_length(text, length));
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::DataDumper::dumpElement", xs_dumpElement},
    {"KALDOR::Install::DataDumper::getElement", xs_getElement},
    {"KALDOR::Install::DataDumper::truncateString", xs_truncateString},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__DataDumper) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "DataDumper", kFunctions);
}
