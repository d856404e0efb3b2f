// KALDOR::Install::System::Unix: the Unix system calls that the installer's
// shared Perl code reaches for. On this platform the package exists so that
// the code loads: each function checks its arguments as its Unix
// counterpart does and answers that the service is not available. Only
// sprintmode does real work.
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"

namespace {

// The constants of the package have no value here.
XS_INTERNAL(xs_undefined) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    XSRETURN_UNDEF;
}

// Dies with a usage text unless the call has `count` arguments.
void require_arguments(pTHX_ I32 items, I32 count, const char* usage) {
    if (items != count) croak("usage: %s\n", usage);
}

// What an argument holds, after its get-magic (a magical value keeps only
// the private flags).
bool holds_integer(pTHX_ SV* value) {
    SvGETMAGIC(value);
    return SvGMAGICAL(value) ? SvIOKp(value) : SvIOK(value);
}

bool holds_nonempty_string(pTHX_ SV* value) {
    SvGETMAGIC(value);
    return (SvGMAGICAL(value) ? SvPOKp(value) : SvPOK(value)) && SvCUR(value) > 0;
}

bool all_integers(pTHX_ SV** arguments, I32 count) {
    for (I32 i = 0; i < count; ++i)
        if (!holds_integer(aTHX_ arguments[i])) return false;
    return true;
}

XS_INTERNAL(xs_setrlimit) {
    dXSARGS;
    require_arguments(aTHX_ items, 3, "setrlimit ($resource,$soft,$hard)");
    if (!all_integers(aTHX_ &ST(0), 3)) XSRETURN_UNDEF;
    XSRETURN_IV(-1);
}

XS_INTERNAL(xs_getrlimit) {
    dXSARGS;
    require_arguments(aTHX_ items, 1, "getrlimit ($resource)");
    if (!all_integers(aTHX_ &ST(0), 1)) XSRETURN_UNDEF;
    XSRETURN_IV(-1);
}

XS_INTERNAL(xs_munmap) {
    dXSARGS;
    require_arguments(aTHX_ items, 2, "munmap ($buf,$len)");
    XSRETURN_UNDEF;
}

XS_INTERNAL(xs_mmap) {
    dXSARGS;
    require_arguments(aTHX_ items, 6, "mmap ($buf,$len,$prot,$flags,FH,$off)");
    XSRETURN_UNDEF;
}

// The nine-character permission text of a mode: "rwxrwxrwx" with "-" for
// each clear bit; the set-user-id, set-group-id and sticky bits show in the
// execute positions of owner, group and others as s/S, s/S and t/T (lower
// case when the execute bit is set too). File-type bits are ignored.
void permission_text(UV mode, char text[9]) {
    static const char kLetters[] = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) text[i] = (mode & (0400u >> i)) ? kLetters[i] : '-';
    struct Special {
        UV bit;
        int position;
        char letter;
    };
    static const Special kSpecial[] = {{04000, 2, 's'}, {02000, 5, 's'}, {01000, 8, 't'}};
    for (const Special& s : kSpecial)
        if (mode & s.bit)
            text[s.position] = text[s.position] == '-' ? static_cast<char>(s.letter - 'a' + 'A')
                                                       : s.letter;
}

XS_INTERNAL(xs_sprintmode) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    char text[9];
    permission_text(static_cast<UV>(SvIV(ST(0))), text);
    ST(0) = sv_2mortal(newSVpvn(text, sizeof text));
    XSRETURN(1);
}

XS_INTERNAL(xs_uaccess) {
    dXSARGS;
    if (items != 2 || !holds_nonempty_string(aTHX_ ST(0)) || !holds_nonempty_string(aTHX_ ST(1)))
        XSRETURN_UNDEF;
    XSRETURN_IV(-1);
}

// lchown changes nothing here and reports success.
XS_INTERNAL(xs_lchown) {
    dXSARGS;
    if (items < 3) XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

#define UNIX_PACKAGE "KALDOR::Install::System::Unix::"

const lmx::NativeFunction kFunctions[] = {
    {UNIX_PACKAGE "RLIMIT_NOFILE", xs_undefined},
    {UNIX_PACKAGE "MAP_FIXED", xs_undefined},
    {UNIX_PACKAGE "MAP_PRIVATE", xs_undefined},
    {UNIX_PACKAGE "MAP_SHARED", xs_undefined},
    {UNIX_PACKAGE "PROT_NONE", xs_undefined},
    {UNIX_PACKAGE "PROT_EXEC", xs_undefined},
    {UNIX_PACKAGE "PROT_WRITE", xs_undefined},
    {UNIX_PACKAGE "PROT_READ", xs_undefined},
    {UNIX_PACKAGE "sysinfo", xs_undefined},
    {UNIX_PACKAGE "setrlimit", xs_setrlimit},
    {UNIX_PACKAGE "getrlimit", xs_getrlimit},
    {UNIX_PACKAGE "munmap", xs_munmap},
    {UNIX_PACKAGE "mmap", xs_mmap},
    {UNIX_PACKAGE "uname", xs_undefined},
    {UNIX_PACKAGE "sprintmode", xs_sprintmode},
    {UNIX_PACKAGE "getcwd", xs_undefined},
    {UNIX_PACKAGE "ugetids", xs_undefined},
    {UNIX_PACKAGE "uaccess", xs_uaccess},
    {UNIX_PACKAGE "lchown", xs_lchown},
    {UNIX_PACKAGE "getspnam", xs_undefined},
};

#undef UNIX_PACKAGE

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__System__Unix) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "SystemUnix", kFunctions);
}
