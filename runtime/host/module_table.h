// The static module table: every native module of the runtime, registered
// under Package::bootstrap before any Perl code runs.
#pragma once

#include "runtime/host/perl_api.h"

namespace lmx {

// The interpreter-start hook (xs_init) that registers the table.
void register_static_modules(pTHX);

}  // namespace lmx

// Boot functions of the native modules, one per package.
XS_EXTERNAL(boot_LMX__Common);
XS_EXTERNAL(boot_KALDOR__Install__MD5Sum);
XS_EXTERNAL(boot_KALDOR__Install__SetUser);
XS_EXTERNAL(boot_KALDOR__Install__System__Unix__Dir);
XS_EXTERNAL(boot_KALDOR__Install__System__Unix);
XS_EXTERNAL(boot_KALDOR__Install__DataDumper);
XS_EXTERNAL(boot_LMX__Common__Archive__Tar);
XS_EXTERNAL(boot_LMX__Common__Archive__Zip);
XS_EXTERNAL(boot_KALDOR__Install__Jar);
XS_EXTERNAL(boot_KALDOR__Install__FileLock);
XS_EXTERNAL(boot_KALDOR__Install__FSUsage);
XS_EXTERNAL(boot_KALDOR__Install__Untgz);
XS_EXTERNAL(boot_KALDOR__Install__ProcState);
XS_EXTERNAL(boot_KALDOR__Install__PipeExec);
XS_EXTERNAL(boot_KALDOR__Install__System__Win32__API);
XS_EXTERNAL(boot_KALDOR__Install__System__Win32__SecurityInfo);
XS_EXTERNAL(boot_KALDOR__Install__System__Win32__Console);
XS_EXTERNAL(boot_KALDOR__Install__System__Win32__Registry);
XS_EXTERNAL(boot_LMX__Install__System__Win32__Msinst);
XS_EXTERNAL(boot_KALDOR__Install__BackupPipe);
XS_EXTERNAL(boot_KALDOR__Install__GnuTar);
XS_EXTERNAL(boot_KALDOR__Install__SysInfo);
XS_EXTERNAL(boot_KALDOR__Install__MachInfo);
XS_EXTERNAL(boot_KALDOR__Install__BuildInfo);
XS_EXTERNAL(boot_KALDOR__Install__System__Win32__VersionInfo);
