#include "runtime/system/module_call.h"

#include "runtime/host/arguments.h"

namespace lmx {

bool call_module(pTHX_ const char* name, std::initializer_list<SV*> args, I32 context,
                 const std::function<void(SV** results, int count)>& take) {
    CV* sub = module_sub(aTHX_ name);
    if (sub == nullptr) return false;
    dSP;
    ENTER;
    SAVETMPS;
    save_scalar(PL_errgv);
    PUSHMARK(SP);
    for (SV* arg : args) XPUSHs(arg);
    PUTBACK;
    const int count = call_sv(reinterpret_cast<SV*>(sub), context | G_EVAL);
    SPAGAIN;
    const bool died = SvTRUE(ERRSV);
    if (!died) take(SP - count + 1, count);
    SP -= count;
    PUTBACK;
    FREETMPS;
    LEAVE;
    return !died;
}

}  // namespace lmx
