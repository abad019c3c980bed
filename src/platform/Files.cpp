// File calls of the platform layer: copy, delete, attributes and directory search.

#include "platform/Files.h"
#include "platform/Kernel.h"

#include "platform/Errors.h"
#include "platform/FileAccess.h"
#include "platform/FileIo.h"

#include <QChar>
#include <QString>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

// Copies the rest of `in` to `out`: 0, or the errno value that stopped it.
int copyData(int in, int out)
{
    // copy_file_range keeps the data in the kernel (and lets file systems share extents);
    // plain read/write covers the file systems that refuse it.
    bool kernelCopy = true;
    for (;;) {
        if (kernelCopy) {
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
            const int err = n < 0 ? errno : 0;
            if (n > 0 || err == EINTR)
                continue;
            if (n == 0)
                return 0;
            if (err == EXDEV || err == ENOSYS || err == EINVAL || err == EOPNOTSUPP ||
                err == EPERM) {
                kernelCopy = false;
                continue;
            }
            return err;
        }
        static thread_local std::vector<char> buffer(1 << 20);
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0)
            return 0;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out, buffer.data() + done, std::size_t(got - done));
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            done += put;
        }
    }
}

FILETIME fileTime(const struct timespec& ts)
{
    constexpr std::int64_t kEpochDifference = 11644473600LL; // 1601 to 1970, in seconds
    const std::int64_t ticks =
        (std::int64_t(ts.tv_sec) + kEpochDifference) * 10000000LL + ts.tv_nsec / 100;
    const auto t = static_cast<std::uint64_t>(ticks < 0 ? 0 : ticks);
    return {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

DWORD attributesOf(const struct stat& st, bool isLink, const std::string& name)
{
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    else if (!(st.st_mode & S_IWUSR))
        attributes |= FILE_ATTRIBUTE_READONLY;
    if (!name.empty() && name[0] == '.' && name != "." && name != "..")
        attributes |= FILE_ATTRIBUTE_HIDDEN;
    if (isLink)
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (attributes == 0)
        attributes = FILE_ATTRIBUTE_NORMAL;
    return attributes;
}

// '*' and '?' wildcards, letters compared without case (simple case folding per code unit).
bool wildcardMatch(const QString& pattern, const QString& name)
{
    auto same = [](QChar a, QChar b) { return a == b || a.toCaseFolded() == b.toCaseFolded(); };
    qsizetype p = 0, n = 0, starP = -1, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == u'?' || same(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (starP >= 0) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

struct FindState {
    std::vector<WIN32_FIND_DATAW> entries;
    std::size_t next = 0;
};

struct FindTable {
    std::mutex mutex;
    std::unordered_set<FindState*> open;
};

FindTable& findTable()
{
    static FindTable table;
    return table;
}

bool fillFindData(int dirFd, const std::string& name, WIN32_FIND_DATAW& data)
{
    struct stat st {};
    struct stat lst {};
    const bool haveLink = ::fstatat(dirFd, name.c_str(), &lst, AT_SYMLINK_NOFOLLOW) == 0;
    if (::fstatat(dirFd, name.c_str(), &st, 0) != 0) {
        if (!haveLink)
            return false;
        st = lst; // a dangling link is listed as itself
    }
    const std::u16string wide = fromUtf8(name);
    if (wide.size() >= MAX_PATH)
        return false;
    data = {};
    data.dwFileAttributes = attributesOf(st, haveLink && S_ISLNK(lst.st_mode), name);
    data.ftCreationTime = fileTime(st.st_ctim);
    data.ftLastAccessTime = fileTime(st.st_atim);
    data.ftLastWriteTime = fileTime(st.st_mtim);
    const auto size = S_ISDIR(st.st_mode) ? std::uint64_t(0) : std::uint64_t(st.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
    std::copy(wide.begin(), wide.end(), data.cFileName);
    data.cFileName[wide.size()] = 0;
    return true;
}

} // namespace

UniqueFd openRegularFile(const std::string& path, int flags, int& error, struct stat* info)
{
    UniqueFd fd(::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        error = errno;
        return fd;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
        return UniqueFd();
    }
    // Regular files ignore O_NONBLOCK; clear it all the same for the reads that follow.
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    error = 0;
    if (info)
        *info = st;
    return fd;
}

DWORD ErrorFromOpenRegularFile(int error, const std::string& path)
{
    return error == EISDIR || error == ENXIO ? ERROR_ACCESS_DENIED
                                             : ErrorFromErrnoForFile(error, path);
}

DWORD readFileWithoutWaiting(LPCWSTR fileName, std::uint64_t maxUnsized,
                             const std::function<bool(const char*, std::size_t)>& consume)
{
    if (!fileName || !*fileName)
        return ERROR_INVALID_PARAMETER;
    const std::string path = toUtf8(fileName);
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file)
        return ErrorFromErrnoForFile(errno, path);
    struct stat st {};
    if (::fstat(file.get(), &st) != 0)
        return ErrorFromErrno(errno);
    if (S_ISDIR(st.st_mode))
        return ERROR_ACCESS_DENIED;
    const bool regular = S_ISREG(st.st_mode);
    std::vector<char> buffer(std::size_t{64} * 1024);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer.data(), buffer.size());
        if (got < 0) {
            const int err = errno;
            if (err == EINTR)
                continue;
            if (!regular && (err == EAGAIN || err == EWOULDBLOCK))
                return ERROR_SUCCESS;
            return ErrorFromErrno(err);
        }
        if (got == 0 || !consume(buffer.data(), static_cast<std::size_t>(got)))
            return ERROR_SUCCESS;
        total += static_cast<std::uint64_t>(got);
        if (!regular && total >= maxUnsized)
            return ERROR_SUCCESS;
    }
}

namespace {

// Renames the finished copy `temp` to `to`: over an existing file, or, with failIfExists,
// only where nothing has that name yet. ERROR_SUCCESS or the cause.
DWORD putCopyInPlace(const std::string& temp, const std::string& to, BOOL failIfExists)
{
    if (!failIfExists)
        return ::rename(temp.c_str(), to.c_str()) == 0 ? ERROR_SUCCESS : ErrorFromErrno(errno);
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return ERROR_SUCCESS;
    const int renameErr = errno;
    if (renameErr == EEXIST)
        return ERROR_FILE_EXISTS;
    if (renameErr != EINVAL && renameErr != ENOSYS)
        return ErrorFromErrno(renameErr);
    // File systems without RENAME_NOREPLACE: link() also refuses an existing name.
    if (::link(temp.c_str(), to.c_str()) != 0)
        return errno == EEXIST ? ERROR_FILE_EXISTS : ErrorFromErrno(errno);
    ::unlink(temp.c_str());
    return ERROR_SUCCESS;
}

} // namespace

BOOL CopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists)
{
    if (!existingFileName || !*existingFileName || !newFileName || !*newFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string from = toUtf8(existingFileName);
    const std::string to = toUtf8(newFileName);

    // Only regular files are copied, and a FIFO named as the source cannot block us.
    int err = 0;
    struct stat st {};
    const UniqueFd in = openRegularFile(from, O_RDONLY, err, &st);
    if (!in) {
        SetLastError(ErrorFromOpenRegularFile(err, from));
        return FALSE;
    }

    struct stat existing {};
    if (failIfExists && ::lstat(to.c_str(), &existing) == 0) {
        SetLastError(ERROR_FILE_EXISTS);
        return FALSE;
    }

    // Write a new file beside the destination (O_EXCL: never through anything planted
    // there) and rename it over the destination, which replaces a symbolic link itself
    // rather than the file it points to.
    std::string temp = folderOf(to) + "/." + baseNameOf(to) + ".XXXXXX";
    if (baseNameOf(to).empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    UniqueFd out(::mkostemp(temp.data(), O_CLOEXEC));
    if (!out) {
        SetLastError(ErrorFromErrnoForFolder(errno));
        return FALSE;
    }
    auto abandon = [&](DWORD error) {
        ::unlink(temp.c_str());
        SetLastError(error);
        return FALSE;
    };
    if (const int copyErr = copyData(in.get(), out.get()))
        return abandon(ErrorFromErrno(copyErr));
    ::fchmod(out.get(), st.st_mode & 0777);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);
    if (const int closeErr = out.close())
        return abandon(ErrorFromErrno(closeErr));

    if (const DWORD error = putCopyInPlace(temp, to, failIfExists))
        return abandon(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR fileName)
{
    if (!fileName || !*fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string path = toUtf8(fileName);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        SetLastError(ErrorFromErrnoForFile(errno, path));
        return FALSE;
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (::unlink(path.c_str()) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR fileName)
{
    if (!fileName || !*fileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    const std::string path = toUtf8(fileName);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        SetLastError(ErrorFromErrnoForFile(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat lst {};
    const bool isLink = ::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode);
    std::string name = path;
    while (name.size() > 1 && name.back() == '/')
        name.pop_back();
    return attributesOf(st, isLink, baseNameOf(name));
}

namespace {

// The entries of the folder open as dirFd whose names match the wildcard pattern, in name
// order. ERROR_SUCCESS or the cause of a folder that cannot be listed.
DWORD findMatches(int dirFd, const QString& pattern, std::vector<WIN32_FIND_DATAW>& out)
{
    UniqueFd listFd(::dup(dirFd));
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(listFd ? ::fdopendir(listFd.get()) : nullptr,
                                                  ::closedir);
    if (!dir)
        return ErrorFromErrno(errno);
    listFd.release(); // the DIR stream owns it now
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (wildcardMatch(pattern, QString::fromStdString(name)))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    WIN32_FIND_DATAW data;
    for (const std::string& name : names)
        if (fillFindData(dirFd, name, data))
            out.push_back(data);
    return ERROR_SUCCESS;
}

} // namespace

HANDLE FindFirstFileW(LPCWSTR fileName, WIN32_FIND_DATAW* findData)
{
    if (!fileName || !*fileName || !findData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::string path = toUtf8(fileName);
    const std::string folder = folderOf(path);
    const std::string patternUtf8 = baseNameOf(path);
    if (patternUtf8.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    QString pattern = QString::fromStdString(patternUtf8);
    if (pattern == u"*.*")
        pattern = QStringLiteral("*"); // the platform's "every name", dots or not

    const UniqueFd dirFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd) {
        SetLastError(ErrorFromErrnoForFolder(errno));
        return INVALID_HANDLE_VALUE;
    }

    auto state = std::make_unique<FindState>();
    const bool wildcards = pattern.contains(u'*') || pattern.contains(u'?');
    WIN32_FIND_DATAW data;
    // An exact name that exists is the one answer, as the platform (where letter case never
    // tells names apart) would give it.
    if (!wildcards && fillFindData(dirFd.get(), patternUtf8, data)) {
        state->entries.push_back(data);
    } else if (const DWORD error = findMatches(dirFd.get(), pattern, state->entries)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (state->entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    *findData = state->entries[0];
    state->next = 1;
    FindTable& table = findTable();
    std::lock_guard lock(table.mutex);
    table.open.insert(state.get());
    SetLastError(ERROR_SUCCESS);
    return state.release();
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* findData)
{
    FindTable& table = findTable();
    std::lock_guard lock(table.mutex);
    auto* state = static_cast<FindState*>(find);
    if (!table.open.count(state) || !findData) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (state->next >= state->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *findData = state->entries[state->next++];
    return TRUE;
}

BOOL FindClose(HANDLE find)
{
    FindTable& table = findTable();
    std::lock_guard lock(table.mutex);
    auto* state = static_cast<FindState*>(find);
    if (!table.open.erase(state)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete state;
    return TRUE;
}
