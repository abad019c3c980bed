// What the mount layer and pelloric-mount-helper say to each other.
//
// The layer starts the helper with
//     pelloric-mount-helper <wim file> <image index> <mount folder> [<staging folder>]
// (a staging folder asks for a read-write mount) and with the write end of a pipe as
// descriptor kStatusFd. The helper mounts the image and becomes the file system's daemon.
// When the mount fails, the helper writes one MountHelperStatus to the pipe and exits with
// a non-zero code. When the mount is ready, the helper's first process exits with code 0
// without writing anything, and the daemon it leaves behind holds no end of the pipe, so
// the layer reads until end of file and then reaps the helper.
//
// For a read-write mount the helper makes its own folder inside <staging folder> and lets
// libwim stage there. Before mounting it writes a MountRecord (MountRecord.h) and holds it
// until the daemon ends, when it removes the staging folder and the record; a record left
// behind by a killed daemon lets the layer list and clean up the dead mount. While the
// daemon lives, the record also carries the cause (errno) of the last error its libwim
// reported, which the layer reads when an unmount's commit fails.
#pragma once

#include <cstdint>

inline constexpr int kStatusFd = 3;
inline constexpr std::uint32_t kStatusMagic = 0x504d4831; // "PMH1"

enum class MountStage : std::int32_t {
    Arguments = 1,     // wrong argument count or index text
    MountFolder = 2,   // sysErrno: ENOENT, ENOTDIR, ENOTEMPTY, EACCES...
    FuseDevice = 3,    // /dev/fuse cannot be opened; sysErrno
    OpenWim = 4,       // wimlibCode from opening the WIM file, sysErrno for I/O codes
    ImageIndex = 5,    // index outside 1..image count
    StagingFolder = 6, // sysErrno
    Mount = 7,         // wimlibCode from the mount call itself
    Setup = 8,         // wimlibCode from libwim's global set-up
};

struct MountHelperStatus {
    std::uint32_t magic;
    MountStage stage;
    std::int32_t wimlibCode;
    std::int32_t sysErrno;
};
static_assert(sizeof(MountHelperStatus) == 16);
