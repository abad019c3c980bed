// Export: copies one image of a WIM file into another WIM file, created when missing.
#include "ops/Callbacks.h"
#include "ops/ImageInfoOps.h"
#include "ops/ImagingSteps.h"
#include "ops/Operations.h"
#include "ops/Text.h"
#include "platform/Kernel.h"

#include <algorithm>

bool RunExport(OperationContext& context)
{
    const OperationRequest& request = context.request;
    const QString target = fullPathOf(request.exportTarget);
    const QString sourcePath = fullPathOf(request.exportSource);
    const QString tempFolder = tempFolderPath();
    const std::uint32_t index = request.exportIndex;
    const DWORD openFlags = request.exportCheck ? WIM_FLAG_VERIFY : 0;

    logMessage(context, 189, {sourcePath});
    logMessage(context, 213, {std::int64_t{index}});
    logMessage(context, 190, {target});
    const DWORD compression = chooseCompression(context, request.exportCompression);
    logMessage(context, request.exportCheck ? 196 : 197);
    logMessage(context, 198, {tempFolder});
    appendLogLine(context, QString());

    if (WIMRegisterMessageCallback(nullptr, ExportMessageCallback, nullptr) ==
        INVALID_CALLBACK_VALUE) {
        logMessage(context, 199);
        return false;
    }
    logMessage(context, 162);

    DWORD created = 0;
    HANDLE source =
        WIMCreateFile(wide(sourcePath), GENERIC_READ, OPEN_EXISTING, openFlags, 0, &created);
    if (!source) {
        logMessage(context, 163);
        releaseImaging({}, ExportMessageCallback);
        return false;
    }
    WIM_INFO info{};
    if (!WIMGetAttributes(source, &info, sizeof info)) {
        logMessage(context, 165);
        releaseImaging({source}, ExportMessageCallback);
        return false;
    }
    if (info.ImageCount < index) {
        logMessage(context, 166, {std::int64_t{index}});
        releaseImaging({source}, ExportMessageCallback);
        return false;
    }
    HANDLE destination = WIMCreateFile(wide(target), GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS,
                                       openFlags, compression, &created);
    if (!destination) {
        logMessage(context, 163);
        releaseImaging({source}, ExportMessageCallback);
        return false;
    }
    if (context.abortRequested) {
        logMessage(context, 227);
        releaseImaging({source, destination}, ExportMessageCallback);
        return false;
    }
    if (!WIMSetTemporaryPath(source, wide(tempFolder)) ||
        !WIMSetTemporaryPath(destination, wide(tempFolder))) {
        logMessage(context, 164);
        releaseImaging({source, destination}, ExportMessageCallback);
        return false;
    }
    HANDLE image = WIMLoadImage(source, index);
    if (!image) {
        logMessage(context, 167, {std::int64_t{index}});
        releaseImaging({source, destination}, ExportMessageCallback);
        return false;
    }

    ImageInfo imageInfo;
    readImageInfo(context, image, imageInfo);
    context.folderCount = static_cast<std::uint32_t>(std::max(imageInfo.dirCount, 0));
    context.fileCount = static_cast<std::uint32_t>(std::max(imageInfo.fileCount, 0));
    logMessage(context, 230, {std::int64_t{index}});

    if (!WIMExportImage(image, destination, WIM_EXPORT_ALLOW_DUPLICATES)) {
        const QString error = errorText(GetLastError());
        logMessage(context, 227);
        logMessage(context, 201, {error});
        releaseImaging({image, source, destination}, ExportMessageCallback);
        return false;
    }

    const DWORD imageCount = WIMGetImageCount(destination);
    if (!request.exportName.isEmpty()) {
        if (HANDLE exported = WIMLoadImage(destination, imageCount)) {
            logMessage(context, 168, {request.exportName});
            setImageElement(context, exported, QStringLiteral("NAME"), request.exportName);
            WIMCloseHandle(exported);
        }
    }
    if (request.exportBootable)
        WIMSetBootImage(destination, imageCount);
    if (request.exportCheck)
        logMessage(context, 172);

    // Closing the destination writes the exported image; a failure there is a failed export.
    SetLastError(ERROR_SUCCESS);
    if (!releaseImaging({image, source, destination}, ExportMessageCallback)) {
        const QString error = errorText(GetLastError());
        logMessage(context, 227);
        logMessage(context, 201, {error});
        return false;
    }
    const DWORD elapsed = timeGetTime() - context.startTime;
    if (elapsed < 1000)
        logMessage(context, 228);
    else
        logMessage(context, 229, {elapsedTimeText(elapsed)});
    return true;
}
