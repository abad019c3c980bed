// pelloric-mount-helper: mounts one image of a WIM file and stays behind as the FUSE daemon
// that serves it. Started by the mount layer only; the protocol is in MountHelperProtocol.h.
#include "MountHelperProtocol.h"
#include "MountRecord.h"

#include <wimlib.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

int gStatusFd = -1;

// The daemon that libwim's mount forks off must not keep the status pipe open: the layer
// reads it to end of file to learn that the first process is done.
void closeStatusInChild()
{
    if (gStatusFd >= 0)
        close(gStatusFd);
    gStatusFd = -1;
}

int fail(MountStage stage, int wimlibCode, int sysErrno)
{
    if (gStatusFd >= 0) {
        const MountHelperStatus status{kStatusMagic, stage, wimlibCode, sysErrno};
        const char* p = reinterpret_cast<const char*>(&status);
        std::size_t left = sizeof status;
        while (left > 0) {
            const ssize_t n = write(gStatusFd, p, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    return 1;
}

// 0 when path is an existing, empty folder; an errno value otherwise.
int checkMountFolder(const char* path)
{
    struct stat st {
    };
    if (stat(path, &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    DIR* dir = opendir(path);
    if (!dir)
        return errno;
    int result = 0;
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            result = ENOTEMPTY;
            break;
        }
    }
    closedir(dir);
    return result;
}

int checkStagingFolder(const char* path)
{
    struct stat st {
    };
    if (stat(path, &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    if (access(path, W_OK | X_OK) != 0)
        return errno;
    return 0;
}

std::string canonical(const char* path)
{
    char* resolved = realpath(path, nullptr);
    if (!resolved)
        return path;
    std::string result(resolved);
    std::free(resolved);
    return result;
}

bool parseIndex(const char* text, int& index)
{
    if (!text || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > 0x7fffffffUL)
        return false;
    index = static_cast<int>(value);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (fcntl(kStatusFd, F_GETFD) >= 0) {
        gStatusFd = kStatusFd;
        fcntl(gStatusFd, F_SETFD, FD_CLOEXEC);
    }
    // The daemon lives as long as the mount; it keeps none of the starter's descriptors.
    close_range(kStatusFd + 1, ~0U, 0);
    std::signal(SIGPIPE, SIG_IGN);
    pthread_atfork(nullptr, nullptr, closeStatusInChild);

    int index = 0;
    if (argc < 4 || argc > 5 || !parseIndex(argv[2], index) || argv[3][0] == '\0')
        return fail(MountStage::Arguments, 0, EINVAL);
    const char* wimPath = argv[1];
    const char* mountFolder = argv[3];
    const char* stagingFolder = argc == 5 ? argv[4] : nullptr;
    const bool readWrite = stagingFolder != nullptr;

    if (wimlib_global_init(0) != 0)
        return fail(MountStage::Arguments, WIMLIB_ERR_NOMEM, ENOMEM);

    WIMStruct* wim = nullptr;
    errno = 0;
    const int openResult =
        wimlib_open_wim(wimPath, readWrite ? WIMLIB_OPEN_FLAG_WRITE_ACCESS : 0, &wim);
    if (openResult != 0)
        return fail(MountStage::OpenWim, openResult, errno);

    wimlib_wim_info info{};
    wimlib_get_wim_info(wim, &info);
    if (index < 1 || static_cast<unsigned>(index) > info.image_count) {
        wimlib_free(wim);
        return fail(MountStage::ImageIndex, WIMLIB_ERR_INVALID_IMAGE, 0);
    }
    if (const int err = checkMountFolder(mountFolder)) {
        wimlib_free(wim);
        return fail(MountStage::MountFolder, 0, err);
    }
    if (readWrite) {
        if (const int err = checkStagingFolder(stagingFolder)) {
            wimlib_free(wim);
            return fail(MountStage::StagingFolder, 0, err);
        }
    }
    const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) {
        const int err = errno;
        wimlib_free(wim);
        return fail(MountStage::FuseDevice, 0, err);
    }
    close(fuse);

    // libwim makes its staging folder inside a folder of our own, which can be removed
    // whole however the daemon ends.
    MountRecord record;
    record.mountFolder = canonical(mountFolder);
    record.wimPath = canonical(wimPath);
    record.imageIndex = index;
    record.readWrite = readWrite;
    if (readWrite) {
        record.stagingFolder = makeStagingFolder(stagingFolder);
        if (record.stagingFolder.empty()) {
            const int err = errno;
            wimlib_free(wim);
            return fail(MountStage::StagingFolder, 0, err);
        }
    }
    // Without a record the mount still works; only a dead daemon's mount could then not be
    // named or cleaned up.
    std::string recordPath;
    const int recordFd = createMountRecord(record, recordPath);

    // Returns here in this process only when the mount failed; on success this process
    // ends inside the call once the file system is mounted, and the daemon (which inherits
    // the record and its lock) returns here when the image is unmounted.
    errno = 0;
    const int mountResult =
        wimlib_mount_image(wim, index, mountFolder, readWrite ? WIMLIB_MOUNT_FLAG_READWRITE : 0,
                           readWrite ? record.stagingFolder.c_str() : nullptr);
    const int mountErrno = errno;
    wimlib_free(wim);
    releaseMountRecord(recordFd, recordPath, record);
    if (mountResult != 0)
        return fail(MountStage::Mount, mountResult, mountErrno);
    return 0;
}
