// LMX::Install::System::Win32::Msinst: which Windows Installer products are
// installed, in what state, with which properties (platform/msi.h says
// where the layer finds them).
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "platform/msi.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"

namespace {

constexpr DWORD kFirstBuffer = 512;
constexpr std::size_t kProductBuffer = 39;

// A text argument as the C string the call takes; absent for undef, and for
// a text with a NUL in it, which the call would read cut short.
std::optional<std::string> text_without_nul(pTHX_ SV* value) {
    std::optional<std::string> text = lmx::text_arg(aTHX_ value);
    if (text && text->find('\0') != std::string::npos) return std::nullopt;
    return text;
}

// Results and states go to Perl as unsigned numbers: a negative state as
// its 64-bit two's complement.
UV unsigned_result(IV value) { return static_cast<UV>(value); }

XS_INTERNAL(xs_MsiQueryProductState) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    const std::optional<std::string> product = text_without_nul(aTHX_ ST(0));
    const INSTALLSTATE state =
        product ? MsiQueryProductStateA(product->c_str()) : INSTALLSTATE_INVALIDARG;
    XSRETURN_UV(unsigned_result(state));
}

// Reads a property into `value`, growing the buffer while the platform
// asks for more; the value is empty when the call fails.
bool product_info(const std::optional<std::string>& product,
                  const std::optional<std::string>& property, UINT& rc, std::string& value) {
    if (!property) {
        rc = ERROR_UNKNOWN_PROPERTY;
        return true;
    }
    try {
        std::vector<char> buffer(kFirstBuffer, '\0');
        DWORD length = kFirstBuffer;
        while ((rc = MsiGetProductInfoA(product ? product->c_str() : nullptr, property->c_str(),
                                        buffer.data(), &length)) == ERROR_MORE_DATA) {
            buffer.assign(static_cast<std::size_t>(length) + 1, '\0');
            length = static_cast<DWORD>(buffer.size());
        }
        value = rc == ERROR_SUCCESS ? std::string(buffer.data(), length) : std::string();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

XS_INTERNAL(xs_MsiGetProductInfo) {
    dXSARGS;
    if (items != 3) XSRETURN_UNDEF;
    UINT rc = ERROR_SUCCESS;
    SV* value = nullptr;
    {
        std::string text;
        if (!product_info(text_without_nul(aTHX_ ST(0)), text_without_nul(aTHX_ ST(1)), rc, text))
            XSRETURN_UNDEF;
        value = sv_2mortal(newSVpvn(text.data(), text.size()));
    }
    sv_setsv_mg(ST(2), value);
    XSRETURN_UV(rc);
}

XS_INTERNAL(xs_MsiEnumProducts) {
    dXSARGS;
    if (items != 2) XSRETURN_UNDEF;
    SvGETMAGIC(ST(0));
    const UV index = SvUV_nomg(ST(0));
    // An index beyond 32 bits is past every product, not a smaller index.
    const DWORD position = index > std::numeric_limits<DWORD>::max()
                               ? std::numeric_limits<DWORD>::max()
                               : static_cast<DWORD>(index);
    char product[kProductBuffer] = "";
    const UINT rc = MsiEnumProductsA(position, product);
    sv_setpv_mg(ST(1), rc == ERROR_SUCCESS ? product : "");
    XSRETURN_UV(rc);
}

template <IV Value>
void state_constant(pTHX_ CV*) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    XSRETURN_UV(unsigned_result(Value));
}

template <const char* Text>
void property_constant(pTHX_ CV*) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    ST(0) = sv_2mortal(newSVpv(Text, 0));
    XSRETURN(1);
}

constexpr char kPackageName[] = INSTALLPROPERTY_PACKAGENAME;
constexpr char kVersion[] = INSTALLPROPERTY_VERSION;
constexpr char kVersionString[] = INSTALLPROPERTY_VERSIONSTRING;
constexpr char kInstalledProductName[] = INSTALLPROPERTY_INSTALLEDPRODUCTNAME;

#define LMX_MSINST(name) "LMX::Install::System::Win32::Msinst::" name

const lmx::NativeFunction kFunctions[] = {
    {LMX_MSINST("MsiQueryProductState"), xs_MsiQueryProductState},
    {LMX_MSINST("MsiGetProductInfo"), xs_MsiGetProductInfo},
    {LMX_MSINST("MsiEnumProducts"), xs_MsiEnumProducts},
    {LMX_MSINST("INSTALLSTATE_UNKNOWN"), state_constant<INSTALLSTATE_UNKNOWN>},
    {LMX_MSINST("INSTALLSTATE_INVALIDARG"), state_constant<INSTALLSTATE_INVALIDARG>},
    {LMX_MSINST("INSTALLSTATE_ADVERTISED"), state_constant<INSTALLSTATE_ADVERTISED>},
    {LMX_MSINST("INSTALLSTATE_ABSENT"), state_constant<INSTALLSTATE_ABSENT>},
    {LMX_MSINST("INSTALLSTATE_DEFAULT"), state_constant<INSTALLSTATE_DEFAULT>},
    {LMX_MSINST("INSTALLPROPERTY_PACKAGENAME"), property_constant<kPackageName>},
    {LMX_MSINST("INSTALLPROPERTY_VERSION"), property_constant<kVersion>},
    {LMX_MSINST("INSTALLPROPERTY_VERSIONSTRING"), property_constant<kVersionString>},
    {LMX_MSINST("INSTALLPROPERTY_INSTALLEDPRODUCTNAME"), property_constant<kInstalledProductName>},
};

}  // namespace

XS_EXTERNAL(boot_LMX__Install__System__Win32__Msinst) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "SystemWin32Msinst", kFunctions);
}
