// LMX::Common: the archive module loader. Its boot evaluates the archive
// front end and the loader once per interpreter; later boots only return
// true. It also offers the Perl halves of other modules the one way to
// reach a module that may not be booted yet (ModuleSub).
#include "embedded_texts.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"

namespace {

const char kLoadedKey[] = "LMX::Common::loader_evaluated";

// ModuleSub("Package::name"): a reference to that sub, the package booted
// first when only its bootstrap is registered; undef when it does not exist.
XS_INTERNAL(xs_ModuleSub) {
    dXSARGS;
    const std::optional<std::string> name = items == 1 ? lmx::text_arg(aTHX_ ST(0)) : std::nullopt;
    CV* sub = name ? lmx::module_sub(aTHX_ name->c_str()) : nullptr;
    if (sub == nullptr) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newRV_inc(reinterpret_cast<SV*>(sub)));
    XSRETURN(1);
}

const lmx::NativeFunction kFunctions[] = {
    {"LMX::Common::ModuleSub", xs_ModuleSub},
};

}  // namespace

XS_EXTERNAL(boot_LMX__Common) {
    PERL_UNUSED_VAR(cv);
    const I32 ax = lmx::boot_begin(aTHX_ "libLMXRun");
    lmx::register_functions(aTHX_ "libLMXRun", kFunctions, 1);
    // The flag lives in the interpreter's module-global hash, so a new
    // interpreter in the same process gets the loader again, while a thread's
    // clone (which copies the loader's subs) keeps the flag.
    SV** flag = hv_fetch(PL_modglobal, kLoadedKey, sizeof kLoadedKey - 1, 0);
    if (flag == nullptr || !SvTRUE(*flag)) {
        lmx::eval_embedded(aTHX_ lmx::kArchiveText);
        lmx::eval_embedded(aTHX_ lmx::kRequireText);
        hv_store(PL_modglobal, kLoadedKey, sizeof kLoadedKey - 1, newSViv(1), 0);
    }
    lmx::boot_end(aTHX_ ax);
}
