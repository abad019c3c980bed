#include "ops/MountOps.h"

#include "ops/ImagingSteps.h"

#include "ops/Operations.h"
#include "ops/Text.h"
#include "platform/Kernel.h"

namespace
{

// The buffer the mount page has always started with: room for 32 images.
constexpr DWORD kInitialListBytes = 33536;
// A mounted-image entry holds paths of up to 259 characters, so a longer mount folder or
// WIM path could never be listed or unmounted again: such a mount is refused, never cut.
constexpr qsizetype kMaxPathChars = MAX_PATH - 1;

QString fromWide(const WCHAR* text)
{
    std::size_t length = 0;
    while (length < MAX_PATH && text[length] != u'\0')
        ++length;
    return QString::fromUtf16(text, static_cast<qsizetype>(length));
}

bool isDeadMount(const WIM_MOUNT_INFO_LEVEL1& entry)
{
    return (entry.MountFlags & WIM_MOUNT_FLAG_INVALID) != 0;
}

QString dropOneTrailingSlash(const QString& folder)
{
    if (!folder.isEmpty() && folder.endsWith(QLatin1Char('/')))
        return folder.left(folder.size() - 1);
    return folder;
}

// Logs the failure line, the platform's text for the last-error code and what the layer knows
// beyond it.
void logFailure(OperationContext& context, Text::Id failureLine)
{
    const DWORD error = GetLastError();
    logMessage(context, failureLine);
    logErrorReason(context, error);
}

} // namespace

bool queryMountedImages(std::vector<WIM_MOUNT_INFO_LEVEL1>& entries)
{
    DWORD bytes = kInitialListBytes;
    // The list may grow between two questions; ask until the answer fits.
    for (int attempt = 0; attempt < 8; ++attempt) {
        entries.assign(bytes / sizeof(WIM_MOUNT_INFO_LEVEL1), WIM_MOUNT_INFO_LEVEL1{});
        DWORD count = 0;
        DWORD size = 0;
        if (WIMGetMountedImageInfo(MountedImageInfoLevel1, &count, entries.data(), bytes, &size)) {
            entries.resize(count);
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= bytes)
            break;
        bytes = size;
    }
    entries.clear();
    return false;
}

std::optional<std::vector<MountedImageRow>> mountedImageRows()
{
    std::vector<WIM_MOUNT_INFO_LEVEL1> entries;
    if (!queryMountedImages(entries))
        return std::nullopt;
    const QString readWrite = loadString(Text::ReadWrite);
    const QString readOnly = QStringLiteral("R");
    std::vector<MountedImageRow> rows;
    rows.reserve(entries.size());
    for (const WIM_MOUNT_INFO_LEVEL1& entry : entries) {
        MountedImageRow row;
        row.dead = isDeadMount(entry);
        row.access = (entry.MountFlags & WIM_MOUNT_FLAG_READWRITE) ? readWrite : readOnly;
        if (row.dead)
            row.access = formatMessage(Text::MarkedDead, {row.access});
        row.mountFolder = fromWide(entry.MountPath);
        row.wimFile = fromWide(entry.WimPath);
        if (!row.dead || entry.ImageIndex != 0)
            row.index = QString::number(entry.ImageIndex);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::optional<QStringList> mountedImageLines()
{
    const auto rows = mountedImageRows();
    if (!rows)
        return std::nullopt;
    QStringList lines;
    for (const MountedImageRow& row : *rows)
        lines << QStringList{row.access, row.mountFolder, row.wimFile, row.index}.join(
            QLatin1Char('\t'));
    return lines;
}

bool sameMountFolder(const QString& a, const QString& b)
{
    return dropOneTrailingSlash(a) == dropOneTrailingSlash(b);
}

void requestMountListRefresh(OperationContext& context)
{
    if (PagePort* page = context.pageWindow.load())
        page->postMountListRefresh();
}

bool RunMount(OperationContext& context)
{
    const OperationRequest& request = context.request;
    const QString mountFolder = request.mountPath;
    const QString wimFile = request.mountSource;

    logMessage(context, Text::MountPathLine, {mountFolder});
    logMessage(context, Text::ImageFileLine, {wimFile});
    logMessage(context, Text::ImageIndexLine, {static_cast<std::int64_t>(request.mountIndex)});
    logMessage(context, Text::ReadWriteLine,
               {static_cast<std::int64_t>(request.mountReadWrite ? 1 : 0)});
    appendLogLine(context, QString());
    logMessage(context, Text::OpeningWim);

    if (mountFolder.size() > kMaxPathChars || wimFile.size() > kMaxPathChars) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        logFailure(context, Text::MountFailed);
        return false;
    }

    // The library mounts read-write exactly when it is given a staging folder.
    const QString tempFolder = request.mountReadWrite ? tempFolderPath() : QString();

    if (!WIMMountImage(wide(mountFolder), wide(wimFile), request.mountIndex,
                       request.mountReadWrite ? wide(tempFolder) : nullptr)) {
        logFailure(context, Text::MountFailed);
        return false;
    }
    logMessage(context, Text::MountSucceeded);
    return true;
}

bool RunUnmount(OperationContext& context)
{
    const QString folder = context.request.mountPath;
    const bool commit = context.request.unmountCommit;

    std::vector<WIM_MOUNT_INFO_LEVEL1> entries;
    if (!queryMountedImages(entries)) {
        logMessage(context, Text::NoMountedImages);
        return false;
    }
    const WIM_MOUNT_INFO_LEVEL1* found = nullptr;
    for (const WIM_MOUNT_INFO_LEVEL1& entry : entries) {
        if (sameMountFolder(fromWide(entry.MountPath), folder)) {
            found = &entry;
            break;
        }
    }
    if (!found) {
        logMessage(context, Text::MountPointNotFound, {folder});
        requestMountListRefresh(context);
        return false;
    }

    const bool dead = isDeadMount(*found);
    const bool readWrite = (found->MountFlags & WIM_MOUNT_FLAG_READWRITE) != 0;
    logMessage(context, Text::MountPathLine, {fromWide(found->MountPath)});
    // A dead mount made by another program has no known WIM file or index.
    if (!dead || found->WimPath[0] != u'\0')
        logMessage(context, Text::ImageFileLine, {fromWide(found->WimPath)});
    if (!dead || found->ImageIndex != 0)
        logMessage(context, Text::ImageIndexLine, {static_cast<std::int64_t>(found->ImageIndex)});
    logMessage(context, Text::ReadWriteLine, {static_cast<std::int64_t>(readWrite ? 1 : 0)});
    appendLogLine(context, QString());
    // A dead mount's changes died with its file system process.
    if (dead)
        logMessage(context, Text::DeadMountHasNothingToCommit);
    logMessage(context,
               commit && readWrite && !dead ? Text::CommittingAndUnmounting : Text::Unmounting);
    appendLogLine(context, QString());

    // The commit flag goes to the platform as ticked; for a read-only mount it has no effect,
    // and a dead mount has nothing to commit.
    if (!WIMUnmountImage(found->MountPath, found->WimPath, found->ImageIndex,
                         commit && !dead ? TRUE : FALSE)) {
        logFailure(context, Text::UnmountFailed);
        return false;
    }
    logMessage(context, Text::UnmountSucceeded);
    return true;
}
