// KALDOR::Install::System::Win32::Registry: the registry calls for the
// installer's Perl code, argument for argument as the Windows calls take
// them, with output arguments written into the caller's variables.
//
// Outputs that are written unconditionally raise Perl's own read-only
// error for a read-only variable; that write is always the last thing a
// function does with C++ objects gone, so the error unwinds nothing of ours.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/environment_strings.h"
#include "platform/registry.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"
#include "runtime/win32/registry_values.h"

namespace {

namespace values = lmx::registry_values;

constexpr std::size_t kExpandBuffer = 32768;

// A handle argument: Perl's integer, sign-extended to a pointer.
HKEY key_arg(pTHX_ SV* value) { return INT2PTR(HKEY, lmx::iv_arg(aTHX_ value)); }

DWORD dword_arg(pTHX_ SV* value) { return static_cast<DWORD>(lmx::iv_arg(aTHX_ value)); }

// A name or path argument: its bytes (undef is ""). A name with a NUL byte
// in it is refused: the call would act on the name cut at the NUL.
std::optional<std::string> name_arg(pTHX_ SV* value) {
    std::string name = lmx::text_arg(aTHX_ value).value_or(std::string());
    if (name.find('\0') != std::string::npos) return std::nullopt;
    return name;
}

// The handle as Perl holds it: its low 32 bits, sign-extended.
SV* handle_sv(pTHX_ HKEY key) {
    const auto low = static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(key));
    return sv_2mortal(newSViv(low));
}

void write_output(pTHX_ SV* target, SV* value) { sv_setsv_mg(target, value); }

void write_unless_readonly(pTHX_ SV* target, SV* value) {
    if (!SvREADONLY(target)) sv_setsv_mg(target, value);
}

// A read value as Perl sees it, with the size to report; null for a type
// the module does not read.
struct Delivered {
    SV* data = nullptr;
    DWORD size = 0;
};

Delivered deliver(pTHX_ DWORD type, std::string_view data) {
    Delivered out;
    if (!values::readable(type)) return out;
    out.size = static_cast<DWORD>(data.size());
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        const std::string_view text = values::string_of(data);
        out.data = sv_2mortal(newSVpvn(text.data(), text.size()));
        out.size = static_cast<DWORD>(text.size());
    } else if (type == REG_DWORD) {
        out.data = sv_2mortal(newSVuv(values::dword_of(data)));
    } else if (type == REG_MULTI_SZ) {
        AV* list = newAV();
        for (const std::string_view s : values::strings_of(data))
            av_push(list, newSVpvn(s.data(), s.size()));
        out.data = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(list)));
    } else {
        out.data = sv_2mortal(newSVpvn(data.data(), data.size()));
    }
    return out;
}

// Reads a value with a size query first, then into a buffer of that size
// plus one.
bool query_value(pTHX_ HKEY key, const std::string& name, DWORD& type, Delivered& out) {
    DWORD size = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    std::string buffer(static_cast<std::size_t>(size) + 1, '\0');
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&buffer[0]),
                         &size) != ERROR_SUCCESS)
        return false;
    out = deliver(aTHX_ type, std::string_view(buffer.data(), size));
    return out.data != nullptr;
}

// The data a write stores, by type; absent when the arguments cannot make
// a value.
std::optional<std::string> data_to_store(pTHX_ DWORD type, SV* data, SV* size) {
    if (type == REG_MULTI_SZ) {
        SvGETMAGIC(data);
        if (!SvROK(data) || SvTYPE(SvRV(data)) != SVt_PVAV) return std::nullopt;
        AV* list = reinterpret_cast<AV*>(SvRV(data));
        std::vector<std::string> strings;
        for (SSize_t i = 0; i <= av_len(list); ++i) {
            SV** element = av_fetch(list, i, 0);
            strings.push_back(element ? lmx::text_arg(aTHX_ *element).value_or(std::string())
                                      : std::string());
        }
        return values::multi_string(strings);
    }
    if (type == REG_DWORD) {
        SvGETMAGIC(data);
        const auto number = static_cast<std::uint32_t>(SvUV_nomg(data));
        return std::string{static_cast<char>(number & 0xFF), static_cast<char>((number >> 8) & 0xFF),
                           static_cast<char>((number >> 16) & 0xFF),
                           static_cast<char>(number >> 24)};
    }
    std::string bytes = lmx::text_arg(aTHX_ data).value_or(std::string());
    const std::optional<std::size_t> count =
        values::byte_count(type, bytes.size(), lmx::iv_arg(aTHX_ size));
    if (!count) return std::nullopt;
    bytes.resize(*count);  // a count one past the data keeps its terminator
    return bytes;
}

XS_INTERNAL(xs_RegOpenKeyEx) {
    dXSARGS;
    if (items != 5) XSRETURN_IV(-1);
    LONG rc = ERROR_INVALID_PARAMETER;
    SV* result = nullptr;
    {
        const HKEY root = key_arg(aTHX_ ST(0));
        const std::optional<std::string> subkey = name_arg(aTHX_ ST(1));
        const DWORD options = dword_arg(aTHX_ ST(2));
        const REGSAM sam = dword_arg(aTHX_ ST(3));
        HKEY key = nullptr;
        if (subkey) rc = RegOpenKeyExA(root, subkey->c_str(), options, sam, &key);
        if (rc == ERROR_SUCCESS) {
            result = handle_sv(aTHX_ key);
            if (SvREADONLY(ST(4))) RegCloseKey(key);  // the write below dies
        }
    }
    if (result) write_output(aTHX_ ST(4), result);
    XSRETURN_IV(rc);
}

XS_INTERNAL(xs_RegCreateKeyEx) {
    dXSARGS;
    if (items != 9) XSRETURN_IV(-1);
    SV* result = nullptr;
    DWORD disposition = 0;
    {
        const HKEY root = key_arg(aTHX_ ST(0));
        const std::optional<std::string> subkey = name_arg(aTHX_ ST(1));
        const DWORD options = dword_arg(aTHX_ ST(4));
        const REGSAM sam = dword_arg(aTHX_ ST(5));
        HKEY key = nullptr;
        if (subkey && RegCreateKeyExA(root, subkey->c_str(), 0, nullptr, options, sam, nullptr,
                                      &key, &disposition) == ERROR_SUCCESS) {
            result = handle_sv(aTHX_ key);
            if (SvREADONLY(ST(7))) RegCloseKey(key);
        }
    }
    if (result == nullptr) XSRETURN_IV(-1);
    write_output(aTHX_ ST(7), result);
    write_output(aTHX_ ST(8), sv_2mortal(newSVuv(disposition)));
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_RegCloseKey) {
    dXSARGS;
    if (items != 1) XSRETURN_IV(-1);
    XSRETURN_IV(RegCloseKey(key_arg(aTHX_ ST(0))) == ERROR_SUCCESS ? 0 : -1);
}

// RegDeleteKey and RegDeleteValue: a key and a name, answered with the
// platform's code.
template <LSTATUS (*Call)(HKEY, LPCSTR)>
void key_and_name_call(pTHX_ CV*) {
    dXSARGS;
    if (items != 2) XSRETURN_IV(-1);
    const HKEY key = key_arg(aTHX_ ST(0));
    const std::optional<std::string> name = name_arg(aTHX_ ST(1));
    XSRETURN_IV(name ? Call(key, name->c_str()) : LONG{ERROR_INVALID_PARAMETER});
}

XS_INTERNAL(xs_RegQueryValueEx) {
    dXSARGS;
    if (items != 6) XSRETURN_IV(-1);
    DWORD type = REG_NONE;
    Delivered out;
    {
        const HKEY key = key_arg(aTHX_ ST(0));
        const std::optional<std::string> name = name_arg(aTHX_ ST(1));
        if (!name || !query_value(aTHX_ key, *name, type, out)) XSRETURN_IV(-1);
    }
    write_output(aTHX_ ST(4), out.data);
    write_unless_readonly(aTHX_ ST(3), sv_2mortal(newSVuv(type)));
    write_unless_readonly(aTHX_ ST(5), sv_2mortal(newSVuv(out.size)));
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_RegSetValueEx) {
    dXSARGS;
    if (items != 6) XSRETURN_IV(-1);
    const HKEY key = key_arg(aTHX_ ST(0));
    const std::optional<std::string> name = name_arg(aTHX_ ST(1));
    const DWORD type = dword_arg(aTHX_ ST(3));
    const std::optional<std::string> data = data_to_store(aTHX_ type, ST(4), ST(5));
    const bool ok = name && data &&
                    RegSetValueExA(key, name->c_str(), 0, type,
                                   reinterpret_cast<const BYTE*>(data->data()),
                                   static_cast<DWORD>(data->size())) == ERROR_SUCCESS;
    XSRETURN_IV(ok ? 0 : -1);
}

// The longest value or subkey name of a key, for the name buffer.
bool longest_names(HKEY key, DWORD& subkey, DWORD& value) {
    return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, &subkey, nullptr, nullptr,
                            &value, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// Enumerates position `index`: first for the data size, then for the data.
bool enum_value(pTHX_ HKEY key, DWORD index, SV*& name_out, DWORD& type, Delivered& out) {
    DWORD longest_subkey = 0, longest = 0;
    if (!longest_names(key, longest_subkey, longest)) return false;
    std::string name(static_cast<std::size_t>(longest) + 1, '\0');
    DWORD name_length = longest + 1, size = 0;
    if (RegEnumValueA(key, index, &name[0], &name_length, nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS)
        return false;
    std::string buffer(static_cast<std::size_t>(size) + 1, '\0');
    name_length = longest + 1;
    if (RegEnumValueA(key, index, &name[0], &name_length, nullptr, &type,
                      reinterpret_cast<BYTE*>(&buffer[0]), &size) != ERROR_SUCCESS)
        return false;
    out = deliver(aTHX_ type, std::string_view(buffer.data(), size));
    name_out = sv_2mortal(newSVpvn(name.data(), name_length));
    return out.data != nullptr;
}

XS_INTERNAL(xs_RegEnumValue) {
    dXSARGS;
    if (items != 8) XSRETURN_IV(-1);
    DWORD type = REG_NONE;
    Delivered out;
    SV* name = nullptr;
    {
        const HKEY key = key_arg(aTHX_ ST(0));
        const DWORD index = dword_arg(aTHX_ ST(1));
        if (!enum_value(aTHX_ key, index, name, type, out)) XSRETURN_IV(-1);
    }
    write_output(aTHX_ ST(6), out.data);
    write_output(aTHX_ ST(2), name);
    write_unless_readonly(aTHX_ ST(5), sv_2mortal(newSVuv(type)));
    write_unless_readonly(aTHX_ ST(7), sv_2mortal(newSVuv(out.size)));
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_RegEnumKeyEx) {
    dXSARGS;
    if (items != 8) XSRETURN_IV(-1);
    SV* name = nullptr;
    DWORD length = 0;
    {
        const HKEY key = key_arg(aTHX_ ST(0));
        const DWORD index = dword_arg(aTHX_ ST(1));
        DWORD longest = 0, longest_value = 0;
        if (!longest_names(key, longest, longest_value)) XSRETURN_IV(-1);
        std::string buffer(static_cast<std::size_t>(longest) + 1, '\0');
        length = longest + 1;
        FILETIME written;
        if (RegEnumKeyExA(key, index, &buffer[0], &length, nullptr, nullptr, nullptr, &written) !=
            ERROR_SUCCESS)
            XSRETURN_IV(-1);
        name = sv_2mortal(newSVpvn(buffer.data(), length));
    }
    write_output(aTHX_ ST(2), name);
    write_unless_readonly(aTHX_ ST(3), sv_2mortal(newSVuv(length)));
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_RegQueryInfoKey) {
    dXSARGS;
    if (items != 12) XSRETURN_IV(-1);
    DWORD subkeys = 0, values_count = 0;
    if (RegQueryInfoKeyA(key_arg(aTHX_ ST(0)), nullptr, nullptr, nullptr, &subkeys, nullptr,
                         nullptr, &values_count, nullptr, nullptr, nullptr,
                         nullptr) != ERROR_SUCCESS)
        XSRETURN_IV(-1);
    write_unless_readonly(aTHX_ ST(4), sv_2mortal(newSVuv(subkeys)));
    write_unless_readonly(aTHX_ ST(7), sv_2mortal(newSVuv(values_count)));
    XSRETURN_IV(0);
}

// The expansion into a fixed buffer; empty when it fails or does not fit.
XS_INTERNAL(xs_ExpandEnvironmentStrings) {
    dXSARGS;
    if (items != 3) XSRETURN_IV(-1);
    SV* result = nullptr;
    {
        const std::string source = lmx::text_arg(aTHX_ ST(0)).value_or(std::string());
        std::vector<char> buffer(kExpandBuffer, '\0');
        const DWORD n = ExpandEnvironmentStringsA(source.c_str(), buffer.data(), kExpandBuffer);
        result = sv_2mortal(n == 0 || n > kExpandBuffer ? newSVpvs("") : newSVpv(buffer.data(), 0));
    }
    write_unless_readonly(aTHX_ ST(1), result);
    XSRETURN_IV(0);
}

template <IV Value>
void constant(pTHX_ CV*) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    XSRETURN_IV(Value);
}

#define LMX_REGISTRY(name) "KALDOR::Install::System::Win32::Registry::" name

const lmx::NativeFunction kFunctions[] = {
    {LMX_REGISTRY("RegOpenKeyEx"), xs_RegOpenKeyEx},
    {LMX_REGISTRY("RegCreateKeyEx"), xs_RegCreateKeyEx},
    {LMX_REGISTRY("RegCloseKey"), xs_RegCloseKey},
    {LMX_REGISTRY("RegDeleteKey"), key_and_name_call<RegDeleteKeyA>},
    {LMX_REGISTRY("RegDeleteValue"), key_and_name_call<RegDeleteValueA>},
    {LMX_REGISTRY("RegQueryValueEx"), xs_RegQueryValueEx},
    {LMX_REGISTRY("RegSetValueEx"), xs_RegSetValueEx},
    {LMX_REGISTRY("RegEnumValue"), xs_RegEnumValue},
    {LMX_REGISTRY("RegEnumKeyEx"), xs_RegEnumKeyEx},
    {LMX_REGISTRY("RegQueryInfoKey"), xs_RegQueryInfoKey},
    {LMX_REGISTRY("ExpandEnvironmentStrings"), xs_ExpandEnvironmentStrings},
    {LMX_REGISTRY("REG_SZ"), constant<1>},
    {LMX_REGISTRY("REG_EXPAND_SZ"), constant<2>},
    {LMX_REGISTRY("REG_BINARY"), constant<3>},
    {LMX_REGISTRY("REG_DWORD"), constant<4>},
    {LMX_REGISTRY("REG_MULTI_SZ"), constant<7>},
    {LMX_REGISTRY("HKEY_CLASSES_ROOT"), constant<-2147483647 - 1>},
    {LMX_REGISTRY("HKEY_CURRENT_USER"), constant<-2147483647>},
    {LMX_REGISTRY("HKEY_LOCAL_MACHINE"), constant<-2147483646>},
    {LMX_REGISTRY("HKEY_USERS"), constant<-2147483645>},
    {LMX_REGISTRY("HKEY_PERFORMANCE_DATA"), constant<-2147483644>},
    {LMX_REGISTRY("HKEY_CURRENT_CONFIG"), constant<-2147483643>},
    {LMX_REGISTRY("HKEY_DYN_DATA"), constant<-2147483642>},
    {LMX_REGISTRY("KEY_QUERY_VALUE"), constant<0x1>},
    {LMX_REGISTRY("KEY_SET_VALUE"), constant<0x2>},
    {LMX_REGISTRY("KEY_CREATE_SUB_KEY"), constant<0x4>},
    {LMX_REGISTRY("KEY_ENUMERATE_SUB_KEYS"), constant<0x8>},
    {LMX_REGISTRY("KEY_NOTIFY"), constant<0x10>},
    {LMX_REGISTRY("KEY_CREATE_LINK"), constant<0x20>},
    {LMX_REGISTRY("KEY_READ"), constant<0x20019>},
    {LMX_REGISTRY("KEY_EXECUTE"), constant<0x20019>},
    {LMX_REGISTRY("KEY_WRITE"), constant<0x20006>},
    {LMX_REGISTRY("KEY_ALL_ACCESS"), constant<0xF003F>},
    {LMX_REGISTRY("REG_OPTION_NON_VOLATILE"), constant<0>},
    {LMX_REGISTRY("REG_OPTION_VOLATILE"), constant<1>},
    {LMX_REGISTRY("REG_OPTION_BACKUP_RESTORE"), constant<4>},
    {LMX_REGISTRY("REG_CREATED_NEW_KEY"), constant<1>},
    {LMX_REGISTRY("REG_OPENED_EXISTING_KEY"), constant<2>},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__System__Win32__Registry) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "SystemWin32Registry", kFunctions);
}
