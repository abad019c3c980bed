// Process token and privileges. Reading hive files needs no privilege on Linux, so the
// process token holds exactly the two privileges the program asks for, "SeBackupPrivilege"
// and "SeRestorePrivilege", and may enable them; no other privilege name is known.
#pragma once

#include "WinTypes.h"

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};

struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};

inline constexpr DWORD ANYSIZE_ARRAY = 1;
struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[ANYSIZE_ARRAY];
};

inline constexpr DWORD SE_PRIVILEGE_ENABLED_BY_DEFAULT = 0x00000001;
inline constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
inline constexpr DWORD SE_PRIVILEGE_REMOVED = 0x00000004;

inline constexpr DWORD TOKEN_QUERY = 0x0008;
inline constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;

// A pseudo handle for the running process; needs no closing.
HANDLE GetCurrentProcess();
// A token handle for the current process (the only process that can be named). Token
// handles need no closing. ERROR_INVALID_HANDLE for another process handle,
// ERROR_INVALID_PARAMETER for a null tokenHandle.
BOOL OpenProcessToken(HANDLE processHandle, DWORD desiredAccess, HANDLE* tokenHandle);
// The identifier of a privilege name (letters compared without case) on the local system
// (systemName null or empty). ERROR_NO_SUCH_PRIVILEGE for any name other than the two above.
BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, LUID* luid);
// Enables or disables the privileges listed in newState (or disables all). Returns TRUE
// when the call was carried out; the last error is then ERROR_SUCCESS when every listed
// privilege was changed, ERROR_NOT_ALL_ASSIGNED when the token does not hold one of them.
// previousState is not supported (ERROR_INVALID_PARAMETER when given). Needs a token opened
// with TOKEN_ADJUST_PRIVILEGES (else ERROR_ACCESS_DENIED).
BOOL AdjustTokenPrivileges(HANDLE tokenHandle, BOOL disableAllPrivileges,
                           const TOKEN_PRIVILEGES* newState, DWORD bufferLength,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength);
// Whether privilege `luid` is enabled in the process token (the platform's PrivilegeCheck,
// reduced to one privilege of the own token).
BOOL IsPrivilegeEnabled(const LUID& luid);

// Whether the process token holds the two privileges. True by default; false stands for a
// process started without elevation, so that callers can be run through that path.
void SetPrivilegesHeld(bool held);
