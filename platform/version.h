// Version resources of program files (version.dll GetFileVersionInfoSizeA,
// GetFileVersionInfoA, VerQueryValueA), read from Windows program files by
// our own resource reader: the PE headers, the resource tree and the version
// block are each checked against the bytes the file holds.
#pragma once

#include "platform/types.h"

using PUINT = UINT*;

// The size of the buffer that GetFileVersionInfoA needs for the file's
// version resource (type 16, name 1; the neutral language, else US English,
// else the first language present), or 0 with the last error set: the
// file's own open failure, ERROR_BAD_EXE_FORMAT for a file that is no PE
// image, ERROR_RESOURCE_DATA_NOT_FOUND for one without resources (or with a
// broken or looping resource tree, or a version block that does not fit),
// ERROR_RESOURCE_TYPE_NOT_FOUND for one without a version resource.
// *lpdwHandle, when given, is set to 0.
DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle);

// Fills lpData with the version block followed by the room that
// VerQueryValueA converts text values into. dwLen must be at least the size
// that GetFileVersionInfoSizeA reported (else ERROR_INSUFFICIENT_BUFFER);
// dwHandle is ignored.
BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData);

// Finds a value in a buffer filled by GetFileVersionInfoA. lpSubBlock is a
// path of keys separated by backslashes, compared without regard to case:
// "\" is the fixed file information, "\VarFileInfo\Translation" the list of
// languages and code pages, "\StringFileInfo\040904E4\FileVersion" a text.
// A text value comes back in the ANSI code page (UTF-8 here), NUL-terminated,
// with *puLen its length including the terminator; other values as they are
// stored, with *puLen their size in bytes. FALSE with
// ERROR_RESOURCE_TYPE_NOT_FOUND when the path names nothing.
BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen);
