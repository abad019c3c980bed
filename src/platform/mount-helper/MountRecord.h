// The record pelloric-mount-helper keeps for each mount it serves. libwim's file system
// answers for itself only while its daemon lives: when the daemon dies, the mount stays in
// the mount table but every call on it fails (ENOTCONN), and a read-write mount leaves its
// staging folder behind. The record names the image, the mode and the helper's staging
// folder, so that such a mount can still be listed, unmounted and cleaned up.
//
// Records are files named "mount-XXXXXX" in a private folder (mountRecordFolder). The helper
// holds an exclusive flock on its record for as long as it lives; the daemon inherits the
// descriptor, so a record whose lock is free belongs to a helper that is gone. A record is
// written under a temporary name and renamed into place with its lock already held, so a
// reader never sees a half-written record of a live helper.
//
// Standard library and POSIX only: this file is built into the helper and the mount layer.
#pragma once

#include "platform/UniqueFd.h"

#include <string>
#include <vector>

struct MountRecord {
    std::string mountFolder;   // canonical path of the mount folder
    std::string wimPath;       // canonical path of the WIM file
    int imageIndex = 0;
    bool readWrite = false;
    std::string stagingFolder; // the helper's folder around libwim's staging folder, or empty
    // The cause (errno value) of the last error the daemon's libwim reported, and how many
    // it has reported: a failed commit's status comes from the daemon without its cause.
    unsigned causeCount = 0;
    int cause = 0;
    // Set by listMountRecords.
    std::string path;          // the record file
    bool orphaned = false;     // no process holds the record: its helper is gone
};

// The folder of the records: $XDG_RUNTIME_DIR/pelloric-mounts when XDG_RUNTIME_DIR is a
// folder of this user, /run/pelloric-mounts for root, else <TMPDIR or /tmp>/pelloric-mounts-
// <uid>. With create, makes it (mode 0700) when missing. Empty when it is missing (and not
// made), or is not a real folder (symlinks are refused) owned by this user and closed to
// everyone else.
std::string mountRecordFolder(bool create);

// Writes record into a new file of the records folder and returns its descriptor
// (close-on-exec) with the exclusive lock held; path is set to the file. Empty on failure.
UniqueFd createMountRecord(const MountRecord& record, std::string& path);

// Every well-formed record of the folder, with path and orphaned set. Never blocks.
std::vector<MountRecord> listMountRecords();

// Removes an orphaned record: its staging folder first (removeStagingFolder), then the
// file. Does nothing and returns false while some process holds the record.
bool removeOrphanedMountRecord(const MountRecord& record);

// The daemon's note of a failure's cause: rewrites the record held open as fd (by
// createMountRecord) with record.causeCount and record.cause. The record keeps its length,
// so a reader never sees it shorter. False when it cannot be written.
bool updateMountRecordCause(int fd, const MountRecord& record);

// Reads the record at path again (for its cause); false when it is gone or not a record.
bool rereadMountRecord(const std::string& path, MountRecord& record);

// The helper's own end: removes the staging folder and the record file at path, then closes
// fd (which releases the lock).
void releaseMountRecord(UniqueFd fd, const std::string& path, const MountRecord& record);

// Makes a new staging folder "pelloric-staging.XXXXXX" (mode 0700) inside parent for libwim
// to put its own staging folder in. Empty, with `error` set to the errno value, on failure.
std::string makeStagingFolder(const std::string& parent, int& error);

// Removes a staging folder made by makeStagingFolder with everything in it. Refuses (false)
// a path that is not absolute, not named like one, not a folder of this user, or a symlink;
// nothing inside is followed through a symlink. A missing folder counts as removed.
bool removeStagingFolder(const std::string& folder);
