#include "runtime/host/xs_module.h"

namespace lmx {

I32 boot_begin(pTHX_ const char* unit) {
    return Perl_xs_handshake(HS_KEY(TRUE, TRUE, "v" PERL_API_VERSION_STRING, ""), HS_CXT, unit,
                             "v" PERL_API_VERSION_STRING);
}

void register_functions(pTHX_ const char* unit, const NativeFunction* functions, size_t count) {
    for (size_t i = 0; i < count; ++i)
        newXS_flags(functions[i].name, functions[i].function, unit, nullptr, 0);
}

void boot_end(pTHX_ I32 ax) { Perl_xs_boot_epilog(aTHX_ ax); }

void boot_module(pTHX_ const char* unit, const NativeFunction* functions, size_t count,
                 const EmbeddedText* text) {
    const I32 ax = boot_begin(aTHX_ unit);
    register_functions(aTHX_ unit, functions, count);
    if (text != nullptr) eval_embedded(aTHX_ *text);
    boot_end(aTHX_ ax);
}

void eval_embedded(pTHX_ const EmbeddedText& text) {
    SV* source = sv_2mortal(newSVpvf("#line %d \"%s\"\n", text.first_line, text.name));
    sv_catpv(source, text.text);
    eval_sv(source, G_DISCARD);
    if (SvTRUE(ERRSV)) croak_sv(sv_2mortal(newSVsv(ERRSV)));
}

}  // namespace lmx
