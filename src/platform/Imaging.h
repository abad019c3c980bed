// The imaging calls (WIM*), over libwim, with the argument meanings, flag values, results
// and last-error behaviour the program relies on. Handles are opaque; zero is failure.
// A failed call sets the thread's last-error code (GetLastError) to a code that
// FormatMessageW can turn into text.
#pragma once

#include "WinTypes.h"

// ---- flags and values ---------------------------------------------------------------------
inline constexpr DWORD WIM_GENERIC_READ = GENERIC_READ;
inline constexpr DWORD WIM_GENERIC_WRITE = GENERIC_WRITE;
inline constexpr DWORD WIM_CREATE_NEW = CREATE_NEW;
inline constexpr DWORD WIM_CREATE_ALWAYS = CREATE_ALWAYS;
inline constexpr DWORD WIM_OPEN_EXISTING = OPEN_EXISTING;
inline constexpr DWORD WIM_OPEN_ALWAYS = OPEN_ALWAYS;

inline constexpr DWORD WIM_COMPRESS_NONE = 0;
inline constexpr DWORD WIM_COMPRESS_XPRESS = 1;
inline constexpr DWORD WIM_COMPRESS_LZX = 2;

inline constexpr DWORD WIM_CREATED_NEW = 0;
inline constexpr DWORD WIM_OPENED_EXISTING = 1;

inline constexpr DWORD WIM_FLAG_RESERVED = 0x00000001;
inline constexpr DWORD WIM_FLAG_VERIFY = 0x00000002;
inline constexpr DWORD WIM_FLAG_INDEX = 0x00000004;
inline constexpr DWORD WIM_FLAG_NO_APPLY = 0x00000008;
inline constexpr DWORD WIM_FLAG_NO_DIRACL = 0x00000010;
inline constexpr DWORD WIM_FLAG_NO_FILEACL = 0x00000020;
inline constexpr DWORD WIM_FLAG_SHARE_WRITE = 0x00000040;
inline constexpr DWORD WIM_FLAG_FILEINFO = 0x00000080;
inline constexpr DWORD WIM_FLAG_NO_RP_FIX = 0x00000100;
inline constexpr DWORD WIM_FLAG_MOUNT_READONLY = 0x00000200;

inline constexpr DWORD WIM_EXPORT_ALLOW_DUPLICATES = 0x00000001;
inline constexpr DWORD WIM_EXPORT_ONLY_RESOURCES = 0x00000002;
inline constexpr DWORD WIM_EXPORT_ONLY_METADATA = 0x00000004;

inline constexpr DWORD WIM_ATTRIBUTE_NORMAL = 0x00000000;
inline constexpr DWORD WIM_ATTRIBUTE_RESOURCE_ONLY = 0x00000001;
inline constexpr DWORD WIM_ATTRIBUTE_METADATA_ONLY = 0x00000002;
inline constexpr DWORD WIM_ATTRIBUTE_VERIFY_DATA = 0x00000004;
inline constexpr DWORD WIM_ATTRIBUTE_RP_FIX = 0x00000008;
inline constexpr DWORD WIM_ATTRIBUTE_SPANNED = 0x00000010;
inline constexpr DWORD WIM_ATTRIBUTE_READONLY = 0x00000020;

// ---- messages -----------------------------------------------------------------------------
inline constexpr DWORD WIM_MSG = 38006;
inline constexpr DWORD WIM_MSG_TEXT = 38007;
inline constexpr DWORD WIM_MSG_PROGRESS = 38008;  // wParam percent, lParam remaining ms
inline constexpr DWORD WIM_MSG_PROCESS = 38009;   // wParam LPCWSTR path, lParam BOOL* process
inline constexpr DWORD WIM_MSG_SCANNING = 38010;  // wParam folders to add, lParam file count
inline constexpr DWORD WIM_MSG_SETRANGE = 38011;  // lParam number of files
inline constexpr DWORD WIM_MSG_SETPOS = 38012;
inline constexpr DWORD WIM_MSG_STEPIT = 38013;
inline constexpr DWORD WIM_MSG_COMPRESS = 38014;  // wParam LPCWSTR path, lParam BOOL* compress
inline constexpr DWORD WIM_MSG_ERROR = 38015;     // wParam LPCWSTR path, lParam error code
inline constexpr DWORD WIM_MSG_ALIGNMENT = 38016;
inline constexpr DWORD WIM_MSG_RETRY = 38017;
inline constexpr DWORD WIM_MSG_SPLIT = 38018;
inline constexpr DWORD WIM_MSG_FILEINFO = 38019;
inline constexpr DWORD WIM_MSG_INFO = 38020;
inline constexpr DWORD WIM_MSG_WARNING = 38021;

inline constexpr DWORD WIM_MSG_SUCCESS = 0;
inline constexpr DWORD WIM_MSG_DONE = 0xFFFFFFF0;
inline constexpr DWORD WIM_MSG_SKIP_ERROR = 0xFFFFFFFE;
inline constexpr DWORD WIM_MSG_ABORT_IMAGE = 0xFFFFFFFF;
inline constexpr DWORD INVALID_CALLBACK_VALUE = 0xFFFFFFFF;

// A message callback. Runs on the thread that made the imaging call.
using WIMMessageCallback = DWORD (*)(DWORD messageId, WPARAM wParam, LPARAM lParam,
                                     PVOID userData);

// ---- records ------------------------------------------------------------------------------
struct WIM_INFO {
    WCHAR WimPath[MAX_PATH];
    GUID Guid;
    DWORD ImageCount;
    DWORD CompressionType;
    WORD PartNumber;
    WORD TotalParts;
    DWORD BootIndex;
    DWORD WimAttributes;
    DWORD WimFlagsAndAttr;
};
static_assert(sizeof(WIM_INFO) == 560);

struct WIM_MOUNT_LIST {
    WCHAR WimPath[MAX_PATH];
    WCHAR MountPath[MAX_PATH];
    DWORD ImageIndex;
    BOOL MountedForRW;
};
static_assert(sizeof(WIM_MOUNT_LIST) == 1048);

// ---- calls --------------------------------------------------------------------------------
HANDLE WIMCreateFile(LPCWSTR wimPath, DWORD desiredAccess, DWORD creationDisposition,
                     DWORD flagsAndAttributes, DWORD compressionType, DWORD* creationResult);
BOOL WIMCloseHandle(HANDLE object);
BOOL WIMSetTemporaryPath(HANDLE wim, LPCWSTR path);
BOOL WIMGetAttributes(HANDLE wim, WIM_INFO* wimInfo, DWORD cbWimInfo);
HANDLE WIMLoadImage(HANDLE wim, DWORD imageIndex);
DWORD WIMGetImageCount(HANDLE wim);
BOOL WIMSetBootImage(HANDLE wim, DWORD imageIndex);
HANDLE WIMCaptureImage(HANDLE wim, LPCWSTR path, DWORD captureFlags);
BOOL WIMApplyImage(HANDLE image, LPCWSTR path, DWORD applyFlags);
BOOL WIMDeleteImage(HANDLE wim, DWORD imageIndex);
BOOL WIMExportImage(HANDLE image, HANDLE wim, DWORD flags);
// *imageInfo receives a LocalAlloc'ed UTF-16 text starting with U+FEFF; *cbImageInfo its
// size in bytes. Free with LocalFree.
BOOL WIMGetImageInformation(HANDLE object, PVOID* imageInfo, DWORD* cbImageInfo);
BOOL WIMSetImageInformation(HANDLE image, PVOID imageInfo, DWORD cbImageInfo);
// Registered process-wide (wim must be null). Returns INVALID_CALLBACK_VALUE on failure.
DWORD WIMRegisterMessageCallback(HANDLE wim, WIMMessageCallback callback, PVOID userData);
BOOL WIMUnregisterMessageCallback(HANDLE wim, WIMMessageCallback callback);

BOOL WIMMountImage(LPCWSTR mountPath, LPCWSTR wimFileName, DWORD imageIndex, LPCWSTR tempPath);
BOOL WIMUnmountImage(LPCWSTR mountPath, LPCWSTR wimFileName, DWORD imageIndex,
                     BOOL commitChanges);
BOOL WIMGetMountedImages(WIM_MOUNT_LIST* mountList, DWORD* cbMountListLength);

// Once per process, in main before any thread starts (the library's global set-up).
void ImagingGlobalInit();
