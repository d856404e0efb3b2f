// KALDOR::Install::SetUser: switching the process to another user, a Unix
// service. On this platform SetUser does nothing and says so.
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"

namespace {

const char kNotImplemented[] = "not implemented on WIN32";

// SetUser(...): (-1, "not implemented on WIN32") in list context, -1 in
// scalar context.
XS_INTERNAL(xs_SetUser) {
    dXSARGS;
    if (GIMME_V != G_LIST) XSRETURN_IV(-1);
    EXTEND(SP, 2);
    ST(0) = sv_2mortal(newSViv(-1));
    ST(1) = sv_2mortal(newSVpvn(kNotImplemented, sizeof kNotImplemented - 1));
    XSRETURN(2);
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::SetUser::SetUser", xs_SetUser},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__SetUser) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "SetUser", kFunctions);
}
