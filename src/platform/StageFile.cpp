#include "StageFile.h"

#include "Errors.h"
#include "FileAccess.h"
#include "FileIo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kStageInfix[] = ".pelloric-";
constexpr std::size_t kStageSuffixLength = 6; // mkostemp's XXXXXX

bool isStageName(const char* name)
{
    const std::size_t length = std::strlen(name);
    const std::size_t infix = sizeof kStageInfix - 1;
    if (length <= infix + kStageSuffixLength)
        return false;
    const char* suffix = name + length - kStageSuffixLength;
    if (std::strncmp(suffix - infix, kStageInfix, infix) != 0)
        return false;
    for (std::size_t i = 0; i < kStageSuffixLength; ++i) {
        const char c = suffix[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

// Locks the regular file at `path` (the one the name holds when the lock is taken). An empty
// descriptor with ERROR_SUCCESS when there is no such file; ERROR_SHARING_VIOLATION when
// another process holds its lock.
DWORD lockExisting(const std::string& path, UniqueFd& out)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        int error = 0;
        UniqueFd fd = openRegularFile(path, O_RDONLY, error);
        if (!fd)
            return error == ENOENT ? ERROR_SUCCESS : ErrorFromOpenRegularFile(error, path);
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
            return errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ERROR_SUCCESS;
        // Replaced between the open and the lock: the lock is the new file's to take.
        if (pathNamesFile(path, fd.get())) {
            out = std::move(fd);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_SHARING_VIOLATION;
}

} // namespace

StageFile& StageFile::operator=(StageFile&& other) noexcept
{
    if (this != &other) {
        discard();
        fd_ = std::move(other.fd_);
        path_ = std::move(other.path_);
        target_ = std::move(other.target_);
    }
    return *this;
}

DWORD StageFile::create(const std::string& target)
{
    discard();
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string name = target + kStageInfix + "XXXXXX";
        UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
        if (!fd)
            return ErrorFromErrnoForFolder(errno);
        // File systems without Unix modes refuse or ignore this; the file is usable either way.
        (void)::fchmod(fd.get(), 0644);
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            ::unlink(name.c_str());
            return ErrorFromErrno(err);
        }
        // A sweep of another run may have taken the new file for a dead one between its
        // creation and the lock: then it is gone, and a new one is made.
        if (!pathNamesFile(name, fd.get()))
            continue;
        fd_ = std::move(fd);
        path_ = std::move(name);
        target_ = target;
        return ERROR_SUCCESS;
    }
    return ERROR_SHARING_VIOLATION;
}

DWORD StageFile::replaceTarget()
{
    if (!fd_)
        return ERROR_INVALID_HANDLE;
    UniqueFd targetLock;
    if (const DWORD error = lockExisting(target_, targetLock))
        return error;
    if (targetLock && ::fsync(fd_.get()) != 0)
        return ErrorFromErrno(errno);
    if (::rename(path_.c_str(), target_.c_str()) != 0)
        return ErrorFromErrno(errno);
    path_.clear();
    fd_.reset();
    (void)syncFolder(folderOf(target_));
    return ERROR_SUCCESS;
}

void StageFile::discard()
{
    if (fd_ && !path_.empty() && pathNamesFile(path_, fd_.get()))
        ::unlink(path_.c_str());
    fd_.reset();
    path_.clear();
}

DWORD checkNotLocked(const std::string& path)
{
    UniqueFd lock;
    return lockExisting(path, lock);
}

namespace {

std::string randomSuffix()
{
    static constexpr char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string suffix(kStageSuffixLength, 'a');
    unsigned char bytes[kStageSuffixLength] = {};
    const UniqueFd random(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (!random || ::read(random.get(), bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes))
        for (std::size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<unsigned char>(std::rand());
    for (std::size_t i = 0; i < kStageSuffixLength; ++i)
        suffix[i] = kAlphabet[bytes[i] % (sizeof kAlphabet - 1)];
    return suffix;
}

int linkDescriptor(int fd, const std::string& name)
{
    const std::string source = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0
               ? 0
               : errno;
}

// Whether any process holds an open file description lock on the file open as fd.
bool hasSharedLock(int fd)
{
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

} // namespace

int PrivateName::create(int fd, const std::string& path)
{
    release();
    struct flock shared {};
    shared.l_type = F_RDLCK;
    shared.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &shared) != 0)
        return errno;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string name = path + kStageInfix + randomSuffix();
        const int err = linkDescriptor(fd, name);
        if (err == EEXIST)
            continue;
        if (err)
            return err;
        fd_ = fd;
        name_ = name;
        return 0;
    }
    return EEXIST;
}

bool PrivateName::ensure()
{
    if (name_.empty() || pathNamesFile(name_, fd_))
        return true;
    return linkDescriptor(fd_, name_) == 0 && pathNamesFile(name_, fd_);
}

void PrivateName::release()
{
    if (!name_.empty() && pathNamesFile(name_, fd_))
        ::unlink(name_.c_str());
    name_.clear();
    fd_ = -1;
}

void sweepStageFiles(const std::string& folder)
{
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir)
        return;
    const uid_t self = ::geteuid();
    while (const dirent* e = ::readdir(dir.get())) {
        if (!isStageName(e->d_name))
            continue;
        const std::string path = folder + "/" + e->d_name;
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != self)
            continue;
        // A run that is still writing holds the lock; only a dead run's file is free. A
        // second name of a WIM is alive while a handle holds the shared lock.
        if (st.st_nlink > 1 ? hasSharedLock(fd.get()) : ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        if (pathNamesFile(path, fd.get()))
            ::unlink(path.c_str());
    }
}
