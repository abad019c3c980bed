// pelloric-mount-helper: mounts one image of a WIM file and stays behind as the FUSE daemon
// that serves it. Started by the mount layer only; the protocol is in MountHelperProtocol.h.
#include "MountHelperProtocol.h"
#include "MountRecord.h"

#include "platform/UniqueFd.h"

#include <wimlib.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using WimPtr = std::unique_ptr<WIMStruct, void (*)(WIMStruct*)>;

UniqueFd gStatus;

// The daemon that libwim's mount forks off must not keep the status pipe open: the layer
// reads it to end of file to learn that the first process is done.
void closeStatusInChild()
{
    gStatus.reset();
}

int fail(MountStage stage, int wimlibCode, int sysErrno)
{
    if (gStatus) {
        const MountHelperStatus status{kStatusMagic, stage, wimlibCode, sysErrno};
        const char* p = reinterpret_cast<const char*>(&status);
        std::size_t left = sizeof status;
        while (left > 0) {
            const ssize_t n = write(gStatus.get(), p, left);
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

// The record this helper keeps while it lives. Its cause field carries the errno of the
// last error libwim reported in the daemon: the status of a failed commit reaches the
// unmounting process without it.
struct DaemonRecord {
    UniqueFd fd;
    std::string path;
    MountRecord record;
    std::string line; // libwim's text printed so far, up to its line feed
};
DaemonRecord gRecord;

// The errno value whose text ends a line libwim printed ("...: No space left on device"),
// 0 when none does. The helper keeps the C locale, so the texts are strerror's own.
int causeOfLine(const std::string& line)
{
    for (int err = 1; err < 256; ++err) {
        const std::string text = std::string(": ") + std::strerror(err);
        if (line.size() >= text.size() &&
            line.compare(line.size() - text.size(), text.size(), text) == 0)
            return err;
    }
    return 0;
}

// The stream libwim prints its errors to: an error line with a cause goes into the record.
ssize_t noteLibraryErrors(void*, const char* data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != '\n') {
            gRecord.line += data[i];
            continue;
        }
        const int cause =
            gRecord.line.find("[ERROR] ") != std::string::npos ? causeOfLine(gRecord.line) : 0;
        gRecord.line.clear();
        if (cause && gRecord.fd) {
            ++gRecord.record.causeCount;
            gRecord.record.cause = cause;
            updateMountRecordCause(gRecord.fd.get(), gRecord.record);
        }
    }
    return static_cast<ssize_t>(size);
}

void noteCausesOfLibraryErrors()
{
    static cookie_io_functions_t functions{nullptr, noteLibraryErrors, nullptr, nullptr};
    if (FILE* stream = fopencookie(nullptr, "w", functions)) {
        setvbuf(stream, nullptr, _IOLBF, 0);
        wimlib_set_error_file(stream);
        wimlib_set_print_errors(true);
    }
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
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path), closedir);
    if (!dir)
        return errno;
    while (const dirent* entry = readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            return ENOTEMPTY;
    }
    return 0;
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
    errno = 0; // strtoul tells an overflow only by errno
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > 0x7fffffffUL)
        return false;
    index = static_cast<int>(value);
    return true;
}

struct Request {
    const char* wimPath = nullptr;
    int index = 0;
    const char* mountFolder = nullptr;
    const char* stagingFolder = nullptr; // a read-write mount
};

// Checks the request against the WIM and the folders before anything is made: 0, or the
// status the helper ends with.
int checkRequest(const Request& request, WimPtr& wim)
{
    WIMStruct* opened = nullptr;
    const int openResult = wimlib_open_wim(
        request.wimPath, request.stagingFolder ? WIMLIB_OPEN_FLAG_WRITE_ACCESS : 0, &opened);
    const int openErrno = errno;
    wim.reset(opened);
    if (openResult != 0)
        return fail(MountStage::OpenWim, openResult, openErrno);
    wimlib_wim_info info{};
    if (const int ret = wimlib_get_wim_info(wim.get(), &info))
        return fail(MountStage::OpenWim, ret, 0);
    if (request.index < 1 || static_cast<unsigned>(request.index) > info.image_count)
        return fail(MountStage::ImageIndex, WIMLIB_ERR_INVALID_IMAGE, 0);
    if (const int err = checkMountFolder(request.mountFolder))
        return fail(MountStage::MountFolder, 0, err);
    if (request.stagingFolder) {
        if (const int err = checkStagingFolder(request.stagingFolder))
            return fail(MountStage::StagingFolder, 0, err);
    }
    const UniqueFd fuse(open("/dev/fuse", O_RDWR | O_CLOEXEC));
    if (!fuse)
        return fail(MountStage::FuseDevice, 0, errno);
    return 0;
}

// Mounts the image. Returns in this process only when the mount failed; on success this
// process ends inside libwim's call once the file system is mounted, and the daemon (which
// inherits the record and its lock) returns here when the image is unmounted.
int mountAndServe(const Request& request, WimPtr wim)
{
    // libwim makes its staging folder inside a folder of our own, which can be removed
    // whole however the daemon ends.
    MountRecord& record = gRecord.record;
    record.mountFolder = canonical(request.mountFolder);
    record.wimPath = canonical(request.wimPath);
    record.imageIndex = request.index;
    record.readWrite = request.stagingFolder != nullptr;
    if (record.readWrite) {
        int err = 0;
        record.stagingFolder = makeStagingFolder(request.stagingFolder, err);
        if (record.stagingFolder.empty())
            return fail(MountStage::StagingFolder, 0, err);
    }
    // Without a record the mount still works; only a dead daemon's mount could then not be
    // named or cleaned up, nor a failed commit's cause be told.
    gRecord.fd = createMountRecord(record, gRecord.path);

    const int mountResult =
        wimlib_mount_image(wim.get(), request.index, request.mountFolder,
                           record.readWrite ? WIMLIB_MOUNT_FLAG_READWRITE : 0,
                           record.readWrite ? record.stagingFolder.c_str() : nullptr);
    const int mountErrno = errno;
    wim.reset();
    releaseMountRecord(std::move(gRecord.fd), gRecord.path, record);
    if (mountResult != 0)
        return fail(MountStage::Mount, mountResult, mountErrno);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (fcntl(kStatusFd, F_GETFD) >= 0) {
        gStatus.reset(kStatusFd);
        fcntl(gStatus.get(), F_SETFD, FD_CLOEXEC);
    }
    // The daemon lives as long as the mount; it keeps none of the starter's descriptors.
    close_range(kStatusFd + 1, ~0U, 0);
    std::signal(SIGPIPE, SIG_IGN);
    pthread_atfork(nullptr, nullptr, closeStatusInChild);

    Request request;
    if (argc < 4 || argc > 5 || !parseIndex(argv[2], request.index) || argv[3][0] == '\0')
        return fail(MountStage::Arguments, 0, EINVAL);
    request.wimPath = argv[1];
    request.mountFolder = argv[3];
    request.stagingFolder = argc == 5 ? argv[4] : nullptr;

    if (const int ret = wimlib_global_init(0))
        return fail(MountStage::Setup, ret, errno);
    noteCausesOfLibraryErrors();

    WimPtr wim(nullptr, wimlib_free);
    if (const int status = checkRequest(request, wim))
        return status;
    return mountAndServe(request, std::move(wim));
}
