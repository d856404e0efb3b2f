#include "runtime/host/module_table.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/modules.h"

EXTERN_C void boot_DynaLoader(pTHX_ CV* cv);

namespace lmx {
namespace {

// A standard extension module of the Perl installation: its registered
// bootstrap is a bridge that loads the installed shared object and hands the
// untouched call to the object's own boot function.
struct StandardModule {
    const char* package;
    const char* boot_symbol;
    const char* path;
};

const StandardModule kStandardModules[] = {
#include "standard_modules.inc"
};

struct TableEntry {
    const char* sub;
    XSUBADDR_t boot;       // the module's boot function, or null for a bridge
    const char* standard;  // the bridged standard module's package
};

const TableEntry kModuleTable[] = {
    {"attributes::bootstrap", nullptr, "attributes"},
    {"B::bootstrap", nullptr, "B"},
    {"DynaLoader::boot_DynaLoader", boot_DynaLoader, nullptr},
    {"Math::BigInt::FastCalc::bootstrap", nullptr, "Math::BigInt::FastCalc"},
    {"threads::bootstrap", nullptr, "threads"},
    {"threads::shared::bootstrap", nullptr, "threads::shared"},
    {"IO::bootstrap", nullptr, "IO"},
    {"XML::Parser::Expat::bootstrap", nullptr, "XML::Parser::Expat"},
    {"List::Util::bootstrap", nullptr, "List::Util"},
    {"KALDOR::Install::SysInfo::bootstrap", boot_KALDOR__Install__SysInfo, nullptr},
    {"KALDOR::Install::ProcState::bootstrap", boot_KALDOR__Install__ProcState, nullptr},
    {"KALDOR::Install::PipeExec::bootstrap", boot_KALDOR__Install__PipeExec, nullptr},
    {"KALDOR::Install::FileLock::bootstrap", boot_KALDOR__Install__FileLock, nullptr},
    {"KALDOR::Install::FSUsage::bootstrap", boot_KALDOR__Install__FSUsage, nullptr},
    {"KALDOR::Install::BackupPipe::bootstrap", boot_KALDOR__Install__BackupPipe, nullptr},
    {"KALDOR::Install::BuildInfo::bootstrap", boot_KALDOR__Install__BuildInfo, nullptr},
    {"KALDOR::Install::MachInfo::bootstrap", boot_KALDOR__Install__MachInfo, nullptr},
    {"KALDOR::Install::MD5Sum::bootstrap", boot_KALDOR__Install__MD5Sum, nullptr},
    {"KALDOR::Install::SetUser::bootstrap", boot_KALDOR__Install__SetUser, nullptr},
    {"KALDOR::Install::Untgz::bootstrap", boot_KALDOR__Install__Untgz, nullptr},
    {"KALDOR::Install::Jar::bootstrap", boot_KALDOR__Install__Jar, nullptr},
    {"KALDOR::Install::GnuTar::bootstrap", boot_KALDOR__Install__GnuTar, nullptr},
    {"KALDOR::Install::System::Unix::Dir::bootstrap", boot_KALDOR__Install__System__Unix__Dir,
     nullptr},
    {"KALDOR::Install::System::Unix::bootstrap", boot_KALDOR__Install__System__Unix, nullptr},
    {"KALDOR::Install::System::Win32::VersionInfo::bootstrap",
     boot_KALDOR__Install__System__Win32__VersionInfo, nullptr},
    {"KALDOR::Install::System::Win32::Registry::bootstrap",
     boot_KALDOR__Install__System__Win32__Registry, nullptr},
    {"KALDOR::Install::System::Win32::API::bootstrap", boot_KALDOR__Install__System__Win32__API,
     nullptr},
    {"KALDOR::Install::System::Win32::SecurityInfo::bootstrap",
     boot_KALDOR__Install__System__Win32__SecurityInfo, nullptr},
    {"KALDOR::Install::System::Win32::Console::bootstrap",
     boot_KALDOR__Install__System__Win32__Console, nullptr},
    {"LMX::Install::System::Win32::Msinst::bootstrap", boot_LMX__Install__System__Win32__Msinst,
     nullptr},
    {"Term::ReadKey::bootstrap", nullptr, "Term::ReadKey"},
    {"LMX::Common::bootstrap", boot_LMX__Common, nullptr},
    {"LMX::Common::Archive::Tar::bootstrap", boot_LMX__Common__Archive__Tar, nullptr},
    {"LMX::Common::Archive::Zip::bootstrap", boot_LMX__Common__Archive__Zip, nullptr},
    {"KALDOR::Install::DataDumper::bootstrap", boot_KALDOR__Install__DataDumper, nullptr},
};

const char kHostUnit[] = "libLMXRun";

constexpr size_t kObjectPathSize = 4096;

// The shared object that the bridge loads into path: the kit's own copy,
// RuntimeDir/auto/Parts/Last.so, when the kit carries one (a kit made to
// run without the host's Perl library does), else the installed one.
void standard_object_path(pTHX_ const StandardModule& module, char (&path)[kObjectPathSize]) {
    std::snprintf(path, sizeof path, "%s", module.path);
    HV* config = get_hv("KALDOR::Install::Config", 0);
    SV** dir = config == nullptr ? nullptr : hv_fetchs(config, "RuntimeDir", 0);
    if (dir == nullptr || !SvOK(*dir)) return;
    std::string kit = std::string(SvPV_nolen(*dir)) + "/auto/";
    const std::string package = module.package;
    size_t start = 0;
    for (size_t cut; (cut = package.find("::", start)) != std::string::npos; start = cut + 2)
        kit += package.substr(start, cut - start) + "/";
    const std::string last = package.substr(start);
    kit += last + "/" + last + ".so";
    if (kit.size() < sizeof path && GetFileAttributesA(kit.c_str()) != INVALID_FILE_ATTRIBUTES)
        std::snprintf(path, sizeof path, "%s", kit.c_str());
}

XS_INTERNAL(bridge_standard_module) {
    const auto* module = static_cast<const StandardModule*>(XSANY.any_ptr);
    char path[kObjectPathSize];
    standard_object_path(aTHX_ *module, path);
    HMODULE object = LoadLibraryExA(path, nullptr, 0);
    if (object == nullptr) {
        char text[512] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       GetLastError(), 0, text, sizeof text, nullptr);
        croak("Can't load '%s' for module %s: %s", path, module->package, text);
    }
    auto boot = reinterpret_cast<XSUBADDR_t>(GetProcAddress(object, module->boot_symbol));
    if (boot == nullptr) croak("Can't find '%s' symbol in %s\n", module->boot_symbol, path);
    // Recorded beside the dynamic loader's list of what it loaded, for the
    // tracing mode (ModuleTrace.pl).
    av_push(get_av("LMX::Common::bridged_objects", GV_ADD), newSVpv(path, 0));
    // The shared object stays loaded for the rest of the process, as the
    // Perl library's own dynamic loader keeps it.
    boot(aTHX_ cv);
}

const StandardModule* standard_module(const char* package) {
    for (const StandardModule& m : kStandardModules)
        if (std::strcmp(m.package, package) == 0) return &m;
    return nullptr;
}

}  // namespace

void register_static_modules(pTHX) {
    for (const TableEntry& entry : kModuleTable) {
        if (entry.boot != nullptr) {
            newXS(entry.sub, entry.boot, kHostUnit);
            continue;
        }
        const StandardModule* module = standard_module(entry.standard);
        if (module == nullptr) croak("no shared object is recorded for %s\n", entry.standard);
        CV* bridge = newXS(entry.sub, bridge_standard_module, kHostUnit);
        CvXSUBANY(bridge).any_ptr = const_cast<StandardModule*>(module);
    }
}

}  // namespace lmx
