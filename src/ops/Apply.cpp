// Apply: writes the files of one image of a WIM file into a folder.
#include "ops/Callbacks.h"
#include "ops/ImageInfoOps.h"
#include "ops/ImagingSteps.h"
#include "ops/Operations.h"
#include "ops/Text.h"
#include "ops/Toolbox.h"
#include "platform/Kernel.h"

#include <algorithm>

namespace {

void logApplySettings(OperationContext& context, const QString& wimPath, const QString& target,
                      const QString& tempFolder)
{
    const OperationRequest& request = context.request;
    logMessage(context, Text::SourceLine, {wimPath});
    logMessage(context, Text::TargetLine, {target});
    logMessage(context, Text::ImageLine, {std::int64_t{request.applyIndex}});
    logMessage(context, request.applyVerify ? Text::VerifyOnLine : Text::VerifyOffLine);
    logMessage(context, request.applyCheck ? Text::CheckOnLine : Text::CheckOffLine);
    logMessage(context, Text::TempFolderLine, {tempFolder});
    appendLogLine(context, QString());
}

// Opens the source WIM and loads image `index` of it, both held by `imaging`. On failure (an
// abort requested by now is one) logs why and returns null.
HANDLE loadSourceImage(OperationContext& context, OperationImaging& imaging, const QString& wimPath,
                       const QString& tempFolder, std::uint32_t index)
{
    const DWORD openFlags = context.request.applyCheck ? WIM_FLAG_VERIFY : 0;
    DWORD created = 0;
    HANDLE wim = imaging.holdWim(
        WIMCreateFile(wide(wimPath), GENERIC_READ, OPEN_EXISTING, openFlags, 0, &created));
    if (!wim) {
        logMessage(context, Text::OpenWimFailed);
        return nullptr;
    }
    if (context.abortRequested) {
        logMessage(context, Text::ApplyFailed);
        return nullptr;
    }
    if (!WIMSetTemporaryPath(wim, wide(tempFolder))) {
        logMessage(context, Text::TempFolderUnusable);
        return nullptr;
    }
    WIM_INFO info{};
    if (!WIMGetAttributes(wim, &info, sizeof info)) {
        logMessage(context, Text::WimAttributesFailed);
        return nullptr;
    }
    return loadImageTree(context, imaging, wim, wimPath, info, index, false);
}

} // namespace

bool RunApply(OperationContext& context)
{
    const OperationRequest& request = context.request;
    const QString target = fullPathOf(request.applyTarget);
    const QString wimPath = fullPathOf(request.applySource);
    // The image is staged in the folder it is applied to.
    const QString& tempFolder = target;
    const DWORD applyFlags = request.applyVerify ? WIM_FLAG_VERIFY : 0;

    logApplySettings(context, wimPath, target, tempFolder);
    OperationImaging imaging;
    if (!imaging.registerCallback(context, ApplyMessageCallback))
        return false;
    logMessage(context, Text::OpeningWim);
    HANDLE image = loadSourceImage(context, imaging, wimPath, tempFolder, request.applyIndex);
    if (!image)
        return false;

    ImageInfo imageInfo;
    readImageInfo(context, image, imageInfo);
    const auto folders = static_cast<std::uint32_t>(std::max(imageInfo.dirCount, 0));
    const auto files = static_cast<std::uint32_t>(std::max(imageInfo.fileCount, 0));
    context.folderCount = folders;
    context.fileCount = files;
    logMessage(context, Text::ApplyStarting, {std::int64_t{folders}, std::int64_t{files}});

    if (!WIMApplyImage(image, wide(target), applyFlags)) {
        const DWORD error = GetLastError();
        logMessage(context, Text::ApplyFailed);
        logErrorReason(context, error);
        return false;
    }

    SetLastError(ERROR_SUCCESS);
    if (!imaging.release()) {
        logErrorReason(context, GetLastError());
        return false;
    }
    const DWORD elapsed = timeGetTime() - context.startTime;
    if (elapsed < 1000)
        logMessage(context, Text::ApplySucceeded);
    else
        logMessage(context, Text::ApplySucceededIn, {elapsedTimeText(elapsed)});
    return true;
}
