#include "MountRecord.h"

#include "platform/FileIo.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr char kRecordPrefix[] = "mount-";
constexpr char kPendingPrefix[] = ".pending-";
constexpr char kStagingPrefix[] = "pelloric-staging.";
constexpr char kMagic[] = "pelloric-mount-record 1";
// A record is a few paths; anything larger is not one of ours.
constexpr std::size_t kMaxRecordBytes = std::size_t{64} * 1024;
// Deeper than libwim's staging layout (two levels) ever goes; a guard, not a limit in use.
constexpr int kMaxStagingDepth = 8;

// A folder that only this user can use: a real folder (not a symlink), owned by us, with no
// permission for group or others.
bool isPrivateFolder(const std::string& path)
{
    struct stat st {
    };
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & 077) == 0;
}

bool isOwnFolder(const char* path)
{
    struct stat st {
    };
    return path && path[0] == '/' && lstat(path, &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == geteuid();
}

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool writeRecord(int fd, const std::string& data)
{
    return writeAll(fd, data.data(), data.size(), 0) == 0;
}

// The cause field, always the same length: "<count>:<errno>".
std::string causeField(const MountRecord& record)
{
    char text[32];
    std::snprintf(text, sizeof text, "%010u:%010d", record.causeCount, record.cause);
    return text;
}

// Fields separated by NUL: paths may hold any other byte.
std::string serialize(const MountRecord& record)
{
    std::string out;
    for (const std::string& field :
         {std::string(kMagic), record.mountFolder, record.wimPath,
          std::to_string(record.imageIndex), std::string(record.readWrite ? "1" : "0"),
          record.stagingFolder, causeField(record)}) {
        out += field;
        out += '\0';
    }
    return out;
}

bool parseCause(const std::string& field, MountRecord& record)
{
    unsigned count = 0;
    int cause = 0;
    char end = 0;
    if (std::sscanf(field.c_str(), "%10u:%10d%c", &count, &cause, &end) != 2)
        return false;
    record.causeCount = count;
    record.cause = cause;
    return true;
}

bool parse(const std::string& data, MountRecord& record)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start < data.size()) {
        const auto end = data.find('\0', start);
        if (end == std::string::npos)
            return false;
        fields.push_back(data.substr(start, end - start));
        start = end + 1;
    }
    // Six fields from a helper that kept no cause, seven with it.
    if (fields.size() < 6 || fields.size() > 7 || fields[0] != kMagic || fields[1].empty() ||
        fields[1][0] != '/')
        return false;
    if (fields.size() == 7 && !parseCause(fields[6], record))
        return false;
    char* end = nullptr;
    errno = 0; // strtol tells an overflow only by errno
    const long index = std::strtol(fields[3].c_str(), &end, 10);
    if (errno != 0 || end == fields[3].c_str() || *end != '\0' || index < 0 || index > 0x7fffffff)
        return false;
    record.mountFolder = fields[1];
    record.wimPath = fields[2];
    record.imageIndex = static_cast<int>(index);
    record.readWrite = fields[4] == "1";
    record.stagingFolder = fields[5];
    return true;
}

bool readRecord(int fd, std::string& data)
{
    return readToEnd(fd, data, kMaxRecordBytes);
}

using DirPtr = std::unique_ptr<DIR, int (*)(DIR*)>;

// Removes the entry name of the folder open as parentFd, with everything below it, never
// following a symlink.
bool removeTreeAt(int parentFd, const char* name, int depth)
{
    UniqueFd fd(openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        const int err = errno;
        if (err == ENOENT)
            return true;
        // Not a folder (a file, a symlink): remove the entry itself.
        if (err == ENOTDIR || err == ELOOP)
            return unlinkat(parentFd, name, 0) == 0 || errno == ENOENT;
        return false;
    }
    const DirPtr dir(fdopendir(fd.get()), closedir);
    if (!dir)
        return false;
    fd.release(); // the DIR stream owns it now
    bool ok = depth < kMaxStagingDepth;
    while (ok) {
        errno = 0; // readdir tells its end from a failure only by errno
        const dirent* entry = readdir(dir.get());
        if (!entry) {
            ok = errno == 0;
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        ok = removeTreeAt(dirfd(dir.get()), entry->d_name, depth + 1);
    }
    return ok && (unlinkat(parentFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT);
}

} // namespace

std::string mountRecordFolder(bool create)
{
    std::string folder;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (isOwnFolder(runtime)) {
        folder = std::string(runtime) + "/pelloric-mounts";
    } else if (geteuid() == 0 && isOwnFolder("/run")) {
        folder = "/run/pelloric-mounts";
    } else {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp && tmp[0] == '/' ? tmp : "/tmp";
        while (base.size() > 1 && base.back() == '/')
            base.pop_back();
        folder = base + "/pelloric-mounts-" + std::to_string(geteuid());
    }
    if (create && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    return isPrivateFolder(folder) ? folder : std::string();
}

UniqueFd createMountRecord(const MountRecord& record, std::string& path)
{
    const std::string folder = mountRecordFolder(true);
    if (folder.empty())
        return UniqueFd();
    std::string pending = folder + "/" + kPendingPrefix + "XXXXXX";
    UniqueFd fd(mkostemp(pending.data(), O_CLOEXEC));
    if (!fd)
        return fd;
    const std::string suffix = pending.substr(pending.size() - 6);
    const std::string named = folder + "/" + kRecordPrefix + suffix;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || !writeRecord(fd.get(), serialize(record)) ||
        fsync(fd.get()) != 0 || rename(pending.c_str(), named.c_str()) != 0) {
        unlink(pending.c_str());
        return UniqueFd();
    }
    path = named;
    return fd;
}

std::vector<MountRecord> listMountRecords()
{
    std::vector<MountRecord> records;
    const std::string folder = mountRecordFolder(false);
    if (folder.empty())
        return records;
    const DirPtr dir(opendir(folder.c_str()), closedir);
    if (!dir)
        return records;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (!startsWith(name, kRecordPrefix))
            continue;
        std::string path = folder;
        path += '/';
        path += name;
        const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (!fd)
            continue;
        MountRecord record;
        std::string data;
        struct stat st {
        };
        if (fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
            readRecord(fd.get(), data) && parse(data, record)) {
            record.path = path;
            record.orphaned = flock(fd.get(), LOCK_SH | LOCK_NB) == 0;
            records.push_back(std::move(record));
        }
    }
    return records;
}

bool removeOrphanedMountRecord(const MountRecord& record)
{
    if (record.path.empty() || !startsWith(baseNameOf(record.path), kRecordPrefix))
        return false;
    const UniqueFd fd(open(record.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return errno == ENOENT;
    // Held while the files go, so that no second cleaner works on the same record.
    struct stat opened {
    };
    struct stat named {
    };
    return flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && fstat(fd.get(), &opened) == 0 &&
           lstat(record.path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino &&
           (record.stagingFolder.empty() || removeStagingFolder(record.stagingFolder)) &&
           unlink(record.path.c_str()) == 0;
}

bool updateMountRecordCause(int fd, const MountRecord& record)
{
    return writeRecord(fd, serialize(record));
}

bool rereadMountRecord(const std::string& path, MountRecord& record)
{
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    std::string data;
    return fd && readRecord(fd.get(), data) && parse(data, record);
}

void releaseMountRecord(UniqueFd fd, const std::string& path, const MountRecord& record)
{
    if (!record.stagingFolder.empty())
        removeStagingFolder(record.stagingFolder);
    if (!path.empty())
        unlink(path.c_str());
    fd.reset(); // releases the lock last
}

std::string makeStagingFolder(const std::string& parent, int& error)
{
    std::string folder = parent;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    folder += std::string("/") + kStagingPrefix + "XXXXXX";
    if (!mkdtemp(folder.data())) {
        error = errno;
        return {};
    }
    error = 0;
    return folder;
}

bool removeStagingFolder(const std::string& folder)
{
    const auto slash = folder.rfind('/');
    if (folder.empty() || folder[0] != '/' || slash == std::string::npos ||
        !startsWith(folder.substr(slash + 1), kStagingPrefix))
        return false;
    struct stat st {
    };
    if (lstat(folder.c_str(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        return false;
    const std::string parent = slash == 0 ? std::string("/") : folder.substr(0, slash);
    const UniqueFd parentFd(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return parentFd && removeTreeAt(parentFd.get(), folder.c_str() + slash + 1, 0);
}
