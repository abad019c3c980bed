// The imaging calls (WIM*), over libwim, with the argument meanings, flag values, results
// and last-error behaviour the program relies on. Handles are opaque; zero is failure.
// A failed call sets the thread's last-error code (GetLastError) to a code that
// FormatMessageW can turn into text.
#pragma once

#include "WinTypes.h"

#include <string>

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
inline constexpr DWORD WIM_COMPRESS_LZMS = 3;

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
// Handles are checked against the live ones before use; closed or foreign handles fail with
// ERROR_INVALID_HANDLE. An image handle outlives its WIM handle only as a handle that fails.
// A failed call sets the thread's last error; WIMGetLastErrorDetail may say more.

// Opens or starts a WIM. Access GENERIC_READ is implied. OPEN_EXISTING needs the file
// (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND); CREATE_NEW fails on an existing file
// (ERROR_FILE_EXISTS); CREATE_ALWAYS and OPEN_ALWAYS on a missing file start a new WIM with
// the given compression (WIM_COMPRESS_*; LZMS is written solid) and need GENERIC_WRITE and a
// writable folder. Only a regular file is a WIM: a folder, device, FIFO or socket is refused
// at once with ERROR_ACCESS_DENIED, for reading and as a target, and nothing opened can block.
// A symbolic link is read and written where it points (a new file is made where a dangling
// link points) and stays a link. Opening for writing fails with ERROR_ACCESS_DENIED for a file
// without write permission bits (also for root) or one the file system will not let be
// changed or replaced (chattr +i or +a), ERROR_WRITE_PROTECT on a read-only file system, and
// CREATE_ALWAYS over a file another writer or a read-write mount holds with
// ERROR_SHARING_VIOLATION, before any work. WIM_FLAG_VERIFY checks the integrity table while
// opening (ERROR_CRC on a mismatch) and writes one with every change. A file that is no WIM
// fails with ERROR_BAD_FORMAT, a damaged or truncated one with ERROR_FILE_CORRUPT.
// An open for writing first undoes an append of this program that ended half way (see
// ImagingUndo.h) and removes stage files of ended runs in the folder; an undo record it may
// not use is left alone and reported as a detail with ERROR_SUCCESS. An open for reading
// never restores or removes anything.
HANDLE WIMCreateFile(LPCWSTR wimPath, DWORD desiredAccess, DWORD creationDisposition,
                     DWORD flagsAndAttributes, DWORD compressionType, DWORD* creationResult);
// Closes an image handle, or a WIM handle, which writes what is pending (ImagingCommit.h):
// into an existing file, captures and exports with their information, information and the
// boot index; a new WIM is written in one pass and put in place of the target. The messages
// of pending captures and exports (WIM_MSG_PROCESS per entry, WIM_MSG_PROGRESS) go to the
// callbacks still registered, whose abort answer makes the close fail with
// ERROR_REQUEST_ABORTED. A failed write fails the close with the cause (the handle is freed
// either way) and leaves the file as it was; a new WIM then leaves no file. A new WIM that
// no capture or export went into leaves no file.
BOOL WIMCloseHandle(HANDLE object);
// Checks that a file can be created in the folder (ERROR_PATH_NOT_FOUND, ERROR_DIRECTORY, or
// the file system's code); libwim itself needs no temporary folder for these calls.
BOOL WIMSetTemporaryPath(HANDLE wim, LPCWSTR path);
BOOL WIMGetAttributes(HANDLE wim, WIM_INFO* wimInfo, DWORD cbWimInfo);
// An image handle of image `imageIndex` (1 to the count, else ERROR_INVALID_PARAMETER). Only
// the image's information is read, never its tree of files.
HANDLE WIMLoadImage(HANDLE wim, DWORD imageIndex);
// Reads the metadata (the tree of files) of the image now, so that a damaged image fails
// here, with libwim's cause (ERROR_FILE_CORRUPT, ERROR_CRC), and not part way through the
// call that reads its files. WIMLoadImage does not read it; information needs no tree.
BOOL WIMReadImageTree(HANDLE image);
DWORD WIMGetImageCount(HANDLE wim);
// Needs a handle opened for writing; written when the handle is closed.
BOOL WIMSetBootImage(HANDLE wim, DWORD imageIndex);
// Scans the folder into a new image in memory within the call: WIM_MSG_PROCESS for every
// entry the scan meets, the source folder included (answer FALSE leaves the entry, and
// everything below a folder, out), with WIM_MSG_SCANNING (new folders, files so far); then
// WIM_MSG_SETRANGE with the file count; then WIM_MSG_COMPRESS for every file (the answer is
// taken, but libwim has no per-file choice: it stores data that does not compress
// uncompressed by itself). The data is written when the WIM handle is closed. The WIM file
// itself is never captured. libwim's own description of a Windows tree (WINDOWS, FLAGS,
// DISPLAYNAME, DISPLAYDESCRIPTION) is removed; the image has no NAME. WIM_FLAG_NO_RP_FIX
// stores absolute links as they are; WIM_FLAG_VERIFY reads the written WIM back and checks
// every piece of data. Files libwim cannot store (devices, sockets, pipes) are left out with
// WIM_MSG_WARNING (path, ERROR_NOT_SUPPORTED); a read error is sent as WIM_MSG_ERROR (path,
// code) and skipped when the callback answers WIM_MSG_SKIP_ERROR.
HANDLE WIMCaptureImage(HANDLE wim, LPCWSTR path, DWORD captureFlags);
// Writes the image's files into the folder within the call: WIM_MSG_PROCESS once per folder
// and file (the target folder included), so the count reaches DIRCOUNT + FILECOUNT; the
// answer cannot skip an entry. libwim checks every piece of data against its digest while
// extracting (what WIM_FLAG_VERIFY asks for). WIM_FLAG_NO_APPLY sends the messages and writes
// nothing.
BOOL WIMApplyImage(HANDLE image, LPCWSTR path, DWORD applyFlags);
// Removes the image and writes that within the call (the image's data stays in the file);
// ERROR_BUSY while an image handle of it is open.
BOOL WIMDeleteImage(HANDLE wim, DWORD imageIndex);
// Adds the image to the destination in memory, its information kept as the source holds it;
// the data is written (with WIM_MSG_PROCESS per entry, paths inside the image) when the
// destination's handle is closed, and the source is kept in memory until then, also when its
// handles are closed first. Without WIM_EXPORT_ALLOW_DUPLICATES an image whose NAME the
// destination holds is refused with ERROR_ALREADY_EXISTS.
BOOL WIMExportImage(HANDLE image, HANDLE wim, DWORD flags);
// *imageInfo receives a LocalAlloc'ed UTF-16 text starting with U+FEFF; *cbImageInfo its
// size in bytes. Free with LocalFree. On a WIM handle: the file's XML text exactly as stored
// while no image information is pending, else the layer's view with the pending changes; on
// an image handle always the view: the image's elements in order, compact, with their
// attributes, prefixes and namespace declarations, and an element stored as <NAME/> in that
// form.
BOOL WIMGetImageInformation(HANDLE object, PVOID* imageInfo, DWORD* cbImageInfo);
// Needs a handle opened for writing (ERROR_ACCESS_DENIED) and text that parses
// (ERROR_INVALID_DATA; bare '&' and '<' inside values are taken literally). The name and
// attributes of the top element are ignored; DIRCOUNT, FILECOUNT, TOTALBYTES, HARDLINKBYTES,
// CREATIONTIME, LASTMODIFICATIONTIME and WIMBOOT stay as libwim keeps them. The image gets the
// given elements in the given order, and only what differs is written, as libwim would write
// it (syncImageElements in ImagingXml.h): a changed text in place, a new element at the end;
// from the first element that must come earlier than libwim holds it (or must be emptied),
// the elements are made anew, and those carry no attributes. A text that changes nothing
// leaves nothing pending. Images may share a NAME. Written when the WIM handle is closed.
BOOL WIMSetImageInformation(HANDLE image, PVOID imageInfo, DWORD cbImageInfo);
// Registered process-wide (wim must be null). Returns INVALID_CALLBACK_VALUE on failure. A
// callback runs on the thread that made the imaging call. WIM_MSG_PROGRESS (percent,
// estimated remaining milliseconds from the bytes done so far) comes at most every 50 ms and
// always at 100. Answering WIM_MSG_ABORT_IMAGE to any message stops the call (or the close
// that writes) with ERROR_REQUEST_ABORTED, and the file is as before.
DWORD WIMRegisterMessageCallback(HANDLE wim, WIMMessageCallback callback, PVOID userData);
BOOL WIMUnregisterMessageCallback(HANDLE wim, WIMMessageCallback callback);

BOOL WIMMountImage(LPCWSTR mountPath, LPCWSTR wimFileName, DWORD imageIndex, LPCWSTR tempPath);
BOOL WIMUnmountImage(LPCWSTR mountPath, LPCWSTR wimFileName, DWORD imageIndex,
                     BOOL commitChanges);
BOOL WIMGetMountedImages(WIM_MOUNT_LIST* mountList, DWORD* cbMountListLength);

// Owns a WIM or image handle and closes it (WIMCloseHandle) when it goes, for callers that
// have no use for the close's result; moved, never copied.
class UniqueWimHandle {
public:
    UniqueWimHandle() noexcept = default;
    explicit UniqueWimHandle(HANDLE handle) noexcept : handle_(handle) {}
    UniqueWimHandle(UniqueWimHandle&& other) noexcept : handle_(other.handle_)
    {
        other.handle_ = nullptr;
    }
    UniqueWimHandle& operator=(UniqueWimHandle&& other) noexcept
    {
        if (this != &other) {
            reset();
            handle_ = other.handle_;
            other.handle_ = nullptr;
        }
        return *this;
    }
    UniqueWimHandle(const UniqueWimHandle&) = delete;
    UniqueWimHandle& operator=(const UniqueWimHandle&) = delete;
    ~UniqueWimHandle() { reset(); }

    HANDLE get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    void reset() noexcept
    {
        if (handle_)
            WIMCloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// What the layer knows about the last failure of an imaging call on this thread beyond its
// code, while GetLastError() still returns that failure's code: one of the WIM_DETAIL_* values
// (WIM_DETAIL_NONE when there is nothing more to say), and in *path (when given) the file it
// concerns. A successful WIMCreateFile for writing can leave a detail with ERROR_SUCCESS (an
// undo record it found and did not use).
inline constexpr DWORD WIM_DETAIL_NONE = 0;
// The WIM was replaced by another file (a rename onto its path) while it was being written;
// the change went to the file that was replaced. path: the WIM.
inline constexpr DWORD WIM_DETAIL_FILE_REPLACED = 1;
// Something that is no regular file stands at the undo record's name. path: that name.
inline constexpr DWORD WIM_DETAIL_RECORD_NOT_A_FILE = 2;
// An undo record owned by someone other than this user and the WIM's owner, or writable by
// others, stands at the record's name; it is never used. path: that name.
inline constexpr DWORD WIM_DETAIL_RECORD_UNTRUSTED = 3;
// The file system process of a read-write mount ended while it was committing the changes
// (WIMUnmountImage, ERROR_PROCESS_ABORTED): the commit may not have completed. path: the WIM,
// which afterwards verifies (the first) or does not (the second).
inline constexpr DWORD WIM_DETAIL_COMMIT_INTERRUPTED_FILE_VERIFIES = 4;
inline constexpr DWORD WIM_DETAIL_COMMIT_INTERRUPTED_FILE_DAMAGED = 5;
DWORD WIMGetLastErrorDetail(std::u16string* path);

// Once per process, in main before any thread starts (the library's global set-up).
// ERROR_SUCCESS, or the cause when libwim cannot be set up; no imaging call works then.
// Later calls give the first call's result.
DWORD ImagingGlobalInit();
