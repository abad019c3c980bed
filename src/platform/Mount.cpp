// Mounting over libwim: the mount itself runs in pelloric-mount-helper (libwim's mount call
// forks and ends its caller, which a threaded program must never do); unmounting talks to
// the daemon from this process; the list comes from the mount table and the daemon's xattrs.
#include "platform/Mount.h"

#include "platform/Errors.h"
#include "platform/Imaging.h"
#include "platform/ImagingHandles.h"
#include "platform/Kernel.h"
#include "platform/MountTable.h"
#include "platform/UniqueFd.h"
#include "platform/mount-helper/MountHelperProtocol.h"
#include "platform/mount-helper/MountRecord.h"

#include <wimlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr char kHelperName[] = "pelloric-mount-helper";
constexpr char kWimfsType[] = "fuse.wimfs";

std::mutex gHelperMutex;
std::string gHelperOverride;

BOOL failWith(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

std::string helperPath()
{
    {
        std::lock_guard lock(gHelperMutex);
        if (!gHelperOverride.empty())
            return gHelperOverride;
    }
    std::u16string exe(4096, u'\0');
    const DWORD length = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
    if (length == 0 || length >= exe.size())
        return {};
    exe.resize(length);
    std::string path = toUtf8(exe);
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return path.substr(0, slash + 1) + kHelperName;
}

// Relative paths are taken against the current folder here, so that no path handed to the
// helper can be read as an option, and the helper's daemon (which leaves the current folder)
// still finds them.
std::string absolutePath(const std::string& path)
{
    if (path.empty() || path.front() == '/')
        return path;
    char* cwd = getcwd(nullptr, 0);
    if (!cwd)
        return path;
    std::string result(cwd);
    std::free(cwd);
    if (result.back() != '/')
        result += '/';
    return result + path;
}

std::string canonicalPath(const std::string& path)
{
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return path;
    std::string result(resolved);
    std::free(resolved);
    return result;
}

// The canonical path of a mount folder. A dead mount's folder cannot be resolved itself
// (every call on it fails), so its parent is resolved and its name kept.
std::string canonicalFolder(const std::string& path)
{
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved) {
        std::string result(resolved);
        std::free(resolved);
        return result;
    }
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    if (slash == std::string::npos)
        return path;
    const std::string name = trimmed.substr(slash + 1);
    if (name.empty() || name == "." || name == "..")
        return path;
    const std::string parent =
        canonicalPath(slash == 0 ? std::string("/") : trimmed.substr(0, slash));
    return parent == "/" ? "/" + name : parent + "/" + name;
}

// ---- error codes --------------------------------------------------------------------------

DWORD helperError(const MountHelperStatus& status)
{
    switch (status.stage) {
    case MountStage::Arguments:
    case MountStage::ImageIndex:
        return ERROR_INVALID_PARAMETER;
    case MountStage::MountFolder:
    case MountStage::StagingFolder:
        // The helper's check says ENOTDIR for a path that is there but no folder.
        return status.sysErrno == ENOTDIR ? ERROR_DIRECTORY
                                          : ErrorFromErrnoForFolder(status.sysErrno);
    case MountStage::FuseDevice:
        return status.sysErrno == ENOENT ? ERROR_DEV_NOT_EXIST : ErrorFromErrno(status.sysErrno);
    case MountStage::OpenWim:
    case MountStage::Mount:
    case MountStage::Setup:
        return ErrorFromWimlib(status.wimlibCode, status.sysErrno);
    }
    return ERROR_GEN_FAILURE;
}

// ---- the mount table ----------------------------------------------------------------------

struct WimfsMount {
    std::string point;
    bool readOnly = false;
};

// Every wimfs mount, in mount table order. ERROR_SUCCESS, or why the table cannot be read.
DWORD wimfsMounts(std::vector<WimfsMount>& mounts)
{
    std::vector<MountTableEntry> table;
    if (const DWORD error = readMountTable(table))
        return error;
    for (MountTableEntry& entry : table) {
        if (entry.fsType == kWimfsType)
            mounts.push_back({std::move(entry.mountPoint), entry.readOnly});
    }
    return ERROR_SUCCESS;
}

int countWimfsMountsAt(const std::string& canonicalFolder)
{
    std::vector<WimfsMount> mounts;
    if (wimfsMounts(mounts) != ERROR_SUCCESS)
        return 0;
    int count = 0;
    for (const WimfsMount& mount : mounts)
        count += mount.point == canonicalFolder ? 1 : 0;
    return count;
}

// A mount whose daemon is gone: the kernel answers every call on it with ENOTCONN.
bool isDeadMount(const std::string& point)
{
    struct stat st {};
    return stat(point.c_str(), &st) != 0 && errno == ENOTCONN;
}

struct WimfsInfo {
    std::string wimPath;
    int imageIndex = 0;
    int mountFlags = 0;
};

// What the daemon of the mount at folder says about itself; false when it does not answer
// (not a wimfs mount, or its daemon is gone).
bool readWimfsInfo(const std::string& folder, WimfsInfo& info)
{
    int value = 0;
    if (getxattr(folder.c_str(), "wimfs.mount_flags", &value, sizeof value) != sizeof value)
        return false;
    info.mountFlags = value;
    if (getxattr(folder.c_str(), "wimfs.mounted_image", &value, sizeof value) != sizeof value)
        return false;
    info.imageIndex = value;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t size = getxattr(folder.c_str(), "wimfs.wim_filename", nullptr, 0);
        if (size <= 0)
            return false;
        std::string name(static_cast<std::size_t>(size), '\0');
        const ssize_t got =
            getxattr(folder.c_str(), "wimfs.wim_filename", name.data(), name.size());
        if (got < 0 && errno == ERANGE)
            continue;
        if (got <= 0)
            return false;
        name.resize(static_cast<std::size_t>(got));
        while (!name.empty() && name.back() == '\0')
            name.pop_back();
        info.wimPath = std::move(name);
        return true;
    }
    return false;
}

// ---- the helper process -------------------------------------------------------------------

// Starts the helper as its own session with default signal handling, its status pipe as
// kStatusFd: 0, or the errno value of posix_spawn.
int spawnHelper(const std::string& helper, const std::vector<std::string>& args, int statusFd,
                pid_t& pid)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(helper.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, statusFd, kStatusFd);
    // The daemon outlives this process: its own session, default signal handling, no signal
    // blocked by whichever thread started it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    const int result =
        posix_spawn(&pid, helper.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return result;
}

// Reads the helper's status pipe to its end: the bytes received, the status in `status`.
std::size_t readHelperStatus(int fd, MountHelperStatus& status)
{
    std::size_t received = 0;
    char scratch[64];
    for (;;) {
        char* target =
            received < sizeof status ? reinterpret_cast<char*>(&status) + received : scratch;
        const std::size_t room =
            received < sizeof status ? sizeof status - received : sizeof scratch;
        const ssize_t n = read(fd, target, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return received;
        received += static_cast<std::size_t>(n);
    }
}

// Starts the helper, reads its status pipe to end of file and reaps it. Returns TRUE when the
// helper reports a finished mount.
BOOL runMountHelper(const std::string& helper, const std::vector<std::string>& args)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return failWith(ErrorFromErrno(errno));
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    if (writeEnd.get() == kStatusFd) {
        // dup2 onto itself would keep close-on-exec set; move it out of the way first.
        UniqueFd moved(fcntl(writeEnd.get(), F_DUPFD_CLOEXEC, kStatusFd + 1));
        if (!moved)
            return failWith(ErrorFromErrno(errno));
        writeEnd = std::move(moved);
    }
    pid_t pid = 0;
    const int spawnResult = spawnHelper(helper, args, writeEnd.get(), pid);
    writeEnd.reset();
    if (spawnResult != 0)
        return failWith(spawnResult == ENOENT || spawnResult == EACCES || spawnResult == ENOEXEC
                            ? ERROR_MOD_NOT_FOUND
                            : ErrorFromErrno(spawnResult));
    MountHelperStatus status{};
    const std::size_t received = readHelperStatus(readEnd.get(), status);
    int waitStatus = 0;
    while (waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    if (received >= sizeof status && status.magic == kStatusMagic)
        return failWith(helperError(status));
    if (received != 0 || !WIFEXITED(waitStatus) || WEXITSTATUS(waitStatus) != 0)
        return failWith(ERROR_GEN_FAILURE);
    return TRUE;
}

// ---- dead mounts and the helpers' records ---------------------------------------------

// The records naming folder, orphaned ones first.
std::vector<MountRecord> recordsFor(const std::string& folder)
{
    std::vector<MountRecord> found;
    for (MountRecord& record : listMountRecords()) {
        if (record.mountFolder == folder)
            found.push_back(std::move(record));
    }
    std::stable_sort(found.begin(), found.end(), [](const MountRecord& a, const MountRecord& b) {
        return a.orphaned && !b.orphaned;
    });
    return found;
}

// Records whose helper is gone and whose folder holds no wimfs mount any more (the dead
// mount was detached by someone else, or the helper died before mounting): their staging
// folders go now, as nothing will ever use them.
void sweepOrphanedRecords(const std::vector<WimfsMount>& mounts)
{
    for (const MountRecord& record : listMountRecords()) {
        if (!record.orphaned)
            continue;
        const bool mounted = std::any_of(mounts.begin(), mounts.end(), [&](const WimfsMount& m) {
            return m.point == record.mountFolder;
        });
        if (!mounted)
            removeOrphanedMountRecord(record);
    }
}

// Unmounts through the setuid fusermount, as FUSE lets users do for their own mounts.
bool runFusermount(const std::string& folder)
{
    for (const char* program : {"fusermount", "fusermount3"}) {
        const char* argv[] = {program, "-u", "-z", "--", folder.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        const int spawned =
            posix_spawnp(&pid, program, &actions, nullptr, const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0)
            continue;
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return false;
}

// Takes a dead mount off its folder: a lazy unmount, which cannot wait for a daemon that is
// gone. Root does it directly; a user goes through fusermount.
DWORD detachDeadMount(const std::string& folder)
{
    if (umount2(folder.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) == 0)
        return ERROR_SUCCESS;
    const int err = errno;
    if ((err == EPERM || err == EACCES) && runFusermount(folder))
        return ERROR_SUCCESS;
    return err == ENOENT ? ERROR_NOT_FOUND : ErrorFromErrno(err);
}

bool sameWimFile(LPCWSTR wimFileName, const std::string& recorded)
{
    const std::string wim = absolutePath(toUtf8(wimFileName));
    return wim == recorded || canonicalPath(wim) == recorded;
}

BOOL unmountDeadMount(const std::string& folder, LPCWSTR wimFileName, DWORD imageIndex)
{
    const std::vector<MountRecord> records = recordsFor(folder);
    if (!records.empty()) {
        const MountRecord& record = records.front();
        if (imageIndex != 0 && static_cast<DWORD>(record.imageIndex) != imageIndex)
            return failWith(ERROR_INVALID_PARAMETER);
        if (wimFileName && *wimFileName && !sameWimFile(wimFileName, record.wimPath))
            return failWith(ERROR_INVALID_PARAMETER);
    }
    const int mountedBefore = countWimfsMountsAt(folder);
    if (const DWORD error = detachDeadMount(folder); error != ERROR_SUCCESS)
        return failWith(error);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (countWimfsMountsAt(folder) >= mountedBefore &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (const MountRecord& record : records) {
        if (record.orphaned)
            removeOrphanedMountRecord(record);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// Every wimfs mount as level-1 information, in mount table order: live ones from what their
// daemon says, dead ones from their helper's record. False (last error set) when the mount
// table cannot be read.
bool collectMounts(std::vector<WIM_MOUNT_INFO_LEVEL1>& entries)
{
    entries.clear();
    std::vector<WimfsMount> mounts;
    if (const DWORD error = wimfsMounts(mounts)) {
        SetLastError(error);
        return false;
    }
    sweepOrphanedRecords(mounts);
    for (const WimfsMount& mount : mounts) {
        std::string wimPath;
        DWORD index = 0;
        DWORD flags = 0;
        WimfsInfo info;
        if (readWimfsInfo(mount.point, info)) {
            wimPath = info.wimPath;
            index = static_cast<DWORD>(info.imageIndex);
            flags = WIM_MOUNT_FLAG_MOUNTED;
            if (info.mountFlags & WIMLIB_MOUNT_FLAG_READWRITE)
                flags |= WIM_MOUNT_FLAG_READWRITE;
        } else if (isDeadMount(mount.point)) {
            flags = WIM_MOUNT_FLAG_INVALID | (mount.readOnly ? 0 : WIM_MOUNT_FLAG_READWRITE);
            const std::vector<MountRecord> records = recordsFor(mount.point);
            if (!records.empty()) {
                wimPath = records.front().wimPath;
                index = static_cast<DWORD>(records.front().imageIndex);
            }
        } else {
            continue; // alive, but not answering this user
        }
        const std::u16string folder = fromUtf8(mount.point);
        const std::u16string wim = fromUtf8(wimPath);
        if (folder.size() >= MAX_PATH || wim.size() >= MAX_PATH)
            continue;
        WIM_MOUNT_INFO_LEVEL1 entry{};
        wstrCopy(entry.WimPath, MAX_PATH, wim.c_str());
        wstrCopy(entry.MountPath, MAX_PATH, folder.c_str());
        entry.ImageIndex = index;
        entry.MountFlags = flags;
        entries.push_back(entry);
    }
    return true;
}

// Waits (bounded) until no process holds the record open by fd: the daemon that held it
// has ended and removed its staging folder.
void waitForRecordRelease(int fd)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (flock(fd, LOCK_SH | LOCK_NB) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

} // namespace

void setMountHelperPath(LPCWSTR path)
{
    std::lock_guard lock(gHelperMutex);
    gHelperOverride = path ? toUtf8(path) : std::string();
}

BOOL WIMMountImage(LPCWSTR mountPath, LPCWSTR wimFileName, DWORD imageIndex, LPCWSTR tempPath)
{
    if (!mountPath || !*mountPath || !wimFileName || !*wimFileName || imageIndex == 0 ||
        imageIndex > static_cast<DWORD>(INT_MAX))
        return failWith(ERROR_INVALID_PARAMETER);
    const std::string folder = absolutePath(toUtf8(mountPath));
    const std::string wim = absolutePath(toUtf8(wimFileName));
    const bool readWrite = tempPath && *tempPath;

    // The mounted-image list holds paths of up to 259 characters; a mount it could not list
    // could not be unmounted through it either.
    if (fromUtf8(canonicalPath(folder)).size() >= MAX_PATH ||
        fromUtf8(canonicalPath(wim)).size() >= MAX_PATH)
        return failWith(ERROR_FILENAME_EXCED_RANGE);

    // Only a regular file is a WIM; libwim's open of a FIFO would block the helper.
    struct stat st {};
    if (::stat(wim.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return failWith(ERROR_ACCESS_DENIED);

    const std::string helper = helperPath();
    if (helper.empty() || access(helper.c_str(), X_OK) != 0)
        return failWith(ERROR_MOD_NOT_FOUND);

    std::vector<std::string> args{wim, std::to_string(imageIndex), folder};
    if (readWrite)
        args.push_back(absolutePath(toUtf8(tempPath)));
    if (!runMountHelper(helper, args))
        return FALSE;

    // The helper's first process ends only after the file system is mounted; make sure.
    if (countWimfsMountsAt(canonicalPath(folder)) == 0)
        return failWith(ERROR_GEN_FAILURE);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

namespace {

// The daemon of a read-write mount ended while it committed the changes: the commit may not
// have completed. The failure says so, and whether the WIM verifies now.
BOOL failInterruptedCommit(const std::string& wimPath)
{
    WIMStruct* raw = nullptr;
    int ret = wimlib_open_wim(wimPath.c_str(), 0, &raw);
    if (ret == 0)
        ret = wimlib_verify_wim(raw, 0);
    wimlib_free(raw);
    imaging::setErrorDetail(ERROR_PROCESS_ABORTED,
                            ret == 0 ? WIM_DETAIL_COMMIT_INTERRUPTED_FILE_VERIFIES
                                     : WIM_DETAIL_COMMIT_INTERRUPTED_FILE_DAMAGED,
                            wimPath);
    return failWith(ERROR_PROCESS_ABORTED);
}

} // namespace

BOOL WIMUnmountImage(LPCWSTR mountPath, LPCWSTR wimFileName, DWORD imageIndex, BOOL commitChanges)
{
    imaging::clearErrorDetail();
    if (!mountPath || !*mountPath)
        return failWith(ERROR_INVALID_PARAMETER);
    const std::string folder = canonicalFolder(absolutePath(toUtf8(mountPath)));

    WimfsInfo info;
    if (!readWimfsInfo(folder, info)) {
        if (countWimfsMountsAt(folder) > 0 && isDeadMount(folder))
            return unmountDeadMount(folder, wimFileName, imageIndex);
        return failWith(ERROR_NOT_FOUND);
    }
    if (imageIndex != 0 && static_cast<DWORD>(info.imageIndex) != imageIndex)
        return failWith(ERROR_INVALID_PARAMETER);
    if (wimFileName && *wimFileName && !sameWimFile(wimFileName, info.wimPath))
        return failWith(ERROR_INVALID_PARAMETER);

    // The record of the helper serving this mount, held open to learn when its daemon ends;
    // what it says before the unmount tells a cause the daemon notes during it.
    UniqueFd record;
    MountRecord before;
    for (const MountRecord& candidate : recordsFor(folder)) {
        if (!candidate.orphaned) {
            record.reset(open(candidate.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            before = candidate;
            break;
        }
    }

    const int mountedBefore = countWimfsMountsAt(folder);
    const int result =
        wimlib_unmount_image(folder.c_str(), commitChanges ? WIMLIB_UNMOUNT_FLAG_COMMIT : 0);
    if (result != 0 && commitChanges && countWimfsMountsAt(folder) > 0 && isDeadMount(folder))
        return failInterruptedCommit(info.wimPath);
    if (result != 0) {
        // A commit fails in the daemon, whose status comes without its errno: the daemon's
        // record has it. Of this process's own part only the message queue fails with a
        // system call's errno; any other errno here is not the failure's.
        int cause = result == WIMLIB_ERR_MQUEUE ? errno : 0;
        MountRecord after;
        if (!before.path.empty() && rereadMountRecord(before.path, after) &&
            after.causeCount != before.causeCount)
            cause = after.cause;
        return failWith(ErrorFromWimlib(result, cause));
    }

    // The daemon leaves the mount table just after answering, and removes its staging folder
    // after that; wait for both, so that a list taken right after this call no longer shows
    // the image and nothing of the mount is left on disk.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (countWimfsMountsAt(folder) >= mountedBefore && mountedBefore > 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (record)
        waitForRecordRelease(record.get());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WIMGetMountedImageInfo(MOUNTED_IMAGE_INFO_LEVELS infoLevel, DWORD* imageCount, PVOID mountInfo,
                            DWORD cbMountInfoLength, DWORD* returnLength)
{
    if (!returnLength || !imageCount ||
        (infoLevel != MountedImageInfoLevel0 && infoLevel != MountedImageInfoLevel1))
        return failWith(ERROR_INVALID_PARAMETER);
    std::vector<WIM_MOUNT_INFO_LEVEL1> entries;
    if (!collectMounts(entries))
        return FALSE;

    static_assert(sizeof(WIM_MOUNT_INFO_LEVEL0) == sizeof(WIM_MOUNT_INFO_LEVEL1));
    const std::size_t needed = entries.size() * sizeof(WIM_MOUNT_INFO_LEVEL1);
    if (needed > 0xFFFFFFFFu)
        return failWith(ERROR_NOT_ENOUGH_MEMORY);
    *imageCount = static_cast<DWORD>(entries.size());
    *returnLength = static_cast<DWORD>(needed);
    if (cbMountInfoLength < needed || (needed > 0 && !mountInfo))
        return failWith(ERROR_INSUFFICIENT_BUFFER);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const WIM_MOUNT_INFO_LEVEL1& entry = entries[i];
        if (infoLevel == MountedImageInfoLevel1) {
            static_cast<WIM_MOUNT_INFO_LEVEL1*>(mountInfo)[i] = entry;
            continue;
        }
        WIM_MOUNT_INFO_LEVEL0 plain{};
        std::memcpy(plain.WimPath, entry.WimPath, sizeof plain.WimPath);
        std::memcpy(plain.MountPath, entry.MountPath, sizeof plain.MountPath);
        plain.ImageIndex = entry.ImageIndex;
        plain.MountedForRW = (entry.MountFlags & WIM_MOUNT_FLAG_READWRITE) ? TRUE : FALSE;
        static_cast<WIM_MOUNT_INFO_LEVEL0*>(mountInfo)[i] = plain;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WIMGetMountedImages(WIM_MOUNT_LIST* mountList, DWORD* cbMountListLength)
{
    if (!cbMountListLength)
        return failWith(ERROR_INVALID_PARAMETER);
    DWORD count = 0;
    DWORD needed = 0;
    const BOOL ok = WIMGetMountedImageInfo(MountedImageInfoLevel0, &count, mountList,
                                           *cbMountListLength, &needed);
    const DWORD error = GetLastError();
    if (ok || error == ERROR_INSUFFICIENT_BUFFER)
        *cbMountListLength = needed;
    SetLastError(error);
    return ok;
}
