// KALDOR::Install::System::Win32::API: window calls of the installer.
#include "platform/user.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"

namespace {

XS_INTERNAL(xs_DestroyWindow) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    const UV window = SvUV(ST(0));
    XSRETURN_IV(DestroyWindow(INT2PTR(HWND, window)) ? 1 : 0);
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::System::Win32::API::DestroyWindow", xs_DestroyWindow},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__System__Win32__API) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "SystemWin32API", kFunctions);
}
