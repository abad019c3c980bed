// Mount and unmount (RunMount and RunUnmount are declared in ops/Operations.h) and the
// mounted-image list shared by the mount page and the command-line runner.
#pragma once

#include "ops/Context.h"
#include "platform/Imaging.h"
#include "platform/Mount.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// Every image the platform reports as mounted, in its order, with its flags (a dead mount,
// whose file system process is gone, has WIM_MOUNT_FLAG_INVALID). Starts with room for 32
// entries and asks again with the size the platform names when that is too small, so any
// number of images is seen. False when the query fails; the last-error code then says why.
bool queryMountedImages(std::vector<WIM_MOUNT_INFO_LEVEL1>& entries);

// One row of the mounted-image list: "R/W" or "R" (Text::MarkedDead around it for a dead mount),
// mount folder, WIM file, image index (both empty when a dead mount's are not known).
struct MountedImageRow {
    QString access;
    QString mountFolder;
    QString wimFile;
    QString index;
    bool dead = false;
};
// The rows of the list; nothing when the query fails.
std::optional<std::vector<MountedImageRow>> mountedImageRows();
// The rows as text lines, the four columns separated by tabs; nothing when the query fails.
std::optional<QStringList> mountedImageLines();

// The two folders are the same mount folder: equal after one trailing '/' is dropped from
// each. Letter case counts (two folders that differ only in case are different folders).
bool sameMountFolder(const QString& a, const QString& b);

// Asks the page shown (context.pageWindow) to rebuild its mounted-image list; the page
// serves the request on the user-interface thread, so any thread may call this. No page,
// no effect.
void requestMountListRefresh(OperationContext& context);
