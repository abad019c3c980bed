// Helpers for tests that mount WIM images through real FUSE: whether mounting can work
// here, the helper executable of the build tree, the mounts below a test folder, and a
// sweep that leaves no mount and no daemon behind.
#pragma once

#include "platform/Imaging.h"
#include "platform/Mount.h"

#include <QString>

#include <vector>

#include <sys/types.h>

namespace mountfix
{

// True when /dev/fuse can be opened; otherwise *why says what is missing.
bool fuseAvailable(QString* why);

// Points the mount layer at the helper built into this build tree, and makes this process
// the reaper of the helper daemons it starts (so none is left as a zombie where init does
// not reap).
void prepareMounting();

// The mounted images (as WIMGetMountedImages lists them) whose mount folder lies below
// root; root is made canonical first.
std::vector<WIM_MOUNT_LIST> mountsBelow(const QString& root);

// Unmounts, discarding changes, every WIM image mounted below root: through the layer, and
// with `fusermount -u -z` for whatever is left. Then reaps the daemons that have ended.
void sweepMounts(const QString& root);
// sweepMounts(root) when the object goes, whatever way the test ends.
struct MountSweep {
    explicit MountSweep(QString folder) : root(std::move(folder)) {}
    QString root;
    MountSweep(const MountSweep&) = delete;
    MountSweep& operator=(const MountSweep&) = delete;
    ~MountSweep() { sweepMounts(root); }
};

QString fromWide(const WCHAR* text);

// The mount daemons this process has adopted (prepareMounting makes it their reaper) whose
// process name starts with namePrefix: "pelloric-mount" for the helper's, "wimlib-imagex"
// for wimlib-imagex's.
std::vector<pid_t> adoptedDaemons(const char* namePrefix);

// Kills the one adopted daemon whose name starts with namePrefix with SIGKILL and reaps it,
// leaving its mount dead. False when there is not exactly one such daemon.
bool killTheDaemon(const char* namePrefix);

// The mounted-image information (level 1: with flags) of the mounts below root.
std::vector<WIM_MOUNT_INFO_LEVEL1> mountInfoBelow(const QString& root);

} // namespace mountfix
