// The one way from the causes the layers meet (errno values, libwim's codes) to the
// platform's system error codes. Every layer maps through these tables and nowhere else; a
// cause travels between functions as a value, never in errno. FormatMessageW
// (FORMAT_MESSAGE_FROM_SYSTEM) has a text, in Chinese and English, for every code they give.
#pragma once

#include "WinTypes.h"

#include <string>

// The system code for an errno value: ERROR_SUCCESS for 0, ERROR_GEN_FAILURE for a value
// the table does not know.
DWORD ErrorFromErrno(int err);

// ErrorFromErrno for a call on the file `path`: ENOENT is ERROR_FILE_NOT_FOUND when the
// file's folder exists, else ERROR_PATH_NOT_FOUND, as the platform tells the two apart.
DWORD ErrorFromErrnoForFile(int err, const std::string& path);

// ErrorFromErrno for a call on a folder: a missing folder (ENOENT) is a missing path.
DWORD ErrorFromErrnoForFolder(int err);

// The system code for a libwim error code. `cause` is errno as read right after the failing
// libwim call (0 when unknown): it refines only the codes of failed system calls (open,
// read, write, ...), for which libwim leaves the call's errno; for those a cause of 0 or one
// the errno table does not know gives the code's own fallback (ERROR_WRITE_FAULT for a
// write, ...). ERROR_GEN_FAILURE for a code the table does not know.
DWORD ErrorFromWimlib(int code, int cause);
