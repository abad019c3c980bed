// New files that take their target's place only when complete: written under a name of their
// own beside the target ("<target>.pelloric-XXXXXX", in the target's folder, so that the
// rename stays on one file system), locked while their run writes them, and renamed over the
// target at the end. A stage file whose lock is free belongs to a run that ended without
// finishing; sweepStageFiles removes such files.
#pragma once

#include "UniqueFd.h"
#include "WinTypes.h"

#include <string>

class StageFile {
public:
    StageFile() = default;
    StageFile(StageFile&& other) noexcept = default;
    StageFile& operator=(StageFile&& other) noexcept;
    StageFile(const StageFile&) = delete;
    StageFile& operator=(const StageFile&) = delete;
    // A stage that was not put in place is removed.
    ~StageFile() { discard(); }

    // Creates a new, empty stage file for `target` (a resolved path), mode 0644 where the
    // file system keeps modes, exclusively (never through an existing entry) and locked.
    // ERROR_SUCCESS, or the cause (the folder's: a missing or read-only folder).
    DWORD create(const std::string& target);
    explicit operator bool() const noexcept { return static_cast<bool>(fd_); }
    int fd() const noexcept { return fd_.get(); }
    const std::string& path() const noexcept { return path_; }
    const std::string& target() const noexcept { return target_; }

    // Puts the stage in place of the target. An existing target is locked first (flock,
    // held through the rename): ERROR_SHARING_VIOLATION when another writer or a read-write
    // mount holds it, and nothing is replaced. The stage's data is flushed before it
    // replaces a file (a new name loses nothing and is not worth a wait for the disk), and
    // the folder after the rename. ERROR_SUCCESS, or the cause; on failure the stage stays
    // (the destructor or discard() removes it).
    DWORD replaceTarget();
    // Removes the stage file (when its name still holds it) and closes it.
    void discard();

private:
    UniqueFd fd_;
    std::string path_;
    std::string target_;
};

// A second name of a file held open, in its folder ("<path>.pelloric-XXXXXX") and known only
// to this process. A library that opens a file by name and later reopens it by that name for
// writing reaches this very file through it, whatever is renamed onto `path` meanwhile. While
// the name is held the file carries a shared lock (an open file description lock, which
// flock users do not see) on the descriptor given, so that sweepStageFiles tells the name of a
// run that ended from a live one. File systems without hard links (exFAT, FAT32) give no name.
class PrivateName {
public:
    PrivateName() = default;
    PrivateName(const PrivateName&) = delete;
    PrivateName& operator=(const PrivateName&) = delete;
    ~PrivateName() { release(); }

    // Makes the name for the file open as fd, whose path is `path`. 0, or the errno value of
    // the failed link (EPERM and the like where the file system has no hard links).
    int create(int fd, const std::string& path);
    // Makes sure the name still names fd's file, linking it again when a sweep took it.
    bool ensure();
    const std::string& path() const noexcept { return name_; }
    explicit operator bool() const noexcept { return !name_.empty(); }
    // Removes the name when it still names the file.
    void release();

private:
    int fd_ = -1; // not owned
    std::string name_;
};

// ERROR_SHARING_VIOLATION when another process holds the lock of the regular file at `path`
// now (a writer, a read-write mount), else ERROR_SUCCESS (also when there is no such file).
// The lock is only tried, never kept.
DWORD checkNotLocked(const std::string& path);

// Removes the stage files and private names in `folder` whose run has ended: regular files
// named as stage files, owned by this user, whose lock (a stage file's flock, a private name's
// shared lock) is free. Entries of other kinds or owners are left alone.
void sweepStageFiles(const std::string& folder);
