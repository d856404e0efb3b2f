// The runtime's one export: hosts a Perl interpreter for one run of the
// installer, from the bootstrap script to the value of the main sub.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/crt.h"
#include "platform/modules.h"
#include "platform/winsock.h"
#include "embedded_texts.h"
#include "runtime/host/build_stamps.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"

namespace {

constexpr size_t kPathStep = 1024;

void xs_init(pTHX) { lmx::register_static_modules(aTHX); }

// The directory of the loaded runtime library, without a trailing
// separator; false when it cannot be determined.
bool runtime_directory(std::string& dir) {
    HMODULE self = GetModuleHandleA(LMX_RUNTIME_LIBRARY);
    if (self == nullptr) return false;
    std::vector<char> path(kPathStep);
    for (;;) {
        const DWORD n = GetModuleFileNameA(self, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return false;
        if (n < path.size() - 1) break;
        path.resize(path.size() + kPathStep);
    }
    std::string full = path.data();
    size_t cut = full.rfind('/');
    if (cut == std::string::npos) cut = full.rfind('\\');
    if (cut == std::string::npos) return false;
    dir = full.substr(0, cut);
    return true;
}

void store_config(pTHX_ HV* config, const char* key, const char* value) {
    hv_store(config, key, static_cast<I32>(std::strlen(key)), newSVpv(value, 0), 0);
}

int call_start(pTHX_ int argc, char** argv) {
    dSP;
    ENTER;
    SAVETMPS;
    PUSHMARK(SP);
    for (int i = 1; i < argc; ++i) XPUSHs(sv_2mortal(newSVpv(argv[i], 0)));
    PUTBACK;
    const int count = call_pv("KALDOR::Install::Start::Start", G_SCALAR);
    SPAGAIN;
    int result = 0;
    if (count > 0) {
        SV* value = POPs;
        result = static_cast<int>(SvIV(value));
    }
    PUTBACK;
    FREETMPS;
    LEAVE;
    return result;
}

void discard_interpreter(PerlInterpreter* my_perl) {
    perl_destruct(my_perl);
    perl_free(my_perl);
    PERL_SYS_TERM();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int lmxrun_main(int argc, char** argv,
                                                                  char** env) {
    platform::capture_standard_handles();
    PERL_SYS_INIT3(&argc, &argv, &env);
    PerlInterpreter* my_perl = perl_alloc();
    if (my_perl == nullptr) {
        std::printf("cannot alloc space for perl interpreter\n");
        return -1;
    }
    PL_exit_flags |= PERL_EXIT_DESTRUCT_END;
    PL_perl_destruct_level = 2;
    perl_construct(my_perl);

    char empty[] = "", dash_e[] = "-e", program[] = "0";
    char* start_args[] = {empty, dash_e, program, nullptr};
    if (perl_parse(my_perl, xs_init, 3, start_args, env) != 0) {
        std::printf("initial load of perl failed\n");
        discard_interpreter(my_perl);
        return -1;
    }
    if (perl_run(my_perl) != 0) {
        std::printf("initial start of perl failed\n");
        discard_interpreter(my_perl);
        return -1;
    }

    ENTER;
    SAVETMPS;
    lmx::eval_embedded(aTHX_ lmx::kLMXRunText);
    lmx::eval_embedded(aTHX_ lmx::kModuleTraceText);
    FREETMPS;
    LEAVE;

    std::string runtime_dir;
    const bool have_runtime_dir = runtime_directory(runtime_dir);
    std::string caller_dir;
    if (!crt::getcwd(caller_dir)) {
        std::printf("cannot get caller current directory\n");
        discard_interpreter(my_perl);
        return -1;
    }
    if (have_runtime_dir && !runtime_dir.empty() && crt::chdir(runtime_dir.c_str()) != 0) {
        std::printf("cannot change to directory %s\n", runtime_dir.c_str());
        discard_interpreter(my_perl);
        return -1;
    }

    HV* config = get_hv("KALDOR::Install::Config", GV_ADD);
    store_config(aTHX_ config, "CallerDir", caller_dir.c_str());
    store_config(aTHX_ config, "RuntimeDir", runtime_dir.c_str());
    store_config(aTHX_ config, "BinaryInstVersion", lmx::build_stamps::full_build_version);
    store_config(aTHX_ config, "BinaryChangeList", lmx::build_stamps::changelist);
    store_config(aTHX_ config, "BinaryBuildString", lmx::build_stamps::full_version_string);
    store_config(aTHX_ config, "BinaryMakeId", lmx::build_stamps::makeid);

    const int result = call_start(aTHX_ argc, argv);

    PL_perl_destruct_level = 2;
    discard_interpreter(my_perl);
    WSACleanup();
    return result;
}
