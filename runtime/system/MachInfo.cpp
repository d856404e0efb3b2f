// KALDOR::Install::MachInfo: the processors this process may run on and
// the physical memory, total and available, as the layer reports them
// (a control group's lower memory limit counts as the total).
#include "platform/sysinfo.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"
#include "runtime/system/system_facts.h"

namespace {

SV* new_amount(pTHX_ std::uint64_t bytes) {
    const lmx::facts::MemoryAmount amount = lmx::facts::scale_memory(bytes);
    AV* pair = newAV();
    av_push(pair, newSVuv(amount.value));
    av_push(pair, newSVuv(amount.unit));
    return newRV_noinc(reinterpret_cast<SV*>(pair));
}

XS_INTERNAL(xs_GetMachInfo) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    EXTEND(SP, 1);
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    if (!GlobalMemoryStatusEx(&memory)) memory.ullTotalPhys = memory.ullAvailPhys = 0;
    HV* info = newHV();
    lmx::hash_store(aTHX_ info, "NumOfCPU", newSVuv(system.dwNumberOfProcessors));
    lmx::hash_store(aTHX_ info, "PhysicalMemoryTotal", new_amount(aTHX_ memory.ullTotalPhys));
    lmx::hash_store(aTHX_ info, "PhysicalMemoryAvailable", new_amount(aTHX_ memory.ullAvailPhys));
    ST(0) = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(info)));
    XSRETURN(1);
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::MachInfo::GetMachInfo", xs_GetMachInfo},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__MachInfo) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "MachInfo", kFunctions);
}
