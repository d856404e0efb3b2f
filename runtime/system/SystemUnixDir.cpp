// KALDOR::Install::System::Unix::Dir: directory services of Unix systems.
// On this platform a path has no ancestors to report.
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"

namespace {

// getancestors(path): the empty list for a non-empty path, undef for an
// empty one or another number of arguments.
XS_INTERNAL(xs_getancestors) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    SvGETMAGIC(ST(0));
    if (!SvOK(ST(0))) XSRETURN_UNDEF;
    STRLEN length;
    SvPV_nomg(ST(0), length);
    if (length == 0) XSRETURN_UNDEF;
    XSRETURN_EMPTY;
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::System::Unix::Dir::getancestors", xs_getancestors},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__System__Unix__Dir) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "SystemUnixDir", kFunctions);
}
