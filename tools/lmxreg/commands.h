// The subcommands of lmxreg. Each takes its parsed arguments and returns
// the exit code, having printed its one error line on failure.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/types.h"

namespace lmxreg {

struct Arguments {
    std::vector<std::string> operands;           // in order
    std::map<std::string, std::string> options;  // lower-case name ("v", "ve", ...) -> value
    bool has(const char* name) const { return options.count(name) != 0; }
    std::string get(const char* name, const std::string& fallback = std::string()) const {
        const auto found = options.find(name);
        return found == options.end() ? fallback : found->second;
    }
};

// One line to standard error ("lmxreg: " and `what`); returns 1.
int fail(const std::string& what);

// The system text of `code` without its line end ("error N" without one).
std::string system_text(DWORD code);

// `what`, ": " and the system text of `code` ("no such key or value" for
// ERROR_FILE_NOT_FOUND), with the store's own account of the failure when
// it has one.
int fail(const std::string& what, DWORD code);

int query(const Arguments& args);
int add(const Arguments& args);
int remove(const Arguments& args);
int export_file(const Arguments& args);
int import_file(const Arguments& args);
int pending(const Arguments& args);
int drive(const Arguments& args);

}  // namespace lmxreg
