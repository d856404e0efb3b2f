// KALDOR::Install::FSUsage: the filesystem that holds a path (a drive, a
// network share or the mount point), whether it is remote, and its size and
// free space, so that the installer can account for disk space per
// filesystem.
#include <cstdint>
#include <string>

#include "platform/filesystems.h"
#include "platform/modules.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"
#include "runtime/system/filesystem_name.h"

namespace {

// Total, free and caller-available blocks of the filesystem, and its block
// size in bytes.
struct FsBlocks {
    std::uint64_t total;
    std::uint64_t free;
    std::uint64_t available;
    std::uint64_t block_size;
};

using DiskFreeSpaceEx = BOOL (*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);

// The block counts of the named filesystem: the cluster geometry of the
// basic query, the counts of the extended query when the system offers it
// (else the basic cluster counts). False when the block size is unknown.
bool filesystem_blocks(const std::string& name, FsBlocks& blocks) {
    DWORD sectors_per_cluster = 0, bytes_per_sector = 0, free_clusters = 0, total_clusters = 0;
    GetDiskFreeSpaceA(name.c_str(), &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                      &total_clusters);
    blocks.block_size = static_cast<std::uint64_t>(sectors_per_cluster) * bytes_per_sector;
    if (blocks.block_size == 0) return false;
    blocks.total = total_clusters;
    blocks.free = blocks.available = free_clusters;
    HMODULE kernel = LoadLibraryA("kernel32.dll");
    auto extended = kernel ? reinterpret_cast<DiskFreeSpaceEx>(
                                 GetProcAddress(kernel, "GetDiskFreeSpaceExA"))
                           : nullptr;
    ULARGE_INTEGER available, total, free;
    if (extended != nullptr && extended(name.c_str(), &available, &total, &free)) {
        blocks.total = total.QuadPart / blocks.block_size;
        blocks.free = free.QuadPart / blocks.block_size;
        blocks.available = available.QuadPart / blocks.block_size;
    }
    if (kernel != nullptr) FreeLibrary(kernel);
    return true;
}

// The filesystem name of the one path argument; false for a wrong argument
// count, an empty path or a name that cannot be determined.
bool name_argument(pTHX_ I32 items, SV** args, std::string& name) {
    if (items != 1 || !SvOK(args[0])) return false;
    STRLEN length;
    const char* path = SvPV(args[0], length);
    return length > 0 && lmx::filesystem_name(std::string(path, length), name);
}

XS_INTERNAL(xs_GetFSName) {
    dXSARGS;
    std::string name;
    if (!name_argument(aTHX_ items, &ST(0), name)) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newSVpvn(name.data(), name.size()));
    XSRETURN(1);
}

XS_INTERNAL(xs_IsRemoteFS) {
    dXSARGS;
    std::string name;
    if (!name_argument(aTHX_ items, &ST(0), name)) XSRETURN_UNDEF;
    const char last = name.back();
    if (last != '\\' && last != '/') name += '\\';
    switch (GetDriveTypeA(name.c_str())) {
        case DRIVE_REMOTE: XSRETURN_IV(1);
        case DRIVE_UNKNOWN:
        case DRIVE_NO_ROOT_DIR: XSRETURN_UNDEF;
        default: XSRETURN_IV(0);
    }
}

XS_INTERNAL(xs_GetFSSize) {
    dXSARGS;
    std::string name;
    if (!name_argument(aTHX_ items, &ST(0), name)) XSRETURN_UNDEF;
    FsBlocks blocks;
    if (!filesystem_blocks(name, blocks)) XSRETURN_UNDEF;
    auto kilobytes = [&blocks](std::uint64_t count) {
        return blocks.block_size >= 1024 ? count * (blocks.block_size / 1024)
                                         : count / (1024 / blocks.block_size);
    };
    EXTEND(SP, 3);
    ST(0) = sv_2mortal(newSVuv(kilobytes(blocks.total)));
    ST(1) = sv_2mortal(newSVuv(kilobytes(blocks.available)));
    ST(2) = sv_2mortal(newSVuv(1024));
    XSRETURN(3);
}

XS_INTERNAL(xs_GetFSSizeInBlocks) {
    dXSARGS;
    std::string name;
    if (!name_argument(aTHX_ items, &ST(0), name)) XSRETURN_UNDEF;
    FsBlocks blocks;
    if (!filesystem_blocks(name, blocks)) XSRETURN_UNDEF;
    EXTEND(SP, 5);
    ST(0) = sv_2mortal(newSVuv(blocks.total));
    ST(1) = sv_2mortal(newSVuv(blocks.free));
    ST(2) = sv_2mortal(newSVuv(blocks.available));
    ST(3) = sv_2mortal(newSVuv(blocks.block_size));
    ST(4) = sv_2mortal(newSVuv(1));
    XSRETURN(5);
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::FSUsage::GetFSName", xs_GetFSName},
    {"KALDOR::Install::FSUsage::IsRemoteFS", xs_IsRemoteFS},
    {"KALDOR::Install::FSUsage::GetFSSize", xs_GetFSSize},
    {"KALDOR::Install::FSUsage::GetFSSizeInBlocks", xs_GetFSSizeInBlocks},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__FSUsage) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "FSUsage", kFunctions);
}
