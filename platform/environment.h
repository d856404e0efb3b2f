// Process environment and working directory (kernel32).
#pragma once

#include "platform/types.h"

// Copies the variable's value; returns its length, the size needed
// (including the terminator) when nSize is too small, or 0 with
// ERROR_ENVVAR_NOT_FOUND (203) when it is not set.
DWORD GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);

// Sets the variable, or removes it when lpValue is NULL.
BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue);

// The working directory, with the same length rules as
// GetEnvironmentVariableA.
DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);

BOOL SetCurrentDirectoryA(LPCSTR lpPathName);
