// Capture and append: makes a new image of a folder in a new or an existing WIM file and
// writes the page's information into it.
#include "config/CaptureConfig.h"
#include "offline/OfflineWindows.h"
#include "ops/Callbacks.h"
#include "ops/ImageInfoOps.h"
#include "ops/ImagingSteps.h"
#include "ops/Operations.h"
#include "ops/Text.h"
#include "platform/Kernel.h"

#include <memory>

namespace
{

// Can a file be made in `folder`? Creates and removes one empty "OFL" file.
bool probeTempFolder(const QString& folder)
{
    // An empty text names no folder (the platform would take the root folder for it).
    if (folder.isEmpty())
        return false;
    WCHAR name[MAX_PATH] = {};
    if (GetTempFileNameW(wide(folder), u"OFL", 0, name) == 0)
        return false;
    return DeleteFileW(name) != FALSE;
}

} // namespace

bool RunCapture(OperationContext& context, bool append)
{
    const OperationRequest& request = context.request;
    const QString target = fullPathOf(request.captureTarget);
    const QString source = fullPathOf(request.captureSource);

    QString tempFolder = request.captureTempFolder.isEmpty() ? source : request.captureTempFolder;
    if (!probeTempFolder(tempFolder))
        tempFolder = folderOf(target);

    logMessage(context, 189, {source});
    logMessage(context, 190, {target});
    const DWORD compression = chooseCompression(context, request.captureCompression);
    logMessage(context, request.captureVerify ? 194 : 195);
    logMessage(context, request.captureCheck ? 196 : 197);
    if (request.captureNoRpFix)
        logMessage(context, 239);
    logMessage(context, 198, {tempFolder});

    auto config = std::make_shared<CaptureConfig>();
    const ConfigLoadResult loaded = config->load(request.captureConfigFile, source);
    context.captureConfig = config;
    if (!loaded.filePath.isEmpty())
        logMessage(context, 205, {loaded.filePath});
    if (!loaded.ok) {
        logMessage(context, 206);
        return false;
    }
    if (request.captureShowConfig) {
        for (const QString& line : config->listingLines())
            appendLogLine(context, line);
    }
    appendLogLine(context, QString());

    if (WIMRegisterMessageCallback(nullptr, CaptureMessageCallback, nullptr) ==
        INVALID_CALLBACK_VALUE) {
        logMessage(context, 199);
        return false;
    }
    logMessage(context, 162);

    const DWORD access = append ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    const DWORD disposition = append ? OPEN_EXISTING : CREATE_ALWAYS;
    const DWORD openFlags = request.captureCheck ? WIM_FLAG_VERIFY : 0;
    DWORD captureFlags = request.captureVerify ? WIM_FLAG_VERIFY : 0;
    if (request.captureNoRpFix)
        captureFlags |= WIM_FLAG_NO_RP_FIX;

    DWORD created = 0;
    HANDLE wim = WIMCreateFile(wide(target), access, disposition, openFlags, compression, &created);
    if (!wim) {
        logMessage(context, 200, {target});
        releaseImaging({}, CaptureMessageCallback);
        return false;
    }
    if (!WIMSetTemporaryPath(wim, wide(tempFolder))) {
        releaseImaging({wim}, CaptureMessageCallback);
        logMessage(context, 164);
        return false;
    }
    HANDLE image = WIMCaptureImage(wim, wide(source), captureFlags);
    if (!image) {
        const QString error = errorText(GetLastError());
        releaseImaging({wim}, CaptureMessageCallback);
        logMessage(context, 202);
        logMessage(context, 201, {error});
        return false;
    }

    const DWORD imageCount = WIMGetImageCount(wim);

    // An offline Windows installation in the source is described in the new image's
    // information; the page's FLAGS below replace the edition detection may have written.
    DetectOfflineWindows(
        image, [&context] { showXmlErrorBox(context); }, source);

    const std::pair<const char*, const QString*> elements[] = {
        {"NAME", &request.captureName},
        {"DESCRIPTION", &request.captureDescription},
        {"FLAGS", &request.captureFlags},
        {"DISPLAYNAME", &request.captureDisplayName},
        {"DISPLAYDESCRIPTION", &request.captureDisplayDescription},
    };
    for (const auto& [name, value] : elements) {
        if (!value->isEmpty())
            setImageElement(context, image, QString::fromLatin1(name), *value);
    }
    if (request.captureBootable)
        WIMSetBootImage(wim, imageCount);
    if (request.captureCheck)
        logMessage(context, 172);

    // Closing the WIM writes the image with its information (into an existing file) or puts
    // the new file in place; a failure there is a failed capture.
    SetLastError(ERROR_SUCCESS);
    if (!releaseImaging({image, wim}, CaptureMessageCallback)) {
        const QString error = errorText(GetLastError());
        logMessage(context, 202);
        logMessage(context, 201, {error});
        return false;
    }
    const DWORD elapsed = timeGetTime() - context.startTime;
    if (elapsed < 1000)
        logMessage(context, 204, {std::int64_t{imageCount}});
    else
        logMessage(context, 203, {elapsedTimeText(elapsed), std::int64_t{imageCount}});
    return true;
}
