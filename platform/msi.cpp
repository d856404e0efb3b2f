#include "platform/msi.h"

#include <cctype>
#include <cstring>
#include <string>

#include "platform/registry.h"

namespace {

constexpr char kUninstall[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr size_t kProductCodeLength = 38;

bool is_product_code(const char* text) {
    if (text == nullptr || std::strlen(text) != kProductCodeLength) return false;
    for (size_t i = 0; i < kProductCodeLength; ++i) {
        const char c = text[i];
        const bool ok = i == 0                                     ? c == '{'
                        : i == kProductCodeLength - 1              ? c == '}'
                        : i == 9 || i == 14 || i == 19 || i == 24 ? c == '-'
                                                                   : std::isxdigit(
                                                                         static_cast<unsigned char>(c));
        if (!ok) return false;
    }
    return true;
}

// Opens the product's Uninstall key when the product is installed.
bool open_product(const char* code, HKEY& key) {
    const std::string path = std::string(kUninstall) + "\\" + code;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = REG_NONE, flag = 0, size = sizeof flag;
    if (RegQueryValueExA(key, "WindowsInstaller", nullptr, &type, reinterpret_cast<BYTE*>(&flag),
                         &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof flag && flag == 1)
        return true;
    RegCloseKey(key);
    return false;
}

const char* value_name_of(const char* property) {
    if (std::strcmp(property, INSTALLPROPERTY_INSTALLEDPRODUCTNAME) == 0) return "DisplayName";
    if (std::strcmp(property, INSTALLPROPERTY_VERSIONSTRING) == 0) return "DisplayVersion";
    return property;
}

std::string text_of(DWORD type, const std::string& data) {
    if ((type == REG_DWORD && data.size() == 4) || (type == REG_QWORD && data.size() == 8)) {
        unsigned long long number = 0;
        for (size_t i = data.size(); i-- > 0;)
            number = (number << 8) | static_cast<unsigned char>(data[i]);
        return std::to_string(number);
    }
    return data.substr(0, data.find('\0'));
}

}  // namespace

UINT MsiEnumProductsA(DWORD iProductIndex, LPSTR lpProductBuf) {
    if (lpProductBuf == nullptr) return ERROR_INVALID_PARAMETER;
    HKEY uninstall = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstall, 0, KEY_READ, &uninstall);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_NO_MORE_ITEMS;
    if (rc) return static_cast<UINT>(rc);
    platform::registry::KeyContents contents;
    rc = platform::registry::read_key(uninstall, contents);
    RegCloseKey(uninstall);
    if (rc) return static_cast<UINT>(rc);
    DWORD position = 0;
    for (const std::string& name : contents.subkeys) {
        HKEY product = nullptr;
        if (!is_product_code(name.c_str()) || !open_product(name.c_str(), product)) continue;
        RegCloseKey(product);
        if (position++ != iProductIndex) continue;
        for (size_t i = 0; i <= kProductCodeLength; ++i)
            lpProductBuf[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
        return ERROR_SUCCESS;
    }
    return ERROR_NO_MORE_ITEMS;
}

INSTALLSTATE MsiQueryProductStateA(LPCSTR szProduct) {
    if (!is_product_code(szProduct)) return INSTALLSTATE_INVALIDARG;
    HKEY product = nullptr;
    if (!open_product(szProduct, product)) return INSTALLSTATE_UNKNOWN;
    RegCloseKey(product);
    return INSTALLSTATE_DEFAULT;
}

UINT MsiGetProductInfoA(LPCSTR szProduct, LPCSTR szAttribute, LPSTR lpValueBuf,
                        LPDWORD pcchValueBuf) {
    if (!is_product_code(szProduct) || szAttribute == nullptr ||
        (lpValueBuf != nullptr && pcchValueBuf == nullptr))
        return ERROR_INVALID_PARAMETER;
    HKEY product = nullptr;
    if (!open_product(szProduct, product)) return ERROR_UNKNOWN_PRODUCT;
    const char* name = value_name_of(szAttribute);
    DWORD type = REG_NONE, size = 0;
    LONG rc = RegQueryValueExA(product, name, nullptr, &type, nullptr, &size);
    std::string data(size, '\0');
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExA(product, name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]),
                              &size);
    RegCloseKey(product);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_UNKNOWN_PROPERTY;
    if (rc) return static_cast<UINT>(rc);
    data.resize(size);
    const std::string text = text_of(type, data);
    if (pcchValueBuf == nullptr) return ERROR_SUCCESS;
    const DWORD room = *pcchValueBuf;
    *pcchValueBuf = static_cast<DWORD>(text.size());
    if (lpValueBuf == nullptr) return ERROR_SUCCESS;
    if (text.size() >= room) {
        if (room > 0) {
            std::memcpy(lpValueBuf, text.data(), room - 1);
            lpValueBuf[room - 1] = '\0';
        }
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpValueBuf, text.c_str(), text.size() + 1);
    return ERROR_SUCCESS;
}
