// The file calls of the platform, under the names it spells them: reading without waiting,
// copying, deleting, attributes and folder searches. Safe from any thread; a failure sets the
// thread's last-error code.
#pragma once

#include "platform/WinTypes.h"

#include <cstdint>
#include <functional>

// Reads the file `fileName` from its start without ever waiting: a regular file to its end,
// anything else that opens (a FIFO, a device) only as far as it holds data now and at most
// `maxUnsized` bytes. `consume` gets each piece read in turn and returns false to stop.
// ERROR_SUCCESS, or the cause (ERROR_ACCESS_DENIED for a folder; a read that fails part way
// fails).
DWORD readFileWithoutWaiting(LPCWSTR fileName, std::uint64_t maxUnsized,
                             const std::function<bool(const char*, std::size_t)>& consume);

// Copies a regular file. failIfExists false overwrites an existing destination file, but a
// symbolic link (or anything not a regular file) at the destination is never written
// through: the copy is made to a new file beside it and renamed over the destination.
BOOL CopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists);
// Removes a file (not a folder); a symbolic link is removed itself, not its target.
BOOL DeleteFileW(LPCWSTR fileName);
// Attributes of a file or folder (symbolic links followed); INVALID_FILE_ATTRIBUTES with
// the last error set when it does not exist. Letter case is matched exactly.
DWORD GetFileAttributesW(LPCWSTR fileName);

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};
// Finds the entries of a folder that match the last component of fileName ('*' and '?'
// wildcards, letters compared without case as on the platform). Returns a search handle or
// INVALID_HANDLE_VALUE (ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND).
HANDLE FindFirstFileW(LPCWSTR fileName, WIN32_FIND_DATAW* findData);
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* findData);
BOOL FindClose(HANDLE find);
