// Mount layer details beyond the WIM* calls of Imaging.h: where the mount helper lives.
// WIMMountImage, WIMUnmountImage and WIMGetMountedImages are declared in Imaging.h; their
// contracts on this platform:
//
// WIMMountImage(mountPath, wimFileName, imageIndex, tempPath): mounts the image on an
//   existing empty folder, read-write exactly when tempPath is given (not null, not empty;
//   the folder where the changes are staged), read-only otherwise. Relative paths are taken
//   against the current folder. The mount runs in the helper process pelloric-mount-helper,
//   which stays behind as the file system's daemon; the call returns once the mount is ready
//   or has failed. Last errors: ERROR_INVALID_PARAMETER (empty path, index 0 or beyond the
//   image count), ERROR_FILE_NOT_FOUND (no such WIM file), ERROR_BAD_FORMAT (not a WIM
//   file), ERROR_FILE_CORRUPT (damaged WIM), ERROR_PATH_NOT_FOUND (no such mount or staging
//   folder), ERROR_DIRECTORY (not a folder), ERROR_DIR_NOT_EMPTY (mount folder not empty),
//   ERROR_DEV_NOT_EXIST (no /dev/fuse), ERROR_ACCESS_DENIED (no permission, or a read-write
//   mount of a read-only WIM), ERROR_SHARING_VIOLATION (the WIM is being changed by someone
//   else), ERROR_FILENAME_EXCED_RANGE (the full path of the folder or of the WIM file is
//   longer than a WIM_MOUNT_LIST entry holds, 259 characters), ERROR_MOD_NOT_FOUND (the
//   helper is missing), ERROR_GEN_FAILURE (the helper died).
//
// WIMUnmountImage(mountPath, wimFileName, imageIndex, commitChanges): unmounts the image
//   mounted on mountPath, in the calling process, committing the changes of a read-write
//   mount when commitChanges is set. wimFileName (when not empty) and imageIndex (when not
//   0) must name the image that is mounted there (ERROR_INVALID_PARAMETER otherwise). Returns
//   after the mount has left the mount table. A commit that fails leaves the image mounted.
//   Last errors: ERROR_NOT_FOUND (nothing mounted there), ERROR_BUSY (files still open during
//   a commit), ERROR_ACCESS_DENIED, ERROR_WRITE_FAULT / ERROR_DISK_FULL (commit failed).
//
// WIMGetMountedImages(mountList, cbMountListLength): every WIM image mounted in this
//   process's mount namespace (type fuse.wimfs, by any libwim program), in mount order, one
//   WIM_MOUNT_LIST each; *cbMountListLength is the buffer size in bytes on entry and the
//   bytes written on return. When the buffer is too small (or null), fails with
//   ERROR_INSUFFICIENT_BUFFER and sets *cbMountListLength to the size needed. Mounts whose
//   daemon no longer answers, and mounts whose paths do not fit the record's 260
//   characters, are not listed.
//
// All three may be called from any thread.
#pragma once

#include "platform/WinTypes.h"

// Uses the helper at path instead of the one beside the running executable (tests, whose
// binaries live elsewhere). Null or empty restores the default.
void setMountHelperPath(LPCWSTR path);
