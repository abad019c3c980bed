// Rebuilding a WIM into a new file that holds only what its images use, put in place of the old
// one only while that is still the file that was read.
//
// How the old file is never lost: it is read through a descriptor that holds its shared lock
// for the whole rebuild, so no writer that locks can change it; the new file is a stage file
// beside it, flushed before it replaces anything. Just before the rename the lock is made
// exclusive and the file compared with what was read (same inode, size, modification time, header
// and tables); the rename is an exchange, so the file it displaced can be checked to be the one
// compared, and is swapped back when another writer renamed a file of its own onto the path in
// between.
#include "Imaging.h"

#include "FileAccess.h"
#include "FileIo.h"
#include "ImagingToolbox.h"
#include "Kernel.h"
#include "StageFile.h"

#include <cerrno>

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace imaging;

namespace {

// Output settings for the chosen compression; WIM_COMPRESS_KEEP copies the data as stored.
int prepareOutput(WIMStruct* wim, DWORD compression, const wimlib_wim_info& info, DWORD flags)
{
    int writeFlags = WIMLIB_WRITE_FLAG_RETAIN_GUID | integrityWriteFlag(info, flags);
    if (compression == WIM_COMPRESS_KEEP)
        return writeFlags;
    const auto type = static_cast<wimlib_compression_type>(compression);
    if (const int ret = wimlib_set_output_compression_type(wim, type))
        return -ret;
    writeFlags |= WIMLIB_WRITE_FLAG_RECOMPRESS;
    if (compression == WIM_COMPRESS_LZMS)
        writeFlags |= WIMLIB_WRITE_FLAG_SOLID;
    return writeFlags;
}

// Replaces the file at `path` by the stage, once `locked` (the file that was read, its lock now
// exclusive) is still what `before` recorded and still what the path names.
DWORD exchangeIntoPlace(StageFile& stage, const std::string& path, int locked,
                        const FileIdentity& before)
{
    if (::flock(locked, LOCK_EX | LOCK_NB) != 0)
        return ERROR_SHARING_VIOLATION;
    FileIdentity now;
    if (!readIdentity(locked, now) || !sameState(now, before) ||
        !isSameFile(path, before.device, before.inode))
        return ERROR_SHARING_VIOLATION;
    if (::fsync(stage.fd()) != 0)
        return ErrorFromErrno(errno);
    if (::renameat2(AT_FDCWD, stage.path().c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
        // The stage's name now holds what the path held: it must be the file checked above.
        if (!isSameFile(stage.path(), before.device, before.inode)) {
            ::renameat2(AT_FDCWD, stage.path().c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE);
            return ERROR_SHARING_VIOLATION;
        }
        ::unlink(stage.path().c_str());
    } else if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        // File systems without exchange (FAT, exFAT): a plain rename right after the check.
        if (::rename(stage.path().c_str(), path.c_str()) != 0)
            return ErrorFromErrno(errno);
    } else {
        return ErrorFromErrno(errno);
    }
    (void)syncFolder(folderOf(path));
    return ERROR_SUCCESS;
}

// Opens the file to rebuild, holding its shared lock, and libwim on that descriptor; `before`
// records what was read.
DWORD openForRebuild(const std::string& path, UniqueFd& fd, WimPtr& source, FileIdentity& before)
{
    int error = 0;
    fd = openRegularFile(path, O_RDONLY, error);
    if (!fd)
        return ErrorFromOpenRegularFile(error, path);
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0 || !readIdentity(fd.get(), before))
        return ERROR_SHARING_VIOLATION;
    const std::string viaFd = "/proc/self/fd/" + std::to_string(fd.get());
    WIMStruct* raw = nullptr;
    const int ret = wimlib_open_wim(viaFd.c_str(), 0, &raw);
    const int cause = errno;
    source.reset(raw);
    return ret ? ErrorFromWimlib(ret, cause) : ERROR_SUCCESS;
}

} // namespace

BOOL WIMRebuildFile(HANDLE wim, DWORD compressionType, DWORD flags, ULONGLONG* sizeBefore,
                    ULONGLONG* sizeAfter)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!w->writable || w->isNew)
        return fail(ERROR_ACCESS_DENIED);
    if (compressionType != WIM_COMPRESS_KEEP && compressionType > WIM_COMPRESS_LZMS)
        return fail(ERROR_INVALID_PARAMETER);
    if (w->pending.state != PendingState::None)
        return fail(ERROR_BUSY);

    UniqueFd fd;
    WimPtr source;
    FileIdentity before;
    if (const DWORD error = openForRebuild(w->path, fd, source, before))
        return fail(error);
    const wimlib_wim_info info = wimInfoOf(source.get());
    if (info.total_parts > 1)
        return fail(ERROR_NOT_SUPPORTED);
    const int writeFlags = prepareOutput(source.get(), compressionType, info, flags);
    if (writeFlags < 0)
        return fail(ErrorFromWimlib(-writeFlags, 0));

    sweepStageFiles(folderOf(w->path));
    StageFile stage;
    if (const DWORD error = stage.create(w->path))
        return fail(error);
    ToolboxProgress state;
    state.bridge.startPhase();
    int ret = 0;
    {
        ToolboxProgressScope scope(source.get(), &state);
        ret = wimlib_write_to_fd(source.get(), stage.fd(), WIMLIB_ALL_IMAGES, writeFlags, 0);
    }
    const int cause = errno;
    if (ret)
        return fail(state.bridge.aborted() ? ERROR_REQUEST_ABORTED : ErrorFromWimlib(ret, cause));
    struct stat written {};
    if (::fstat(stage.fd(), &written) != 0)
        return fail(ErrorFromErrno(errno));
    if (const DWORD error = exchangeIntoPlace(stage, w->path, fd.get(), before))
        return fail(error);
    if (sizeBefore)
        *sizeBefore = static_cast<ULONGLONG>(before.size);
    if (sizeAfter)
        *sizeAfter = static_cast<ULONGLONG>(written.st_size);
    state.bridge.progress(1, 1, true);
    return TRUE;
}
