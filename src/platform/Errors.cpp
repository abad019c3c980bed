#include "platform/Errors.h"

#include <wimlib.h>

#include <cerrno>
#include <sys/stat.h>

namespace {

struct ErrnoEntry {
    int err;
    DWORD error;
};

constexpr ErrnoEntry kErrnoTable[] = {
    {0, ERROR_SUCCESS},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EFBIG, ERROR_DISK_FULL},
    {EROFS, ERROR_WRITE_PROTECT},
    {EBUSY, ERROR_BUSY},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {EIO, ERROR_IO_DEVICE},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENODEV, ERROR_DEV_NOT_EXIST},
    {ENXIO, ERROR_DEV_NOT_EXIST},
    {ENOTCONN, ERROR_DEV_NOT_EXIST}, // a FUSE mount whose daemon is gone
    {ENOTSUP, ERROR_NOT_SUPPORTED},
    {ENOSYS, ERROR_CALL_NOT_IMPLEMENTED},
    {ELOOP, ERROR_INVALID_NAME},
    {ECANCELED, ERROR_CANCELLED},
    {EBADF, ERROR_INVALID_HANDLE},
};

// How a libwim code takes its cause into account.
enum class Refine {
    Never,      // the code alone decides
    File,       // a failed system call on a file: the errno table, else the code's own
    Folder,     // the same on a folder: a missing one is a missing path
    ReadOnlyFs, // a WIM that may not be written: a read-only file system says so
};

struct WimlibEntry {
    int code;
    DWORD error; // the code's own, and the fallback of a refined one
    Refine refine;
};

constexpr WimlibEntry kWimlibTable[] = {
    {WIMLIB_ERR_SUCCESS, ERROR_SUCCESS, Refine::Never},
    {WIMLIB_ERR_ABORTED_BY_PROGRESS, ERROR_REQUEST_ABORTED, Refine::Never},
    {WIMLIB_ERR_NOMEM, ERROR_NOT_ENOUGH_MEMORY, Refine::Never},
    // Not a WIM, or one in a form libwim cannot read.
    {WIMLIB_ERR_NOT_A_WIM_FILE, ERROR_BAD_FORMAT, Refine::Never},
    {WIMLIB_ERR_UNKNOWN_VERSION, ERROR_BAD_FORMAT, Refine::Never},
    {WIMLIB_ERR_INVALID_PIPABLE_WIM, ERROR_BAD_FORMAT, Refine::Never},
    {WIMLIB_ERR_NOT_PIPABLE, ERROR_BAD_FORMAT, Refine::Never},
    // Data that fails its checksum.
    {WIMLIB_ERR_INTEGRITY, ERROR_CRC, Refine::Never},
    {WIMLIB_ERR_INVALID_RESOURCE_HASH, ERROR_CRC, Refine::Never},
    // A WIM damaged or cut short: its header, tables or metadata say what cannot be.
    {WIMLIB_ERR_INVALID_HEADER, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_INVALID_CHUNK_SIZE, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_INVALID_COMPRESSION_TYPE, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_DECOMPRESSION, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_INVALID_INTEGRITY_TABLE, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_INVALID_LOOKUP_TABLE_ENTRY, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_INVALID_METADATA_RESOURCE, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_INVALID_PART_NUMBER, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_INVALID_REPARSE_DATA, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_INVALID_UTF16_STRING, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_INVALID_XATTR, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_METADATA_NOT_FOUND, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_RESOURCE_NOT_FOUND, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_UNEXPECTED_END_OF_FILE, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_XML, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_IMAGE_COUNT, ERROR_FILE_CORRUPT, Refine::Never},
    {WIMLIB_ERR_WIM_IS_INCOMPLETE, ERROR_FILE_CORRUPT, Refine::Never},
    // What the caller asked for is not possible.
    {WIMLIB_ERR_INVALID_IMAGE, ERROR_INVALID_PARAMETER, Refine::Never},
    {WIMLIB_ERR_INVALID_PARAM, ERROR_INVALID_PARAMETER, Refine::Never},
    {WIMLIB_ERR_INVALID_CAPTURE_CONFIG, ERROR_INVALID_PARAMETER, Refine::Never},
    {WIMLIB_ERR_INVALID_OVERLAY, ERROR_INVALID_PARAMETER, Refine::Never},
    {WIMLIB_ERR_UNICODE_STRING_NOT_REPRESENTABLE, ERROR_INVALID_PARAMETER, Refine::Never},
    {WIMLIB_ERR_INVALID_UTF8_STRING, ERROR_INVALID_NAME, Refine::Never},
    {WIMLIB_ERR_IMAGE_NAME_COLLISION, ERROR_ALREADY_EXISTS, Refine::Never},
    {WIMLIB_ERR_DUPLICATE_EXPORTED_IMAGE, ERROR_ALREADY_EXISTS, Refine::Never},
    {WIMLIB_ERR_IS_SPLIT_WIM, ERROR_NOT_SUPPORTED, Refine::Never},
    {WIMLIB_ERR_SPLIT_INVALID, ERROR_NOT_SUPPORTED, Refine::Never},
    {WIMLIB_ERR_UNSUPPORTED, ERROR_NOT_SUPPORTED, Refine::Never},
    {WIMLIB_ERR_UNSUPPORTED_FILE, ERROR_NOT_SUPPORTED, Refine::Never},
    {WIMLIB_ERR_WIM_IS_ENCRYPTED, ERROR_NOT_SUPPORTED, Refine::Never},
    {WIMLIB_ERR_COMPACTION_NOT_POSSIBLE, ERROR_NOT_SUPPORTED, Refine::Never},
    {WIMLIB_ERR_IMAGE_HAS_MULTIPLE_REFERENCES, ERROR_NOT_SUPPORTED, Refine::Never},
    // Paths and rights.
    {WIMLIB_ERR_WIM_IS_READONLY, ERROR_ACCESS_DENIED, Refine::ReadOnlyFs},
    {WIMLIB_ERR_INSUFFICIENT_PRIVILEGES, ERROR_ACCESS_DENIED, Refine::Never},
    {WIMLIB_ERR_NOT_PERMITTED_TO_UNMOUNT, ERROR_ACCESS_DENIED, Refine::Never},
    {WIMLIB_ERR_IS_DIRECTORY, ERROR_ACCESS_DENIED, Refine::Never},
    {WIMLIB_ERR_NOT_A_REGULAR_FILE, ERROR_ACCESS_DENIED, Refine::Never},
    {WIMLIB_ERR_NOTDIR, ERROR_DIRECTORY, Refine::Never},
    {WIMLIB_ERR_NOTEMPTY, ERROR_DIR_NOT_EMPTY, Refine::Never},
    {WIMLIB_ERR_PATH_DOES_NOT_EXIST, ERROR_PATH_NOT_FOUND, Refine::Never},
    // Other writers and mounts.
    {WIMLIB_ERR_ALREADY_LOCKED, ERROR_SHARING_VIOLATION, Refine::Never},
    {WIMLIB_ERR_CONCURRENT_MODIFICATION_DETECTED, ERROR_SHARING_VIOLATION, Refine::Never},
    {WIMLIB_ERR_MOUNTED_IMAGE_IS_BUSY, ERROR_BUSY, Refine::Never},
    {WIMLIB_ERR_NOT_A_MOUNTPOINT, ERROR_NOT_FOUND, Refine::Never},
    {WIMLIB_ERR_FUSE, ERROR_OPEN_FAILED, Refine::Never},
    // Failed system calls: the cause says what went wrong.
    {WIMLIB_ERR_OPEN, ERROR_OPEN_FAILED, Refine::File},
    {WIMLIB_ERR_STAT, ERROR_OPEN_FAILED, Refine::File},
    {WIMLIB_ERR_READ, ERROR_READ_FAULT, Refine::File},
    {WIMLIB_ERR_WRITE, ERROR_WRITE_FAULT, Refine::File},
    {WIMLIB_ERR_OPENDIR, ERROR_OPEN_FAILED, Refine::Folder},
    {WIMLIB_ERR_MKDIR, ERROR_CANNOT_MAKE, Refine::Folder},
    {WIMLIB_ERR_READLINK, ERROR_GEN_FAILURE, Refine::File},
    {WIMLIB_ERR_RENAME, ERROR_GEN_FAILURE, Refine::File},
    {WIMLIB_ERR_LINK, ERROR_GEN_FAILURE, Refine::File},
    {WIMLIB_ERR_MKNOD, ERROR_GEN_FAILURE, Refine::File},
    {WIMLIB_ERR_MQUEUE, ERROR_GEN_FAILURE, Refine::File},
    {WIMLIB_ERR_SET_ATTRIBUTES, ERROR_GEN_FAILURE, Refine::File},
    {WIMLIB_ERR_SET_REPARSE_DATA, ERROR_GEN_FAILURE, Refine::File},
    {WIMLIB_ERR_SET_SECURITY, ERROR_GEN_FAILURE, Refine::File},
    {WIMLIB_ERR_SET_SHORT_NAME, ERROR_GEN_FAILURE, Refine::File},
    {WIMLIB_ERR_SET_TIMESTAMPS, ERROR_GEN_FAILURE, Refine::File},
    {WIMLIB_ERR_SET_XATTR, ERROR_GEN_FAILURE, Refine::File},
};

} // namespace

DWORD ErrorFromErrno(int err)
{
    for (const ErrnoEntry& e : kErrnoTable)
        if (e.err == err)
            return e.error;
    return ERROR_GEN_FAILURE;
}

DWORD ErrorFromErrnoForFile(int err, const std::string& path)
{
    if (err != ENOENT)
        return ErrorFromErrno(err);
    std::string folder = ".";
    if (const auto slash = path.find_last_of('/'); slash != std::string::npos)
        folder = path.substr(0, slash + 1);
    struct stat st {};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                   : ERROR_PATH_NOT_FOUND;
}

DWORD ErrorFromErrnoForFolder(int err)
{
    return err == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err);
}

DWORD ErrorFromWimlib(int code, int cause)
{
    for (const WimlibEntry& e : kWimlibTable) {
        if (e.code != code)
            continue;
        DWORD refined = ERROR_GEN_FAILURE;
        switch (e.refine) {
        case Refine::Never:
            return e.error;
        case Refine::ReadOnlyFs:
            return cause == EROFS ? ERROR_WRITE_PROTECT : e.error;
        case Refine::File:
            refined = ErrorFromErrno(cause);
            break;
        case Refine::Folder:
            refined = ErrorFromErrnoForFolder(cause);
            break;
        }
        return refined == ERROR_SUCCESS || refined == ERROR_GEN_FAILURE ? e.error : refined;
    }
    return ERROR_GEN_FAILURE;
}
