// The process table of KALDOR::Install::ProcState as plain records and
// functions: the process list by its two routes and the map of which
// processes use which files, filled by the two module routes. All reach the
// system through calls looked up at run time, as the module does.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

namespace lmx::procstate {

// One process of the list, while the snapshot is built.
struct ProcessRecord {
    std::string name;  // "idle" for process id 0
    bool has_command_line = false;
    std::string command_line;
    DWORD pid = 0;
    DWORD ppid = 0;
    DWORD uid = 0;
};

// The process-list route (Toolhelp snapshot, command lines through ntdll).
bool list_by_toolhelp(std::vector<ProcessRecord>& list);

// The system-information route (NtQuerySystemInformation).
bool list_by_system_information(std::vector<ProcessRecord>& list);

// The module map: volumes, their files and the processes using each file,
// each list in insertion order without duplicates.
struct FileUsers {
    ULONGLONG index;
    std::vector<DWORD> pids;
};

struct VolumeFiles {
    DWORD serial;
    std::vector<FileUsers> files;
};

struct ModuleMap {
    std::vector<VolumeFiles> volumes;
};

void record_module(ModuleMap& map, DWORD serial, ULONGLONG index, DWORD pid);
const FileUsers* find_file(const ModuleMap& map, DWORD serial, ULONGLONG index);

// The (volume serial, file index) of the file at `path`.
bool file_identity(const char* path, DWORD& serial, ULONGLONG& index);

// The module-snapshot route (Toolhelp) and the module-enumeration route
// (psapi) for one process: true when every module was recorded.
bool collect_by_module_snapshot(ModuleMap& map, DWORD pid);
bool collect_by_module_enumeration(ModuleMap& map, DWORD pid);

}  // namespace lmx::procstate
