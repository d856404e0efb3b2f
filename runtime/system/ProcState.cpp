// KALDOR::Install::ProcState: a snapshot of the machine's processes taken
// when the object is made (command, arguments, parent, user of each), which
// processes have mapped a given file, the owner of a live process, and
// terminating one.
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/processes.h"
#include "platform/security.h"
#include "runtime/host/live_records.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"
#include "runtime/system/process_snapshot.h"

namespace {

using namespace lmx::procstate;

const char kDefaultClass[] = "KALDOR::Install::ProcState";
const char kProcsKey[] = "procs";
const char kMapKey[] = "modlistptr";
constexpr IV kFlagModules = 1;
constexpr IV kFlagSockets = 2;

lmx::LiveRecords& module_maps() {
    static lmx::LiveRecords maps;
    return maps;
}

// The hash behind a hash reference (blessed or not), or null.
HV* hash_of(pTHX_ SV* object) {
    return SvROK(object) && SvTYPE(SvRV(object)) == SVt_PVHV ? reinterpret_cast<HV*>(SvRV(object))
                                                            : nullptr;
}

SV* fetch(pTHX_ HV* hash, const char* key) {
    SV** slot = hv_fetch(hash, key, static_cast<I32>(strlen(key)), 0);
    return slot ? *slot : nullptr;
}

void store(pTHX_ HV* hash, const char* key, SV* value) {
    hv_store(hash, key, static_cast<I32>(strlen(key)), value, 0);
}

// The object's module map, when it names a live one.
ModuleMap* module_map_of(pTHX_ HV* object) {
    SV* address = fetch(aTHX_ object, kMapKey);
    if (address == nullptr || !SvOK(address)) return nullptr;
    auto* map = INT2PTR(ModuleMap*, SvUV(address));
    return module_maps().contains(map) ? map : nullptr;
}

// The hash of the first process in `procs` with the given id, or null.
HV* process_of(pTHX_ SV* object, SV* pid_argument) {
    HV* self = hash_of(aTHX_ object);
    SV* procs = self ? fetch(aTHX_ self, kProcsKey) : nullptr;
    if (procs == nullptr || !SvROK(procs) || SvTYPE(SvRV(procs)) != SVt_PVAV) return nullptr;
    AV* list = reinterpret_cast<AV*>(SvRV(procs));
    const UV pid = SvUV(pid_argument);
    for (SSize_t i = 0; i <= av_len(list); ++i) {
        SV** entry = av_fetch(list, i, 0);
        HV* process = entry ? hash_of(aTHX_ *entry) : nullptr;
        SV* id = process ? fetch(aTHX_ process, "pid") : nullptr;
        if (id && SvOK(id) && SvUV(id) == pid) return process;
    }
    return nullptr;
}

// With the privilege, the command lines and modules of more processes can
// be read. Failures change nothing.
void enable_debug_privilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(nullptr, SE_DEBUG_NAME, &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
    CloseHandle(token);
}

ModuleMap* collect_modules(const std::vector<ProcessRecord>& processes) {
    auto* map = lmx::new_record<ModuleMap>();
    for (const ProcessRecord& p : processes)
        if (!collect_by_module_snapshot(*map, p.pid)) collect_by_module_enumeration(*map, p.pid);
    if (map->volumes != nullptr) return map;
    free_module_map(map);
    return nullptr;
}

void set_process_fields(pTHX_ HV* hash, const ProcessRecord& p) {
    store(aTHX_ hash, "pid", newSVuv(p.pid));
    store(aTHX_ hash, "ppid", newSVuv(p.ppid));
    store(aTHX_ hash, "uid", newSVuv(p.uid));
    store(aTHX_ hash, "cmd", newSVpvn(p.name.data(), p.name.size()));
    if (p.has_command_line)
        store(aTHX_ hash, "args", newSVpvn(p.command_line.data(), p.command_line.size()));
}

// One hash per distinct process id, in list order; a repeated id updates
// the hash of its first appearance.
AV* process_list(pTHX_ const std::vector<ProcessRecord>& processes) {
    AV* list = newAV();
    std::unordered_map<DWORD, HV*> by_pid;
    for (const ProcessRecord& p : processes) {
        HV*& hash = by_pid[p.pid];
        if (hash == nullptr) {
            hash = newHV();
            av_push(list, newRV_noinc(reinterpret_cast<SV*>(hash)));
        }
        set_process_fields(aTHX_ hash, p);
    }
    return list;
}

const char* class_name_of(pTHX_ I32 items, SV* first) {
    if (items < 1 || !SvOK(first)) return kDefaultClass;
    if (sv_isobject(first)) return HvNAME(SvSTASH(SvRV(first)));
    const char* name = SvROK(first) ? "" : SvPV_nolen(first);
    return *name ? name : kDefaultClass;
}

XS_INTERNAL(xs_new) {
    dXSARGS;
    const char* class_name = class_name_of(aTHX_ items, items >= 1 ? ST(0) : nullptr);
    const IV flags = items >= 2 && SvIOK(ST(1)) ? SvIV(ST(1)) : 0;
    HV* self = newHV();
    SV* object = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(self)));
    sv_bless(object, gv_stashpv(class_name, GV_ADD));

    enable_debug_privilege();
    std::vector<ProcessRecord> processes;
    if (list_by_toolhelp(processes) || list_by_system_information(processes)) {
        if (flags & kFlagModules) {
            if (ModuleMap* map = collect_modules(processes)) {
                module_maps().add(map);
                store(aTHX_ self, kMapKey, newSVuv(PTR2UV(map)));
            }
        }
        store(aTHX_ self, kProcsKey,
              newRV_noinc(reinterpret_cast<SV*>(process_list(aTHX_ processes))));
    }
    ST(0) = object;
    XSRETURN(1);
}

XS_INTERNAL(xs_flag_modules) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    XSRETURN_IV(kFlagModules);
}

XS_INTERNAL(xs_flag_sockets) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    XSRETURN_IV(kFlagSockets);
}

// GetArgs, GetCmd, GetUid and GetPPid: one field of a process of the
// snapshot, selected by the alias index.
XS_INTERNAL(xs_get_field) {
    dXSARGS;
    static const char* const kFields[] = {"args", "cmd", "uid", "ppid"};
    HV* process = items == 2 ? process_of(aTHX_ ST(0), ST(1)) : nullptr;
    SV* value = process ? fetch(aTHX_ process, kFields[XSANY.any_i32]) : nullptr;
    if (value == nullptr) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newSVsv(value));
    XSRETURN(1);
}

XS_INTERNAL(xs_GetSID) {
    dXSARGS;
    if (items != 2) XSRETURN_UNDEF;
    HANDLE process =
        OpenProcess(READ_CONTROL | PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(SvUV(ST(1))));
    if (process == nullptr) XSRETURN_UNDEF;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    char* text = nullptr;
    if (GetSecurityInfo(process, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) == ERROR_SUCCESS)
        ConvertSidToStringSidA(owner, &text);
    CloseHandle(process);
    LocalFree(descriptor);
    if (text == nullptr) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newSVpv(text, 0));
    LocalFree(text);
    XSRETURN(1);
}

XS_INTERNAL(xs_Terminate) {
    dXSARGS;
    if (items != 2) XSRETURN_UNDEF;
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(SvUV(ST(1))))) {
        TerminateProcess(process, 0);
        CloseHandle(process);
    }
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_WhoUsesPort) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    XSRETURN_UNDEF;
}

XS_INTERNAL(xs_WhoUsesModule) {
    dXSARGS;
    HV* self = items == 2 ? hash_of(aTHX_ ST(0)) : nullptr;
    ModuleMap* map = self && fetch(aTHX_ self, kProcsKey) ? module_map_of(aTHX_ self) : nullptr;
    if (map == nullptr || !SvOK(ST(1))) XSRETURN_UNDEF;
    const char* path = SvPV_nolen(ST(1));
    DWORD serial = 0;
    ULONGLONG index = 0;
    if (*path == '\0' || !file_identity(path, serial, index)) XSRETURN_UNDEF;
    const FileNode* file = find_file(*map, serial, index);
    if (file == nullptr || file->processes == nullptr) XSRETURN_UNDEF;
    AV* pids = newAV();
    for (const ProcessNode* p = file->processes; p; p = p->next) av_push(pids, newSVuv(p->pid));
    ST(0) = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(pids)));
    XSRETURN(1);
}

XS_INTERNAL(xs_DESTROY) {
    dXSARGS;
    HV* self = items == 1 ? hash_of(aTHX_ ST(0)) : nullptr;
    ModuleMap* map = self ? module_map_of(aTHX_ self) : nullptr;
    if (map != nullptr && module_maps().remove(map)) {
        store(aTHX_ self, kMapKey, newSVuv(0));
        free_module_map(map);
    }
    XSRETURN_UNDEF;
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::ProcState::LMX_PROCSTATE_FLAG_MODULES", xs_flag_modules},
    {"KALDOR::Install::ProcState::LMX_PROCSTATE_FLAG_SOCKETS", xs_flag_sockets},
    {"KALDOR::Install::ProcState::new", xs_new},
    {"KALDOR::Install::ProcState::GetSID", xs_GetSID},
    {"KALDOR::Install::ProcState::Terminate", xs_Terminate},
    {"KALDOR::Install::ProcState::WhoUsesPort", xs_WhoUsesPort},
    {"KALDOR::Install::ProcState::WhoUsesModule", xs_WhoUsesModule},
    {"KALDOR::Install::ProcState::DESTROY", xs_DESTROY},
};

const char* const kFieldFunctions[] = {
    "KALDOR::Install::ProcState::GetArgs", "KALDOR::Install::ProcState::GetCmd",
    "KALDOR::Install::ProcState::GetUid", "KALDOR::Install::ProcState::GetPPid"};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__ProcState) {
    PERL_UNUSED_VAR(cv);
    const I32 ax = lmx::boot_begin(aTHX_ "ProcState");
    lmx::register_functions(aTHX_ "ProcState", kFunctions,
                            sizeof kFunctions / sizeof kFunctions[0]);
    for (I32 i = 0; i < 4; ++i) {
        CV* field = newXS_flags(kFieldFunctions[i], xs_get_field, "ProcState", nullptr, 0);
        CvXSUBANY(field).any_i32 = i;
    }
    lmx::boot_end(aTHX_ ax);
}
