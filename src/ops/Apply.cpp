// Apply: writes the files of one image of a WIM file into a folder.
#include "ops/Callbacks.h"
#include "ops/ImageInfoOps.h"
#include "ops/ImagingSteps.h"
#include "ops/Operations.h"
#include "ops/Text.h"
#include "platform/Kernel.h"

#include <algorithm>

bool RunApply(OperationContext& context)
{
    const OperationRequest& request = context.request;
    const QString target = fullPathOf(request.applyTarget);
    const QString wimPath = fullPathOf(request.applySource);
    // The image is staged in the folder it is applied to.
    const QString& tempFolder = target;
    const std::uint32_t index = request.applyIndex;
    const DWORD openFlags = request.applyCheck ? WIM_FLAG_VERIFY : 0;
    const DWORD applyFlags = request.applyVerify ? WIM_FLAG_VERIFY : 0;

    logMessage(context, 189, {wimPath});
    logMessage(context, 190, {target});
    logMessage(context, 213, {std::int64_t{index}});
    logMessage(context, request.applyVerify ? 194 : 195);
    logMessage(context, request.applyCheck ? 196 : 197);
    logMessage(context, 198, {tempFolder});
    appendLogLine(context, QString());

    if (WIMRegisterMessageCallback(nullptr, ApplyMessageCallback, nullptr) ==
        INVALID_CALLBACK_VALUE) {
        logMessage(context, 199);
        return false;
    }
    logMessage(context, 162);

    DWORD created = 0;
    HANDLE wim = WIMCreateFile(wide(wimPath), GENERIC_READ, OPEN_EXISTING, openFlags, 0, &created);
    if (!wim) {
        releaseImaging({}, ApplyMessageCallback);
        logMessage(context, 163);
        return false;
    }
    if (context.abortRequested) {
        releaseImaging({wim}, ApplyMessageCallback);
        logMessage(context, 214);
        return false;
    }
    if (!WIMSetTemporaryPath(wim, wide(tempFolder))) {
        releaseImaging({wim}, ApplyMessageCallback);
        logMessage(context, 164);
        return false;
    }
    WIM_INFO info{};
    if (!WIMGetAttributes(wim, &info, sizeof info)) {
        logMessage(context, 165);
        releaseImaging({wim}, ApplyMessageCallback);
        return false;
    }
    if (info.ImageCount < index) {
        logMessage(context, 166, {std::int64_t{index}});
        releaseImaging({wim}, ApplyMessageCallback);
        return false;
    }
    HANDLE image = WIMLoadImage(wim, index);
    if (!image) {
        releaseImaging({wim}, ApplyMessageCallback);
        logMessage(context, 167, {std::int64_t{index}});
        return false;
    }

    ImageInfo imageInfo;
    readImageInfo(context, image, imageInfo);
    const auto folders = static_cast<std::uint32_t>(std::max(imageInfo.dirCount, 0));
    const auto files = static_cast<std::uint32_t>(std::max(imageInfo.fileCount, 0));
    context.folderCount = folders;
    context.fileCount = files;
    logMessage(context, 215, {std::int64_t{folders}, std::int64_t{files}});

    if (!WIMApplyImage(image, wide(target), applyFlags)) {
        const QString error = errorText(GetLastError());
        releaseImaging({image, wim}, ApplyMessageCallback);
        logMessage(context, 214);
        logMessage(context, 201, {error});
        return false;
    }

    SetLastError(ERROR_SUCCESS);
    if (!releaseImaging({image, wim}, ApplyMessageCallback)) {
        logLastError(context);
        return false;
    }
    const DWORD elapsed = timeGetTime() - context.startTime;
    if (elapsed < 1000)
        logMessage(context, 217);
    else
        logMessage(context, 216, {elapsedTimeText(elapsed)});
    return true;
}
