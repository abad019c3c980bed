// Mount layer details beyond the WIM* calls of Imaging.h: the mounted-image information with
// its flags, and where the mount helper lives.
// WIMMountImage, WIMUnmountImage and WIMGetMountedImages are declared in Imaging.h,
// WIMGetMountedImageInfo here; their contracts on this platform:
//
// WIMMountImage(mountPath, wimFileName, imageIndex, tempPath): mounts the image on an
//   existing empty folder, read-write exactly when tempPath is given (not null, not empty;
//   the folder in which the changes are staged, in a folder of the helper's own that goes
//   when the mount ends), read-only otherwise. Relative paths are taken
//   against the current folder. The mount runs in the helper process pelloric-mount-helper,
//   which stays behind as the file system's daemon; the call returns once the mount is ready
//   or has failed. Last errors: ERROR_INVALID_PARAMETER (empty path, index 0 or beyond the
//   image count), ERROR_FILE_NOT_FOUND (no such WIM file), ERROR_BAD_FORMAT (not a WIM
//   file), ERROR_FILE_CORRUPT (damaged WIM), ERROR_PATH_NOT_FOUND (no such mount or staging
//   folder), ERROR_DIRECTORY (not a folder), ERROR_DIR_NOT_EMPTY (mount folder not empty),
//   ERROR_DEV_NOT_EXIST (no /dev/fuse), ERROR_ACCESS_DENIED (no permission, or a read-write
//   mount of a read-only WIM), ERROR_WRITE_PROTECT (a read-write mount of a WIM on a
//   read-only file system), ERROR_SHARING_VIOLATION (the WIM is being changed by someone
//   else), ERROR_FILENAME_EXCED_RANGE (the full path of the folder or of the WIM file is
//   longer than a WIM_MOUNT_LIST entry holds, 259 characters), ERROR_MOD_NOT_FOUND (the
//   helper is missing), ERROR_GEN_FAILURE (the helper died).
//
// WIMUnmountImage(mountPath, wimFileName, imageIndex, commitChanges): unmounts the image
//   mounted on mountPath, in the calling process, committing the changes of a read-write
//   mount when commitChanges is set. wimFileName (when not empty) and imageIndex (when not
//   0) must name the image that is mounted there (ERROR_INVALID_PARAMETER otherwise). Returns
//   after the mount has left the mount table and, for a mount of pelloric-mount-helper, after
//   its daemon has removed its staging folder. A commit that fails leaves the image mounted.
//   A dead mount (WIM_MOUNT_FLAG_INVALID: its daemon is gone) has nothing left to commit:
//   it is detached from the folder whatever commitChanges says, and the staging folder its
//   helper recorded is removed; its WIM file and index are checked only when recorded.
//   Last errors: ERROR_NOT_FOUND (nothing mounted there), ERROR_BUSY (files still open during
//   a commit), ERROR_ACCESS_DENIED, and for a commit that failed its cause, as the daemon's
//   libwim met it (ERROR_DISK_FULL, ERROR_IO_DEVICE, ...; ERROR_WRITE_FAULT when unknown).
//
// WIMGetMountedImages(mountList, cbMountListLength): every WIM image mounted in this
//   process's mount namespace (type fuse.wimfs, by any libwim program), in mount order, one
//   WIM_MOUNT_LIST each; *cbMountListLength is the buffer size in bytes on entry and the
//   bytes written on return. When the buffer is too small (or null), fails with
//   ERROR_INSUFFICIENT_BUFFER and sets *cbMountListLength to the size needed. Mounts whose
//   paths do not fit the record's 260 characters are not listed, nor are live mounts that do
//   not answer this user. Dead mounts are listed, with the WIM file and index their helper
//   recorded, or an empty path and index 0 when nothing was recorded (mounts of other
//   programs); WIMGetMountedImageInfo tells them apart.
//
// WIMGetMountedImageInfo(infoLevel, imageCount, mountInfo, cbMountInfoLength, returnLength):
//   the same entries as WIM_MOUNT_INFO_LEVEL0 (= WIM_MOUNT_LIST) or WIM_MOUNT_INFO_LEVEL1
//   records; *imageCount is the number of entries and *returnLength the bytes they take
//   (also when the buffer is too small: ERROR_INSUFFICIENT_BUFFER). Level 1 flags: a live
//   mount has WIM_MOUNT_FLAG_MOUNTED, a dead one WIM_MOUNT_FLAG_INVALID; WIM_MOUNT_FLAG_
//   READWRITE marks read-write mounts. ERROR_INVALID_PARAMETER for another level.
//
// All four may be called from any thread. Listing also removes the staging folders and
// records left by helpers whose mount is no longer in the mount table.
#pragma once

#include "platform/Imaging.h"
#include "platform/WinTypes.h"

enum MOUNTED_IMAGE_INFO_LEVELS {
    MountedImageInfoLevel0,
    MountedImageInfoLevel1,
    MountedImageInfoLevelInvalid,
};

using WIM_MOUNT_INFO_LEVEL0 = WIM_MOUNT_LIST;

struct WIM_MOUNT_INFO_LEVEL1 {
    WCHAR WimPath[MAX_PATH];
    WCHAR MountPath[MAX_PATH];
    DWORD ImageIndex;
    DWORD MountFlags;
};
static_assert(sizeof(WIM_MOUNT_INFO_LEVEL1) == 1048);

inline constexpr DWORD WIM_MOUNT_FLAG_MOUNTED = 0x00000001;
inline constexpr DWORD WIM_MOUNT_FLAG_INVALID = 0x00000008;
inline constexpr DWORD WIM_MOUNT_FLAG_READWRITE = 0x00000100;

BOOL WIMGetMountedImageInfo(MOUNTED_IMAGE_INFO_LEVELS infoLevel, DWORD* imageCount,
                            PVOID mountInfo, DWORD cbMountInfoLength, DWORD* returnLength);

// Uses the helper at path instead of the one beside the running executable (tests, whose
// binaries live elsewhere). Null or empty restores the default.
void setMountHelperPath(LPCWSTR path);
