// LMX::Common: the archive module loader. Its boot evaluates the archive
// front end and the loader once per interpreter; later boots only return
// true.
#include "embedded_texts.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"

namespace {

const char kLoadedKey[] = "LMX::Common::loader_evaluated";

}  // namespace

XS_EXTERNAL(boot_LMX__Common) {
    PERL_UNUSED_VAR(cv);
    const I32 ax = lmx::boot_begin(aTHX_ "libLMXRun");
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
