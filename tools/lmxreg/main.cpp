// lmxreg: the system store's registry for people. Shows, adds and deletes
// keys and values, and exports and imports registry files, in the manner of
// the Windows reg tool; lists and carries out the operations scheduled for
// the next start, and maps drive letters. Every subcommand is a row of
// kCommands.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/store.h"
#include "tools/lmxreg/commands.h"

namespace lmxreg {

int fail(const std::string& what) {
    std::fprintf(stderr, "lmxreg: %s\n", what.c_str());
    return 1;
}

std::string system_text(DWORD code) {
    const char* message = platform::system_message(code);
    if (message == nullptr) return "error " + std::to_string(code);
    std::string text = message;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

int fail(const std::string& what, DWORD code) {
    const std::string text =
        code == ERROR_FILE_NOT_FOUND ? std::string("no such key or value") : system_text(code);
    const std::string& detail = platform::store::failure_text();
    return fail(what + ": " + text + (detail.empty() ? "" : " (" + detail + ")"));
}

}  // namespace lmxreg

namespace {

struct Option {
    const char* name;
    bool takes_value;
};

struct Command {
    const char* name;
    int (*run)(const lmxreg::Arguments&);
    const char* usage;
    const char* help;
    std::initializer_list<Option> options;
};

const Command kCommands[] = {
    {"query", lmxreg::query, "query KEY [/v NAME | /ve] [/s]",
     "Shows the key's values and subkeys; /s the whole tree below it, /v one value (in every\n"
     "      key of the tree with /s), /ve the default value.",
     {{"v", true}, {"ve", false}, {"s", false}}},
    {"add", lmxreg::add, "add KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]",
     "Creates the key (and those above it) and, with /v or /ve, sets the value: TYPE is\n"
     "      REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ (strings parted by SEP,\n"
     "      default \\0), REG_DWORD or REG_QWORD (decimal or 0x hexadecimal), REG_BINARY or\n"
     "      REG_NONE (hexadecimal digits). An existing value is replaced; /f is accepted.",
     {{"v", true}, {"ve", false}, {"t", true}, {"s", true}, {"d", true}, {"f", false}}},
    {"delete", lmxreg::remove, "delete KEY [/v NAME | /ve | /va] [/f]",
     "Deletes the key with everything below it, or the value named by /v, the default\n"
     "      value (/ve), or all of the key's values (/va). Nothing asks first; /f is accepted.",
     {{"v", true}, {"ve", false}, {"va", false}, {"f", false}}},
    {"export", lmxreg::export_file, "export KEY FILE [/y]",
     "Writes the key's tree to FILE as a registry file (\"Windows Registry Editor Version\n"
     "      5.00\", UTF-16LE as Windows writes it); /y replaces an existing FILE.",
     {{"y", false}}},
    {"import", lmxreg::import_file, "import FILE",
     "Carries out a registry file: version 5.00 (UTF-16LE or UTF-8) or REGEDIT4, with\n"
     "      [-KEY] and \"name\"=- deletions. The file is checked whole before anything changes.",
     {}},
    {"pending", lmxreg::pending, "pending [--run]",
     "Lists the file operations scheduled for the next start (MoveFileEx with\n"
     "      MOVEFILE_DELAY_UNTIL_REBOOT: PendingFileRenameOperations under\n"
     "      HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager). --run carries\n"
     "      them out in order and clears them, as the system does at boot; each runs\n"
     "      once: one that fails is reported and dropped (the exit code is then 1).",
     {{"run", false}}},
    {"drive", lmxreg::drive, "drive [X: DIRECTORY | X: /d]",
     "Lists the drive letters mapped in the store; maps X: to an absolute host\n"
     "      DIRECTORY, or with /d removes the mapping. C: is always /; LMX_DRIVE_MAP\n"
     "      comes first.",
     {{"d", false}}},
};

void help() {
    std::printf(
        "lmxreg: the registry of the system store\n\n"
        "KEY is ROOT\\path, ROOT one of HKLM, HKCU, HKCR, HKU, HKCC (or HKEY_LOCAL_MACHINE ...).\n"
        "Options begin with /, - or --. The store lives in LMX_STORE_DIR when that is set,\n"
        "else in /var/lib/lmxrun/machine.db (HKLM) and $XDG_DATA_HOME/lmxrun/user.db (HKCU).\n\n");
    for (const Command& c : kCommands) std::printf("  lmxreg %s\n      %s\n\n", c.usage, c.help);
    std::printf("Errors are one line on standard error; the exit code is then 1.\n");
}

// Splits the arguments after the command into operands and the command's
// options; false with the error printed for an option it does not take.
bool parse(const Command& c, int argc, char** argv, lmxreg::Arguments& args) {
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        const Option* option = nullptr;
        if ((arg[0] == '/' || arg[0] == '-') && arg[1] != '\0') {
            const char* name = arg[0] == '-' && arg[1] == '-' ? arg + 2 : arg + 1;
            for (const Option& o : c.options)
                if (::strcasecmp(name, o.name) == 0) option = &o;
            if (!option && arg[0] == '-') {
                lmxreg::fail(std::string(arg) + ": not an option of " + c.name);
                return false;
            }
        }
        if (!option) {
            args.operands.emplace_back(arg);
            continue;
        }
        if (option->takes_value && i + 1 >= argc) {
            lmxreg::fail(std::string(arg) + " needs a value");
            return false;
        }
        args.options[option->name] = option->takes_value ? argv[++i] : "";
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return lmxreg::fail("no command given (lmxreg --help lists them)");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "/?" || command == "help") {
        help();
        return 0;
    }
    for (const Command& c : kCommands) {
        if (::strcasecmp(command.c_str(), c.name) != 0) continue;
        lmxreg::Arguments args;
        if (!parse(c, argc - 2, argv + 2, args)) return 1;
        return c.run(args);
    }
    return lmxreg::fail(command + ": unknown command (lmxreg --help lists them)");
}
