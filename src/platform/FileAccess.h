// Opening files for the layers, so that a path the user names can never block a call.
#pragma once

#include "platform/UniqueFd.h"
#include "platform/WinTypes.h"

#include <string>

#include <sys/stat.h>

// Opens a path that must be a regular file, without blocking on a FIFO or device (flags:
// O_RDONLY or O_RDWR; close-on-exec, never a controlling terminal). An empty UniqueFd with
// `error` set to the open's errno, or to EISDIR (a folder) or ENXIO (anything else that is
// not a regular file); `error` is 0 on success, and `info` (when given) receives the file's
// status.
UniqueFd openRegularFile(const std::string& path, int flags, int& error,
                         struct stat* info = nullptr);
// The system code for openRegularFile's `error` on `path`: what is not a regular file is
// refused (ERROR_ACCESS_DENIED), a missing file or folder told apart.
DWORD ErrorFromOpenRegularFile(int error, const std::string& path);
