#include <cstdlib>

#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/utf16.h"
#include "runtime/host/arguments.h"
#include "runtime/host/system_text.h"
#include "runtime/win32/api_support.h"

namespace lmx::win32api {

Arguments::Arguments(pTHX_ SV** first, I32 count) : perl_(aTHX), first_(first), count_(count) {}

std::optional<std::string> Arguments::string(I32 index) {
    dTHXa(perl_);
    if (index >= count_) return std::nullopt;
    std::optional<std::string> text = string_arg(aTHX_ first_[index]);
    if (text && text->find('\0') != std::string::npos) {
        invalid_ = true;
        return std::nullopt;
    }
    return text;
}

std::optional<IV> Arguments::integer(I32 index) {
    dTHXa(perl_);
    return index < count_ ? integer_arg(aTHX_ first_[index]) : std::nullopt;
}

I32 put_results(pTHX_ I32 ax, const std::vector<SV*>& values) {
    SV** sp = PL_stack_base + ax - 1;
    EXTEND(sp, static_cast<SSize_t>(values.size()));
    for (size_t i = 0; i < values.size(); ++i) PL_stack_base[ax + i] = sv_2mortal(values[i]);
    return static_cast<I32>(values.size());
}

SV* new_text(pTHX_ const std::string& text) { return newSVpvn(text.data(), text.size()); }

std::string error_text(DWORD code) {
    return system_error_text("", code == ERROR_SUCCESS ? GetLastError() : code);
}

Wide::Wide(const std::string& text) : text_(platform::widen(text)) {}

std::string narrow_text(LPCWSTR text) { return platform::narrow(text); }

ULONG controller_flags(const char* variable) {
    return variable != nullptr && *variable != '\0' ? static_cast<ULONG>(std::atoi(variable))
                                                    : DS_DIRECTORY_SERVICE_PREFERRED;
}

int controller_name_code(const std::string& name) {
    if (name.size() <= 2) return -5;
    if (name[1] != '\\') return -4;
    if (name[0] != '\\') return -3;
    return 0;
}

int find_controller(const std::string& server, const std::string& domain,
                    std::string& controller) {
    Wide wide_server(server), wide_domain(domain);
    std::string name;
    LPBYTE block = nullptr;
    if (NetGetAnyDCName(wide_server.get(), wide_domain.get(), &block) == NERR_Success ||
        NetGetDCName(wide_server.get(), wide_domain.get(), &block) == NERR_Success) {
        NetBufferOwner owner(block);
        name = narrow_text(reinterpret_cast<LPCWSTR>(block));
    } else {
        const char* kVariable = "LMX_INSTALLER_PDC_FLAGS";
        std::string variable(GetEnvironmentVariableA(kVariable, nullptr, 0), '\0');
        variable.resize(GetEnvironmentVariableA(kVariable, variable.data(),
                                                static_cast<DWORD>(variable.size())));
        const ULONG flags = controller_flags(variable.c_str());
        PDOMAIN_CONTROLLER_INFOA info = nullptr;
        if (DsGetDcNameA(server.empty() ? nullptr : server.c_str(), domain.c_str(), nullptr,
                         nullptr, flags, &info) != ERROR_SUCCESS)
            return -1;
        NetBufferOwner owner(reinterpret_cast<BYTE*>(info));
        name = info->DomainControllerName ? info->DomainControllerName : "";
    }
    const int code = controller_name_code(name);
    if (code == 0) controller = name.substr(2);
    return code;
}

}  // namespace lmx::win32api
