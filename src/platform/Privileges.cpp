// Process token: a process-wide set of enabled privileges. Token handles carry their access
// mask in the handle value itself, so they own nothing and need no closing.

#include "platform/Privileges.h"

#include "platform/Kernel.h"

#include <QString>

#include <atomic>

namespace {

constexpr DWORD kBackupLuid = 17;  // the platform's SE_BACKUP_PRIVILEGE
constexpr DWORD kRestoreLuid = 18; // SE_RESTORE_PRIVILEGE
constexpr std::uintptr_t kTokenTag = 0x7E5A0000;
constexpr std::uintptr_t kTagMask = 0xFFFF0000;
constexpr DWORD kTokenRights = 0x01FF;
constexpr DWORD kMaximumAllowed = 0x02000000;

HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

std::atomic<bool> privilegesHeld{true};
std::atomic<bool> backupEnabled{false};
std::atomic<bool> restoreEnabled{false};

std::atomic<bool>* privilegeFlag(const LUID& luid)
{
    if (luid.HighPart != 0)
        return nullptr;
    if (luid.LowPart == kBackupLuid)
        return &backupEnabled;
    if (luid.LowPart == kRestoreLuid)
        return &restoreEnabled;
    return nullptr;
}

bool isToken(HANDLE handle, DWORD& access)
{
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if ((value & kTagMask) != kTokenTag)
        return false;
    access = static_cast<DWORD>(value & kTokenRights);
    return true;
}

} // namespace

HANDLE GetCurrentProcess()
{
    return kCurrentProcess;
}

BOOL OpenProcessToken(HANDLE processHandle, DWORD desiredAccess, HANDLE* tokenHandle)
{
    if (!tokenHandle) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *tokenHandle = nullptr;
    if (processHandle != kCurrentProcess) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const DWORD access =
        (desiredAccess & kMaximumAllowed) ? kTokenRights : (desiredAccess & kTokenRights);
    *tokenHandle = reinterpret_cast<HANDLE>(kTokenTag | access);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, LUID* luid)
{
    if (!name || !luid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (systemName && *systemName) {
        SetLastError(ERROR_NOT_SUPPORTED); // no remote systems
        return FALSE;
    }
    const QString text = QString::fromUtf16(name);
    if (text.compare(u"SeBackupPrivilege", Qt::CaseInsensitive) == 0) {
        *luid = {kBackupLuid, 0};
    } else if (text.compare(u"SeRestorePrivilege", Qt::CaseInsensitive) == 0) {
        *luid = {kRestoreLuid, 0};
    } else {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE tokenHandle, BOOL disableAllPrivileges,
                           const TOKEN_PRIVILEGES* newState, DWORD bufferLength,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength)
{
    (void)bufferLength;
    DWORD access = 0;
    if (!isToken(tokenHandle, access)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(access & TOKEN_ADJUST_PRIVILEGES)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (previousState || (!disableAllPrivileges && !newState)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (returnLength)
        *returnLength = 0;
    if (disableAllPrivileges) {
        backupEnabled = false;
        restoreEnabled = false;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    bool allAssigned = true;
    const LUID_AND_ATTRIBUTES* entries = newState->Privileges;
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
        std::atomic<bool>* flag = privilegeFlag(entries[i].Luid);
        if (!flag || !privilegesHeld) {
            allAssigned = false;
            continue;
        }
        if (entries[i].Attributes & SE_PRIVILEGE_REMOVED)
            *flag = false;
        else
            *flag = (entries[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

BOOL IsPrivilegeEnabled(const LUID& luid)
{
    std::atomic<bool>* flag = privilegeFlag(luid);
    return flag && privilegesHeld && *flag;
}

void SetPrivilegesHeld(bool held)
{
    privilegesHeld = held;
    if (!held) {
        backupEnabled = false;
        restoreEnabled = false;
    }
}
