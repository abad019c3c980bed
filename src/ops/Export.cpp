// Export: copies one image of a WIM file into another WIM file, created when missing.
#include "ops/Callbacks.h"
#include "ops/ImageInfoOps.h"
#include "ops/ImagingSteps.h"
#include "ops/Operations.h"
#include "ops/Text.h"
#include "ops/Toolbox.h"
#include "platform/Kernel.h"

#include <algorithm>

namespace {

// The WIM files and the image of one export, all held by the operation's OperationImaging.
struct ExportHandles {
    HANDLE source = nullptr;
    HANDLE destination = nullptr;
    HANDLE image = nullptr;
};

// Opens the source WIM (held by `imaging`) and checks that it holds `index`. On failure logs
// why and returns null.
HANDLE openExportSource(OperationContext& context, OperationImaging& imaging,
                        const QString& sourcePath, std::uint32_t index, DWORD openFlags)
{
    DWORD created = 0;
    HANDLE source = imaging.holdWim(
        WIMCreateFile(wide(sourcePath), GENERIC_READ, OPEN_EXISTING, openFlags, 0, &created));
    if (!source) {
        logMessage(context, Text::OpenWimFailed);
        return nullptr;
    }
    WIM_INFO info{};
    if (!WIMGetAttributes(source, &info, sizeof info)) {
        logMessage(context, Text::WimAttributesFailed);
        return nullptr;
    }
    if (info.ImageCount < index) {
        logMessage(context, Text::IndexNotInWim, {std::int64_t{index}});
        return nullptr;
    }
    if (!useSplitParts(context, source, sourcePath, info))
        return nullptr;
    return source;
}

// Opens the source, then the destination (made when missing, with `compression`), sets the
// temporary folder of both and loads image `index`; `imaging` holds what was opened. On
// failure (an abort requested before the destination's temporary folder is set is one) logs
// why and returns false.
bool openExport(OperationContext& context, OperationImaging& imaging, const QString& sourcePath,
                const QString& target, const QString& tempFolder, DWORD compression,
                ExportHandles& h)
{
    const OperationRequest& request = context.request;
    const std::uint32_t index = request.exportIndex;
    const DWORD openFlags = request.exportCheck ? WIM_FLAG_VERIFY : 0;
    h.source = openExportSource(context, imaging, sourcePath, index, openFlags);
    if (!h.source)
        return false;
    DWORD created = 0;
    h.destination = imaging.holdWim(WIMCreateFile(wide(target), GENERIC_READ | GENERIC_WRITE,
                                                  OPEN_ALWAYS, openFlags, compression, &created));
    if (!h.destination) {
        const DWORD error = GetLastError();
        logMessage(context, Text::OpenWimFailed);
        logReasonWhenHeld(context, error);
        return false;
    }
    logImagingNotice(context);
    if (context.abortRequested) {
        logMessage(context, Text::ExportFailed);
        return false;
    }
    if (!WIMSetTemporaryPath(h.source, wide(tempFolder)) ||
        !WIMSetTemporaryPath(h.destination, wide(tempFolder))) {
        logMessage(context, Text::TempFolderUnusable);
        return false;
    }
    // The image's files are read from its tree: a damaged one is found here.
    h.image = imaging.holdImage(WIMLoadImage(h.source, index));
    if (!h.image || !WIMReadImageTree(h.image)) {
        logMessage(context, Text::LoadImageFailed, {std::int64_t{index}});
        return false;
    }
    return true;
}

// The page's name and boot mark for the exported image, the last one of the destination.
void markExportedImage(OperationContext& context, HANDLE destination)
{
    const OperationRequest& request = context.request;
    const DWORD imageCount = WIMGetImageCount(destination);
    if (!request.exportName.isEmpty()) {
        if (HANDLE exported = WIMLoadImage(destination, imageCount)) {
            logMessage(context, Text::ChangingName, {request.exportName});
            setImageElement(context, exported, QStringLiteral("NAME"), request.exportName);
            WIMCloseHandle(exported);
        }
    }
    if (request.exportBootable)
        WIMSetBootImage(destination, imageCount);
}

} // namespace

bool RunExport(OperationContext& context)
{
    const OperationRequest& request = context.request;
    const QString target = fullPathOf(request.exportTarget);
    const QString sourcePath = fullPathOf(request.exportSource);
    const QString tempFolder = tempFolderPath();
    const std::uint32_t index = request.exportIndex;

    logMessage(context, Text::SourceLine, {sourcePath});
    logMessage(context, Text::ImageLine, {std::int64_t{index}});
    logMessage(context, Text::TargetLine, {target});
    const DWORD compression = chooseCompression(context, request.exportCompression, true);
    logMessage(context, request.exportCheck ? Text::CheckOnLine : Text::CheckOffLine);
    logMessage(context, Text::TempFolderLine, {tempFolder});
    appendLogLine(context, QString());

    OperationImaging imaging;
    if (!imaging.registerCallback(context, ExportMessageCallback))
        return false;
    logMessage(context, Text::OpeningWim);
    ExportHandles h;
    if (!openExport(context, imaging, sourcePath, target, tempFolder, compression, h))
        return false;

    ImageInfo imageInfo;
    readImageInfo(context, h.image, imageInfo);
    context.folderCount = static_cast<std::uint32_t>(std::max(imageInfo.dirCount, 0));
    context.fileCount = static_cast<std::uint32_t>(std::max(imageInfo.fileCount, 0));
    logMessage(context, Text::ExportingImage, {std::int64_t{index}});

    if (!WIMExportImage(h.image, h.destination, WIM_EXPORT_ALLOW_DUPLICATES)) {
        const DWORD error = GetLastError();
        logMessage(context, Text::ExportFailed);
        logErrorReason(context, error);
        return false;
    }
    markExportedImage(context, h.destination);
    if (request.exportCheck)
        logMessage(context, Text::WritingWimInformation);

    // Closing the destination writes the exported image; a failure there is a failed export.
    SetLastError(ERROR_SUCCESS);
    if (!imaging.release()) {
        const DWORD error = GetLastError();
        logMessage(context, Text::ExportFailed);
        logErrorReason(context, error);
        return false;
    }
    const DWORD elapsed = timeGetTime() - context.startTime;
    if (elapsed < 1000)
        logMessage(context, Text::ExportSucceeded);
    else
        logMessage(context, Text::ExportSucceededIn, {elapsedTimeText(elapsed)});
    return true;
}
