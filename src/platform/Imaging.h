// The imaging calls (WIM*), over libwim, with the argument meanings, flag values, results
// and last-error behaviour the program relies on. Handles are opaque; zero is failure.
// A failed call sets the thread's last-error code (GetLastError) to a code that
// FormatMessageW can turn into text.
#pragma once

#include "WinTypes.h"

#include <functional>
#include <string>
#include <vector>

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

// ==== ESD files, split sets, browsing, extraction, rebuilding and verifying =====================
// The calls behind the pages beyond the described eight. Where the Windows imaging library has
// the call (WIMSetReferenceFile, WIMSplitFile, WIMExtractImagePath) it has that name and
// meaning; the others are this layer's own, in the same style. Each runs on the calling thread
// and sets the last error on failure. The long ones send their messages to the registered
// callbacks; an answer of WIM_MSG_ABORT_IMAGE stops them with ERROR_REQUEST_ABORTED. Every new
// file they make (a part, a joined or a rebuilt WIM) is written under a stage name beside its
// target, locked while written, and renamed into place only when complete (StageFile.h): a
// failed or aborted call leaves no new or partial file, and a source is never changed.

// WIM_COMPRESS_LZMS as the compression of a new WIM (WIMCreateFile) writes LZMS in solid
// resources, as Microsoft's ESD files are written. Existing files keep their own compression.
// WIM_INFO::WimAttributes: the file has the solid format of ESD files (WIM version 3584, which
// solid resources and LZMS need).
inline constexpr DWORD WIM_ATTRIBUTE_SOLID = 0x00000040;

inline constexpr DWORD WIM_REFERENCE_APPEND = 0x00010000;
inline constexpr DWORD WIM_REFERENCE_REPLACE = 0x00020000;

// The data of the WIM at `path` (another part of a split set, or any WIM whose data the images
// of `wim` use) is read from there by every later call on `wim` that reads file data: apply,
// export, extraction, join and verify. flags: WIM_REFERENCE_APPEND, with WIM_FLAG_VERIFY to
// check the referenced file's integrity table first. Only a regular file is read (else
// ERROR_ACCESS_DENIED, without blocking); ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND, and
// for a file that is no WIM, or a damaged one, ERROR_BAD_FORMAT, ERROR_FILE_CORRUPT or
// ERROR_CRC. WIM_REFERENCE_REPLACE is refused with ERROR_NOT_SUPPORTED: libwim cannot drop a
// reference once made (a new handle starts without any).
BOOL WIMSetReferenceFile(HANDLE wim, LPCWSTR path, DWORD flags);

// The name of part `partNumber` of the split set whose first part is `firstPart`, as
// WIMSplitFile names the parts: the number goes before the file name's last dot
// ("install.swm", "install2.swm", "install3.swm", ...; without a dot it is appended). Part 1
// is firstPart itself.
std::u16string WIMSplitPartPath(const std::u16string& firstPart, DWORD partNumber);

// WIM_MSG_SPLIT: a part is about to be written. wParam: the part's path (LPCWSTR); lParam: a
// const WIM_SPLIT_PART*.
struct WIM_SPLIT_PART {
    DWORD PartNumber;
    DWORD TotalParts;
};

// Splits the WIM open as `wim` into parts of at most partSize->QuadPart bytes, the first at
// partPath and the others named by WIMSplitPartPath. A part holds whole resources, so a
// resource larger than the part size makes its part larger (WIMGetOversizeFiles names such
// files first). With partPath null, partSize receives the smallest part size the WIM can be
// split into: its largest resource as stored. Messages: WIM_MSG_SPLIT per part, then
// WIM_MSG_PROGRESS over the whole set. The parts replace files of their names only once all
// are written, each only while no other writer holds its lock (ERROR_SHARING_VIOLATION), and
// never the source itself (ERROR_INVALID_PARAMETER). ERROR_NOT_SUPPORTED for a file in solid
// resources (WIM_ATTRIBUTE_SOLID) or one that is itself a part of a split set;
// ERROR_INVALID_PARAMETER for a part size of 0.
BOOL WIMSplitFile(HANDLE wim, LPCWSTR partPath, LARGE_INTEGER* partSize, DWORD flags);

// A file whose data, as stored, is larger than a part size: image index and path inside it.
struct WIM_OVERSIZE_FILE {
    DWORD ImageIndex;
    std::u16string Path;
    ULONGLONG StoredBytes;
};
// The files of every image whose data cannot share a part of partSize bytes. Reads the images'
// metadata only when the WIM holds such a resource at all.
BOOL WIMGetOversizeFiles(HANDLE wim, ULONGLONG partSize, std::vector<WIM_OVERSIZE_FILE>* files);

// Writes the split set whose first part is open as `wim` (its other parts given with
// WIMSetReferenceFile) as one WIM at `targetPath`: every image and its data, the set's GUID
// and, with WIM_FLAG_VERIFY, an integrity table. Messages: WIM_MSG_PROGRESS. An existing
// target is replaced only while no other writer holds its lock (ERROR_SHARING_VIOLATION) and
// never when it is the first part itself (ERROR_INVALID_PARAMETER). ERROR_INVALID_PARAMETER
// too when `wim` is no first part of a split set; data missing from the parts given fails
// with ERROR_FILE_CORRUPT.
BOOL WIMJoinSplitFile(HANDLE wim, LPCWSTR targetPath, DWORD flags);

// WIMRebuildFile compression: keep the file's own.
inline constexpr DWORD WIM_COMPRESS_KEEP = 0xFFFFFFFF;

// Rebuilds the WIM open as `wim` (opened for writing) into a new file beside it that holds
// only what its images use, and renames that over it: the space that deleted images and
// earlier changes left behind is gone. compressionType WIM_COMPRESS_KEEP copies the data as
// stored (solid stays solid); WIM_COMPRESS_NONE to WIM_COMPRESS_LZMS recompresses everything
// (LZMS solid, as an ESD). An integrity table stays, and is written with WIM_FLAG_VERIFY.
// Messages: WIM_MSG_PROGRESS. The file is read through a descriptor that holds its shared lock
// for the whole call, so writers that lock (libwim, this program, a read-write mount) cannot
// change it meanwhile (a file locked by one at the start: ERROR_SHARING_VIOLATION). Before the
// rename the lock is made exclusive and the file must be the one that was read, unchanged
// (same file, size, times and header), and the rename must replace exactly that file;
// otherwise ERROR_SHARING_VIOLATION and the file stays as it is. At any moment, a kill
// included, the path holds the old file or the complete new one. *sizeBefore and *sizeAfter
// (when given) receive the sizes of the old and the new file. The handle still describes the
// file as it was: close it.
BOOL WIMRebuildFile(HANDLE wim, DWORD compressionType, DWORD flags, ULONGLONG* sizeBefore,
                    ULONGLONG* sizeAfter);

// What WIMVerifyFile found wrong.
enum WIM_VERIFY_KIND : DWORD {
    WIM_VERIFY_INTEGRITY_TABLE = 1, // the integrity table does not match the file (Path: the file)
    WIM_VERIFY_IMAGE_METADATA = 2,  // image ImageIndex's metadata is damaged (Error: the cause)
    WIM_VERIFY_MISSING_DATA = 3,    // Path in image ImageIndex has data the file does not hold
    WIM_VERIFY_DAMAGED_DATA = 4,    // a stream's data is damaged: Hash, Size, a file using it
};
struct WIM_VERIFY_PROBLEM {
    WIM_VERIFY_KIND Kind;
    DWORD ImageIndex;    // 0 when not about one image
    DWORD Error;         // the cause as a system code
    std::u16string Path; // a path inside image ImageIndex (or the file, for the table)
    BYTE Hash[20];       // the stream's SHA-1 (WIM_VERIFY_DAMAGED_DATA)
    ULONGLONG Size;      // its size in bytes
    DWORD OtherUsers;    // further paths that use the stream
};
struct WIM_VERIFY_RESULT {
    BOOL HasIntegrityTable = FALSE;
    DWORD ImageCount = 0;
    ULONGLONG StreamCount = 0;
    ULONGLONG StreamBytes = 0;
    std::vector<WIM_VERIFY_PROBLEM> Problems;
};
// Checks the WIM open as `wim` end to end: its integrity table when it has one (of every part
// of a split set), every image's metadata, that every image's data is present, and every
// stream's SHA-1 digest. Messages: WIM_MSG_PROGRESS. TRUE when nothing is wrong. FALSE with
// ERROR_FILE_CORRUPT when something is: result->Problems names each damaged image and each
// damaged stream (with a file that uses it); other causes (a read error) fail with their code.
BOOL WIMVerifyFile(HANDLE wim, DWORD flags, WIM_VERIFY_RESULT* result);

// One entry of an image, as WIMEnumImageFiles gives it.
struct WIM_FIND_DATA {
    LPCWSTR Path;     // full path inside the image, '/' separated; "/" for the root
    LPCWSTR Name;     // the last component ("" for the root)
    DWORD Attributes; // the entry's FILE_ATTRIBUTE_* bits
    ULONGLONG Size;   // bytes of its unnamed data (0 for a folder)
    FILETIME CreationTime;
    FILETIME LastWriteTime;
    DWORD Depth; // 0 for the root
};
inline constexpr DWORD WIM_ENUM_CHILDREN = 0x1;  // only the entries in the folder at `path`
inline constexpr DWORD WIM_ENUM_RECURSIVE = 0x2; // the entry at `path` and everything below it
// Calls visit for the entries at `path` inside the image (a folder's children, or with
// WIM_ENUM_RECURSIVE the entry and all below it, in tree order; with neither, the entry
// alone). The record's texts are valid during the call only. visit returning FALSE stops the
// walk with ERROR_CANCELLED. ERROR_PATH_NOT_FOUND when the image has no such path,
// ERROR_DIRECTORY for WIM_ENUM_CHILDREN on a file, ERROR_FILE_CORRUPT for damaged metadata.
BOOL WIMEnumImageFiles(HANDLE image, LPCWSTR path, DWORD flags,
                       const std::function<BOOL(const WIM_FIND_DATA&)>& visit);

// Extraction: an existing file at a target path may be replaced.
inline constexpr DWORD WIM_EXTRACT_OVERWRITE = 0x00010000;

// Extracts the files and folders at imagePaths[0..count) inside the image into targetFolder
// (made when missing), each at its path below the image root (/Windows/win.ini becomes
// targetFolder/Windows/win.ini). Nothing is ever written outside targetFolder, whatever names
// the image holds: the entries are written into a new folder inside it first, and moved into
// place only when all are complete, without following any link. Before anything is written,
// every entry is checked and the call fails, naming it in a WIM_MSG_ERROR (path, code), for:
// a path the image does not have (ERROR_PATH_NOT_FOUND) or that holds "." or ".."
// (ERROR_INVALID_NAME); a name no file can have here ("", ".", "..", one holding '/',
// ERROR_INVALID_NAME; longer than 255 bytes, ERROR_FILENAME_EXCED_RANGE); and, without
// WIM_EXTRACT_OVERWRITE, an entry already in the target (ERROR_FILE_EXISTS; a folder that is
// a folder in both is merged). With WIM_EXTRACT_OVERWRITE existing files and links are
// replaced, never written through; a folder is never replaced by a file (ERROR_DIRECTORY).
// Link targets are kept as stored. Messages: WIM_MSG_SETRANGE (lParam: the number of entries),
// WIM_MSG_PROCESS per entry (its target path), WIM_MSG_PROGRESS. A failed or aborted call
// leaves the target as it was.
BOOL WIMExtractImagePaths(HANDLE image, const LPCWSTR* imagePaths, DWORD count,
                          LPCWSTR targetFolder, DWORD flags);
// Extracts the one file or folder at imagePath inside the image as destinationPath (its
// folder must exist), by WIMExtractImagePaths' rules.
BOOL WIMExtractImagePath(HANDLE image, LPCWSTR imagePath, LPCWSTR destinationPath, DWORD flags);
