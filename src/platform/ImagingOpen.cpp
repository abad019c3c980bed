// WIMCreateFile: what a path names, the checks before anything is read or written, and
// libwim's reading of the file through the layer's own descriptor.
#include "Imaging.h"

#include "FileAccess.h"
#include "FileIo.h"
#include "ImagingHandles.h"
#include "ImagingUndo.h"
#include "Kernel.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace imaging {
namespace {

int openFlagsOf(const WimHandle& w)
{
    int flags = 0;
    if (w.verify)
        flags |= WIMLIB_OPEN_FLAG_CHECK_INTEGRITY;
    if (w.writable)
        flags |= WIMLIB_OPEN_FLAG_WRITE_ACCESS;
    return flags;
}

// The descriptors of this process.
std::vector<int> openDescriptors()
{
    std::vector<int> fds;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc/self/fd"), ::closedir);
    if (!dir)
        return fds;
    const int own = ::dirfd(dir.get());
    while (const dirent* e = ::readdir(dir.get())) {
        char* end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && fd != own)
            fds.push_back(static_cast<int>(fd));
    }
    return fds;
}

// The one descriptor opened between two lists that names the file open as `ours`, other than
// `ours` itself; -1 when none or more than one does.
int findLibraryDescriptor(const std::vector<int>& before, const std::vector<int>& after, int ours)
{
    struct stat mine {};
    if (::fstat(ours, &mine) != 0)
        return -1;
    int found = -1;
    for (int fd : after) {
        if (fd == ours || std::find(before.begin(), before.end(), fd) != before.end())
            continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_dev == mine.st_dev && st.st_ino == mine.st_ino) {
            if (found >= 0)
                return -1; // more than one: no guess
            found = fd;
        }
    }
    return found;
}

// libwim's descriptor of a file is found by comparing this process's descriptors before and
// after the open; such opens are serialised so that two never overlap.
std::mutex gOpenMutex;

// libwim reads (and, when it writes, reopens) the file by the name it is given: a writable
// handle's private name where there is one, else the path the layer's descriptor names.
int openLibrary(const WimHandle& w, WimPtr& out)
{
    WIMStruct* raw = nullptr;
    const std::string name = w.libraryName ? w.libraryName.path()
                                           : "/proc/self/fd/" + std::to_string(w.fd.get());
    const int ret = wimlib_open_wim(name.c_str(), openFlagsOf(w), &raw);
    out.reset(raw);
    return ret;
}

} // namespace

// Reads the handle's existing file with libwim (openLibrary). For a writable handle, the identity is taken before and after the read and must
// agree, so it is the state libwim read (when another writer keeps changing the file, it
// stays invalid and no commit will start), and libwim's own descriptor is found.
DWORD openWimFile(WimHandle& w, WimPtr& out)
{
    for (int attempt = 0;; ++attempt) {
        FileIdentity before;
        if (w.writable)
            readIdentity(w.fd.get(), before);
        std::vector<int> fdsBefore;
        std::vector<int> fdsAfter;
        WimPtr opened;
        {
            // Only opens that look for libwim's descriptor wait for each other (one that
            // checks the integrity table can take long).
            std::unique_lock lock(gOpenMutex, std::defer_lock);
            if (w.writable) {
                lock.lock();
                fdsBefore = openDescriptors();
            }
            if (const int ret = openLibrary(w, opened))
                return ErrorFromWimlib(ret, errno);
            if (w.writable)
                fdsAfter = openDescriptors();
        }
        w.identity = FileIdentity{};
        w.libraryFd = -1;
        FileIdentity after;
        if (!w.writable || (readIdentity(w.fd.get(), after) && sameState(before, after)) ||
            attempt == 2) {
            if (w.writable && sameState(before, after)) {
                w.identity = after;
                w.libraryFd = findLibraryDescriptor(fdsBefore, fdsAfter, w.fd.get());
            }
            out = std::move(opened);
            return ERROR_SUCCESS;
        }
    }
}

DWORD opensAsWim(const std::string& path, int openFlags)
{
    WIMStruct* raw = nullptr;
    const int ret = wimlib_open_wim(path.c_str(), openFlags, &raw);
    const int cause = errno;
    const WimPtr probe(raw);
    return ret ? ErrorFromWimlib(ret, cause) : ERROR_SUCCESS;
}

namespace {

// The file a path names, symbolic links followed, also a last one that points nowhere (a
// new file is made where it points, as other tools do).
std::string resolveLinks(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        std::vector<char> target(PATH_MAX + 1);
        const ssize_t n = ::readlink(path.c_str(), target.data(), PATH_MAX);
        if (n <= 0)
            break;
        const std::filesystem::path link(std::string(target.data(), static_cast<std::size_t>(n)));
        path = (link.is_absolute() ? link : std::filesystem::path(path).parent_path() / link)
                   .lexically_normal()
                   .string();
    }
    const std::filesystem::path p(path);
    if (char* real = ::realpath(p.parent_path().c_str(), nullptr)) {
        std::string folder = real;
        std::free(real);
        path = (std::filesystem::path(folder) / p.filename()).string();
    }
    return path;
}

// A file the file system will not let anyone change or replace (chattr +i or +a).
bool isImmutable(const std::string& path)
{
    int error = 0;
    const UniqueFd fd = openRegularFile(path, O_RDONLY, error);
    int flags = 0;
    return fd && ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL));
}

// Refuses a file whose header describes tables that cannot be there: past the end of the
// file, or larger than any real WIM's tables. libwim would try to allocate what such a
// header claims before noticing.
bool headerIsPlausible(int fd)
{
    struct stat st {};
    WimHeaderBytes bytes{};
    if (::fstat(fd, &st) != 0 || !readAll(fd, bytes.data(), bytes.size(), 0))
        return true; // short files are libwim's to report
    const WimHeader header = parseWimHeader(bytes.data());
    if (!header.magic)
        return true; // other formats too
    constexpr std::uint64_t kMaxTable = std::uint64_t(1) << 30;
    constexpr std::uint64_t kMaxImages = std::uint64_t(1) << 20;
    if (header.imageCount > kMaxImages)
        return false;
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    for (const WimResource& table : {header.blobTable, header.xml, header.integrity}) {
        if (!table.present())
            continue;
        if (table.offset > fileSize || table.storedSize > fileSize - table.offset ||
            table.originalSize > kMaxTable)
            return false;
    }
    return true;
}

// The handle a WIMCreateFile call describes, before anything is opened.
std::unique_ptr<WimHandle> describeHandle(LPCWSTR wimPath, DWORD desiredAccess,
                                          DWORD flagsAndAttributes, DWORD compressionType)
{
    auto w = std::make_unique<WimHandle>();
    std::error_code ec;
    std::string given = std::filesystem::absolute(toUtf8(wimPath), ec).lexically_normal().string();
    if (ec)
        given = toUtf8(wimPath);
    w->path16 = fromUtf8(given);
    // A symbolic link is read and written where it points, and stays a link.
    w->path = resolveLinks(given);
    w->writable = (desiredAccess & GENERIC_WRITE) != 0;
    w->verify = (flagsAndAttributes & WIM_FLAG_VERIFY) != 0;
    w->openFlags = flagsAndAttributes;
    w->compression = static_cast<int>(compressionType);
    return w;
}

// A new WIM in place of whatever is at w.path (`existing` when something is): it is written
// when the handle is closed, so it is made sure now that it can be: the folder takes files,
// and a file it replaces may be replaced and is not locked by a writer or a read-write mount.
DWORD startNewWim(WimHandle& w, const struct stat* existing)
{
    if (!w.writable)
        return ERROR_ACCESS_DENIED;
    const std::string parent = folderOf(w.path);
    if (::access(parent.c_str(), W_OK | X_OK) != 0)
        return ErrorFromErrnoForFolder(errno);
    if (existing && ((existing->st_mode & 0222) == 0 || isImmutable(w.path)))
        return ERROR_ACCESS_DENIED;
    if (existing)
        if (const DWORD error = checkNotLocked(w.path))
            return error;
    sweepStageFiles(parent);
    w.isNew = true;
    return reloadWim(w, false);
}

// What an undo record left beside a file opened for writing says, when it could not be used.
void noteRecordLeftAlone(const WimHandle& w, RecoveryResult found)
{
    if (found == RecoveryResult::Untrusted)
        setErrorDetail(ERROR_SUCCESS, WIM_DETAIL_RECORD_UNTRUSTED, undoRecordPath(w.path));
    else if (found == RecoveryResult::NotAFile)
        setErrorDetail(ERROR_SUCCESS, WIM_DETAIL_RECORD_NOT_A_FILE, undoRecordPath(w.path));
}

// The checks of an existing file opened for writing, and what a run that ended half way left
// beside it: a write of this program is undone first, dead stage files go.
DWORD prepareForWriting(WimHandle& w, const struct stat& st, RecoveryResult& found)
{
    // A file without write permission is read-only, as the platform's read-only attribute
    // is, also for the administrator.
    if ((st.st_mode & 0222) == 0)
        return ERROR_ACCESS_DENIED;
    if (::access(w.path.c_str(), W_OK) != 0)
        return errno == EROFS ? ERROR_WRITE_PROTECT : ERROR_ACCESS_DENIED;
    if (isImmutable(w.path))
        return ERROR_ACCESS_DENIED;
    found = examineUndoRecord(w.path, true);
    sweepStageFiles(folderOf(w.path));
    return ERROR_SUCCESS;
}

DWORD openExistingWim(WimHandle& w, const struct stat& st)
{
    RecoveryResult found = RecoveryResult::None;
    if (w.writable)
        if (const DWORD error = prepareForWriting(w, st, found))
            return error;
    int err = 0;
    w.fd = openRegularFile(w.path, O_RDONLY, err);
    if (!w.fd)
        return ErrorFromOpenRegularFile(err, w.path);
    // Where the file system has hard links, libwim gets a name of the file nobody else
    // knows, so that its reopen for writing cannot meet a file renamed onto the path.
    if (w.writable && w.libraryName.create(w.fd.get(), w.path) == 0)
        nameLibraryPath(w.libraryName.path(), w.path);
    if (!headerIsPlausible(w.fd.get()))
        return ERROR_FILE_CORRUPT;
    if (const DWORD error = reloadWim(w, false))
        return error;
    wimlib_wim_info info{};
    if (const int ret = wimlib_get_wim_info(w.wim.get(), &info))
        return ErrorFromWimlib(ret, errno);
    w.compression = info.compression_type;
    noteRecordLeftAlone(w, found);
    return ERROR_SUCCESS;
}

// What the disposition asks of the path `w` names: ERROR_SUCCESS with *create telling whether
// a new WIM is started, or the reason nothing can be opened. Only a regular file is a WIM;
// nothing else is ever opened (a FIFO would block the open).
DWORD checkDisposition(const WimHandle& w, DWORD disposition, struct stat& st, bool& exists,
                       bool& create)
{
    exists = ::stat(w.path.c_str(), &st) == 0;
    const int statErr = exists ? 0 : errno;
    if (!exists && (statErr != ENOENT || disposition == OPEN_EXISTING))
        return ErrorFromErrnoForFile(statErr, w.path);
    if (exists && !S_ISREG(st.st_mode))
        return ERROR_ACCESS_DENIED;
    if (exists && disposition == CREATE_NEW)
        return ERROR_FILE_EXISTS;
    create = disposition == CREATE_ALWAYS || disposition == CREATE_NEW ||
             (disposition == OPEN_ALWAYS && !exists);
    return ERROR_SUCCESS;
}

} // namespace
} // namespace imaging

using namespace imaging;

HANDLE WIMCreateFile(LPCWSTR wimPath, DWORD desiredAccess, DWORD creationDisposition,
                     DWORD flagsAndAttributes, DWORD compressionType, DWORD* creationResult)
{
    clearErrorDetail();
    if (!wimPath || !*wimPath) {
        fail(wimPath ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (creationDisposition < CREATE_NEW || creationDisposition > OPEN_ALWAYS ||
        compressionType > WIM_COMPRESS_LZMS) {
        fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::unique_ptr<WimHandle> w =
        describeHandle(wimPath, desiredAccess, flagsAndAttributes, compressionType);
    struct stat st {};
    bool exists = false;
    bool create = false;
    DWORD error = checkDisposition(*w, creationDisposition, st, exists, create);
    if (!error)
        error = create ? startNewWim(*w, exists ? &st : nullptr) : openExistingWim(*w, st);
    if (error) {
        fail(error);
        return nullptr;
    }
    if (creationResult)
        *creationResult = create ? WIM_CREATED_NEW : WIM_OPENED_EXISTING;
    SetLastError(ERROR_SUCCESS);
    return registerWim(std::move(w));
}
