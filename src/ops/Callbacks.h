// The imaging library's message callbacks of apply, capture (and append) and export. Each is
// registered with its operation's context as the user data (WIMRegisterMessageCallback), and
// reads and changes that context: it moves the progress dialog's bar, status and count
// lines, logs the library's error, retry, information and warning messages, and answers
// WIM_MSG_PROCESS with WIM_MSG_ABORT_IMAGE once an abort has been requested. Only messages
// WIM_MSG_PROGRESS to WIM_MSG_WARNING are examined; every other message, and every message
// without a context, returns WIM_MSG_SUCCESS at once.
//
// All three run on the thread that made the imaging call (the operation's worker thread).
#pragma once

#include "ops/Context.h"
#include "platform/Imaging.h"

// Apply: progress against the source image's folderCount + fileCount, one count per entry.
DWORD ApplyMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData);

// Capture and append. Before WIM_MSG_SETRANGE (fileCount 0) every WIM_MSG_PROCESS is an
// exclusion question answered with context.captureConfig->isExcluded (the scan notice is
// logged once, each excluded path is logged as the library gave it); afterwards processing
// messages are only counted. WIM_MSG_COMPRESS is answered with isCompressionExcluded and
// logs nothing. Without a loaded captureConfig nothing is excluded.
DWORD CaptureMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData);

// Export: as apply, and the count line is emptied when the library reports 100 percent.
DWORD ExportMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData);
