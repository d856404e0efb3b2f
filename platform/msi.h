// Installed Windows Installer products (msi MsiEnumProductsA,
// MsiQueryProductStateA, MsiGetProductInfoA), read from the registry as
// Windows also shows them: a product is installed when the key
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{product code}
// holds the DWORD value WindowsInstaller = 1. Its properties are values of
// that key: InstalledProductName is DisplayName, VersionString is
// DisplayVersion, and every other property (Version, PackageName, ...) is
// the value of its own name. A DWORD or QWORD value reads as its decimal
// text, any other as its bytes up to the first NUL.
#pragma once

#include "platform/types.h"

using INSTALLSTATE = int;
#define INSTALLSTATE_INVALIDARG (-2)
#define INSTALLSTATE_UNKNOWN (-1)
#define INSTALLSTATE_ADVERTISED 1
#define INSTALLSTATE_ABSENT 2
#define INSTALLSTATE_DEFAULT 5

#define INSTALLPROPERTY_PACKAGENAME "PackageName"
#define INSTALLPROPERTY_VERSION "Version"
#define INSTALLPROPERTY_VERSIONSTRING "VersionString"
#define INSTALLPROPERTY_INSTALLEDPRODUCTNAME "InstalledProductName"

// The product code at position iProductIndex (in the order of the Uninstall
// key's subkeys), upper case, into lpProductBuf (39 bytes);
// ERROR_NO_MORE_ITEMS past the last product.
UINT MsiEnumProductsA(DWORD iProductIndex, LPSTR lpProductBuf);

// INSTALLSTATE_DEFAULT for an installed product, INSTALLSTATE_UNKNOWN for
// any other product code, INSTALLSTATE_INVALIDARG for a string that is no
// product code ("{" 8-4-4-4-12 hexadecimal digits "}").
INSTALLSTATE MsiQueryProductStateA(LPCSTR szProduct);

// A property of an installed product into lpValueBuf, whose room
// *pcchValueBuf counts characters with the terminator; the value's length
// comes back in *pcchValueBuf. ERROR_MORE_DATA with the length when it does
// not fit (the buffer then holds as much as fits); with lpValueBuf NULL
// only the length. ERROR_UNKNOWN_PRODUCT, ERROR_UNKNOWN_PROPERTY,
// ERROR_INVALID_PARAMETER for a string that is no product code.
UINT MsiGetProductInfoA(LPCSTR szProduct, LPCSTR szAttribute, LPSTR lpValueBuf,
                        LPDWORD pcchValueBuf);
