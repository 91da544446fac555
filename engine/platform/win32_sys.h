// The Win32 host layer's own: the calls that the failure seam counts, and the slot that
// keeps the reason of the last failure. Included by the Win32 units only.
#pragma once
#include <windows.h>

// Record the reason of a failure (what platLastError tells); each returns -1.
long long failWin32(DWORD code);
long long failWin32();  // GetLastError's
long long failCrt(int error);
long long failText(const char* text);
bool lastFailureIs(DWORD code);

HANDLE sysCreateFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
// Opens or creates name below the directory handle dir (null: the current directory) with
// the native call, which unlike CreateFileA starts from a handle. INVALID_HANDLE_VALUE on
// failure.
HANDLE sysOpenRelative(HANDLE dir, const char* name, ACCESS_MASK access, ULONG disposition,
                       ULONG options);
bool sysTransfer(HANDLE h, char* buffer, DWORD count, DWORD* moved, OVERLAPPED* at, bool write);
bool sysCloseHandle(HANDLE h);                       // the handle is closed whatever the result
bool sysMoveFile(const char* from, const char* to);  // replacing the target

// A fresh name beside target: target.tmpPID.N.
bool win32TempName(const char* target, char* out, size_t outSize);
