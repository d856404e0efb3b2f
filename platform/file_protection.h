// System file protection (sfc SfcIsFileProtected), registered under
// "sfc.dll" for run-time lookup.
//
// On this host the system's files are those that its package manager owns:
// a file is protected when dpkg's database lists it (a line of one of the
// /var/lib/dpkg/info/*.list files). Directories are never protected. A path
// is compared as written (made absolute) and as its canonical form, which is
// also tried without a leading "/usr" for the directories that Debian merged
// into /usr (so /usr/lib/x86_64-linux-gnu/libc.so.6 is found under its
// listed name /lib/x86_64-linux-gnu/libc.so.6).
//
// The database is read once and kept as a set of hashes of its lines; it is
// read again when the directory of the lists changes.
#pragma once

#include "platform/types.h"

// TRUE when the file is protected; FALSE with the last error 0 when it is
// not; FALSE with ERROR_NOT_SUPPORTED on a host without a dpkg database, or
// the path translation's error. The RPC handle must be NULL.
BOOL SfcIsFileProtected(HANDLE RpcHandle, LPCWSTR ProtFileName);
