// KALDOR::Install::ProcState: a snapshot of the machine's processes taken
// when the object is made (command, arguments, parent, user of each), which
// processes have mapped a given file, the owner of a live process, and
// terminating one.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/processes.h"
#include "platform/security.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/native_object.h"
#include "runtime/host/xs_module.h"
#include "runtime/system/process_snapshot.h"

namespace {

using namespace lmx::procstate;

const char kDefaultClass[] = "KALDOR::Install::ProcState";
const char kProcsKey[] = "procs";
const char kMapKey[] = "modlistptr";
constexpr IV kFlagModules = 1;
constexpr IV kFlagSockets = 2;

using lmx::hash_fetch;
using lmx::hash_of;
using lmx::hash_store;

// The object's module map. A thread's clone of the object gets none (the
// process list, plain Perl data, is cloned with it).
ModuleMap* module_map_of(pTHX_ HV* object) {
    return lmx::record_at<ModuleMap>(aTHX_ hash_fetch(aTHX_ object, kMapKey));
}

// The hash of the first process in `procs` with the given id, or null.
HV* process_of(pTHX_ SV* object, SV* pid_argument) {
    HV* self = hash_of(object);
    SV* procs = self ? hash_fetch(aTHX_ self, kProcsKey) : nullptr;
    if (procs == nullptr || !SvROK(procs) || SvTYPE(SvRV(procs)) != SVt_PVAV) return nullptr;
    AV* list = reinterpret_cast<AV*>(SvRV(procs));
    const UV pid = static_cast<UV>(lmx::iv_arg(aTHX_ pid_argument));
    for (SSize_t i = 0; i <= av_len(list); ++i) {
        SV** entry = av_fetch(list, i, 0);
        HV* process = entry ? hash_of(*entry) : nullptr;
        SV* id = process ? hash_fetch(aTHX_ process, "pid") : nullptr;
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

std::unique_ptr<ModuleMap> collect_modules(const std::vector<ProcessRecord>& processes) {
    auto map = std::make_unique<ModuleMap>();
    for (const ProcessRecord& p : processes)
        if (!collect_by_module_snapshot(*map, p.pid)) collect_by_module_enumeration(*map, p.pid);
    if (map->volumes.empty()) return nullptr;
    return map;
}

void set_process_fields(pTHX_ HV* hash, const ProcessRecord& p) {
    hash_store(aTHX_ hash, "pid", newSVuv(p.pid));
    hash_store(aTHX_ hash, "ppid", newSVuv(p.ppid));
    hash_store(aTHX_ hash, "uid", newSVuv(p.uid));
    hash_store(aTHX_ hash, "cmd", p.name);
    if (p.has_command_line) hash_store(aTHX_ hash, "args", p.command_line);
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
    const IV flags = items >= 2 ? lmx::integer_arg(aTHX_ ST(1)).value_or(0) : 0;
    HV* self = newHV();
    SV* object = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(self)));
    sv_bless(object, gv_stashpv(class_name, GV_ADD));

    enable_debug_privilege();
    std::vector<ProcessRecord> processes;
    if (list_by_toolhelp(processes) || list_by_system_information(processes)) {
        if (flags & kFlagModules) {
            if (std::unique_ptr<ModuleMap> map = collect_modules(processes)) {
                SV* holder = newSV(0);
                hash_store(aTHX_ self, kMapKey, holder);
                lmx::attach_record(aTHX_ holder, std::move(map));
            }
        }
        hash_store(aTHX_ self, kProcsKey,
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
    SV* value = process ? hash_fetch(aTHX_ process, kFields[XSANY.any_i32]) : nullptr;
    if (value == nullptr) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newSVsv(value));
    XSRETURN(1);
}

XS_INTERNAL(xs_GetSID) {
    dXSARGS;
    if (items != 2) XSRETURN_UNDEF;
    HANDLE process = OpenProcess(READ_CONTROL | PROCESS_QUERY_INFORMATION, FALSE,
                                 static_cast<DWORD>(lmx::iv_arg(aTHX_ ST(1))));
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
    if (HANDLE process =
            OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(lmx::iv_arg(aTHX_ ST(1))))) {
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
    HV* self = items == 2 ? hash_of(ST(0)) : nullptr;
    ModuleMap* map = self && hash_fetch(aTHX_ self, kProcsKey) ? module_map_of(aTHX_ self) : nullptr;
    const std::optional<std::string> path = map ? lmx::text_arg(aTHX_ ST(1)) : std::nullopt;
    DWORD serial = 0;
    ULONGLONG index = 0;
    if (!path || path->c_str()[0] == '\0' || !file_identity(path->c_str(), serial, index))
        XSRETURN_UNDEF;
    const FileUsers* file = find_file(*map, serial, index);
    if (file == nullptr || file->pids.empty()) XSRETURN_UNDEF;
    AV* pids = newAV();
    for (DWORD pid : file->pids) av_push(pids, newSVuv(pid));
    ST(0) = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(pids)));
    XSRETURN(1);
}

XS_INTERNAL(xs_DESTROY) {
    dXSARGS;
    HV* self = items == 1 ? hash_of(ST(0)) : nullptr;
    if (self != nullptr) lmx::take_record<ModuleMap>(aTHX_ hash_fetch(aTHX_ self, kMapKey));
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
