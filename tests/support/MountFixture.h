// Helpers for tests that mount WIM images through real FUSE: whether mounting can work
// here, the helper executable of the build tree, the mounts below a test folder, and a
// sweep that leaves no mount and no daemon behind.
#pragma once

#include "platform/Imaging.h"

#include <QString>

#include <vector>

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

QString fromWide(const WCHAR* text);

} // namespace mountfix
