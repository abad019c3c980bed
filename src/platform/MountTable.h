// The mount table of this process's mount namespace (/proc/self/mountinfo) and the volume
// that holds a path: the one reader of the table, for the mount layer and the capture
// configuration.
#pragma once

#include "WinTypes.h"

#include <QByteArrayView>
#include <QString>

#include <string>
#include <string_view>
#include <vector>

struct MountTableEntry {
    std::string mountPoint; // escapes (\040 and the like) decoded
    std::string fsType;     // "ext4", "fuse.wimfs"; empty when the line names none
    bool readOnly = false;  // mounted with "ro"
};

// The entries of a mountinfo text, in order. Lines without a mount point that is an absolute
// path are skipped.
std::vector<MountTableEntry> parseMountInfo(std::string_view text);

// Reads /proc/self/mountinfo into entries. ERROR_SUCCESS, or the cause.
DWORD readMountTable(std::vector<MountTableEntry>& entries);

// For an already resolved path and the text of a mountinfo file: the longest mount point
// that is a whole-component prefix of `resolvedPath`; "/" when only the root matches, empty
// when none does.
QString longestMountPoint(const QString& resolvedPath, QByteArrayView mountInfo);

// The mount point that holds `fullPath` (the longest mount point of the mount table that is a
// prefix of the path with symbolic links resolved), written as the corresponding prefix of
// `fullPath` itself. Empty when it cannot be told (a relative path, an unreadable table).
QString volumeRootOf(const QString& fullPath);
// As volumeRootOf, with the text of a mountinfo file instead of /proc/self/mountinfo.
QString volumeRootOf(const QString& fullPath, QByteArrayView mountInfo);
