// The lmxreg subcommands for the store's other tables: the operations
// scheduled for the next start, and the drive letters.
#include <sys/stat.h>

#include <cstdio>

#include "platform/admin_store.h"
#include "platform/reboot_operations.h"
#include "tools/lmxreg/commands.h"

namespace lmxreg {
namespace {

std::string describe(const platform::store::PendingRename& operation) {
    if (operation.target.empty()) return "delete  " + operation.source;
    const bool replace = operation.target[0] == '!';
    return (replace ? "replace " : "rename  ") + operation.source + " -> " +
           operation.target.substr(replace ? 1 : 0);
}

std::string drive_name(char letter) { return std::string(1, letter) + ":"; }

}  // namespace

int pending(const Arguments& args) {
    if (!args.operands.empty()) return fail(args.operands[0] + ": pending takes no operand");
    bool failed = false;
    bool any = false;
    DWORD status = ERROR_SUCCESS;
    if (args.has("run")) {
        status = platform::run_pending_operations(
            [&](const platform::store::PendingRename& operation, DWORD result) {
                any = true;
                if (result == ERROR_SUCCESS) {
                    std::printf("%s: done\n", describe(operation).c_str());
                } else {
                    fail(describe(operation) + ": " + system_text(result));
                    failed = true;
                }
            });
    } else {
        std::vector<platform::store::PendingRename> operations;
        status = platform::store::pending_file_renames(operations);
        for (const auto& operation : operations) std::printf("%s\n", describe(operation).c_str());
        any = !operations.empty();
    }
    if (status) return fail("PendingFileRenameOperations", status);
    if (!any) std::printf("No operations are pending.\n");
    return failed ? 1 : 0;
}

int drive(const Arguments& args) {
    if (args.operands.empty()) {
        for (const auto& [letter, root] : platform::store::drive_mappings())
            std::printf("%s %s\n", drive_name(letter).c_str(), root.c_str());
        return 0;
    }
    const std::string& name = args.operands[0];
    if (name.size() != 2 || name[1] != ':') return fail(name + " is not a drive (for example D:)");
    std::string root;
    if (!args.has("d")) {
        if (args.operands.size() != 2) return fail("drive " + name + " needs a directory or /d");
        root = args.operands[1];
        struct stat st {};
        if (root[0] != '/' || ::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return fail(root + ": not an absolute path of a directory");
    } else if (args.operands.size() != 1) {
        return fail("drive " + name + " /d takes no directory");
    }
    const DWORD status = platform::store::set_drive_mapping(name[0], root);
    if (status == ERROR_FILE_NOT_FOUND) return fail(name + " is not mapped in the store");
    if (status == ERROR_INVALID_PARAMETER)
        return fail(name + " is not a letter the store maps (A: to Z:; C: is always /)");
    if (status) return fail(name, status);
    std::printf("The operation completed successfully.\n");
    return 0;
}

}  // namespace lmxreg
