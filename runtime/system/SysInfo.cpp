// KALDOR::Install::SysInfo: the description of this machine (operating
// system, version, processor architecture, C library, processor features)
// in the vocabulary of the installer's platform rules, which its Perl half
// SysInfo.pl (IsRunnable and the per-system comparisons) applies. This host
// describes itself as Linux: system "Linux", version the kernel release,
// architecture "X86-64" (or the host's), c_runtime "GLIBC" and its version.
//
// HostPath gives the Perl half the layer's one path translation, so that
// its file tests and opens see the file the natives would see.
#include <optional>
#include <string>

#include "embedded_texts.h"
#include "platform/paths.h"
#include "platform/sysinfo.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"
#include "runtime/system/system_facts.h"

namespace {

XS_INTERNAL(xs_GetSystemInfo) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    EXTEND(SP, 1);
    const platform::HostSystem host = platform::host_system();
    HV* info = newHV();
    lmx::hash_store(aTHX_ info, "system", host.name);
    lmx::hash_store(aTHX_ info, "version", host.release);
    lmx::hash_store(aTHX_ info, "subversion", std::string());
    lmx::hash_store(aTHX_ info, "architecture", lmx::facts::linux_architecture(host.machine));
    if (!host.c_library.empty())
        lmx::hash_store(aTHX_ info, "c_runtime", host.c_library + " " + host.c_library_version);
    const platform::CpuidRegisters basic = platform::cpuid(0);
    const platform::CpuidRegisters leaf1 =
        basic.eax != 0 ? platform::cpuid(1) : platform::CpuidRegisters{0, 0, 0, 0};
    if (const std::optional<std::string> features =
            lmx::facts::processor_features(basic.eax, leaf1.ecx, leaf1.edx))
        lmx::hash_store(aTHX_ info, "processor_features", *features);
    ST(0) = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(info)));
    XSRETURN(1);
}

// HostPath(path): the host path that the layer makes of a module path
// ("\" and "/" separate, drive letters map), or undef when it names none.
XS_INTERNAL(xs_HostPath) {
    dXSARGS;
    const std::optional<std::string> path = items == 1 ? lmx::text_arg(aTHX_ ST(0)) : std::nullopt;
    std::string host;
    if (!path || !platform::host_path(path->c_str(), host)) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newSVpvn(host.data(), host.size()));
    XSRETURN(1);
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::SysInfo::GetSystemInfo", xs_GetSystemInfo},
    {"KALDOR::Install::SysInfo::HostPath", xs_HostPath},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__SysInfo) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "SysInfo", kFunctions, &lmx::kSysInfoText);
}
