// Capture and append: makes a new image of a folder in a new or an existing WIM file and
// writes the page's information into it.
#include "config/CaptureConfig.h"
#include "offline/OfflineWindows.h"
#include "ops/Callbacks.h"
#include "ops/ImageInfoOps.h"
#include "ops/ImagingSteps.h"
#include "ops/Operations.h"
#include "ops/Text.h"
#include "platform/Files.h"
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

// Logs the capture's settings and loads the capture configuration into the context. False
// (with the configuration's error line logged) when the configuration file cannot be read.
bool prepareCapture(OperationContext& context, const QString& source, const QString& target,
                    const QString& tempFolder, DWORD* compression)
{
    const OperationRequest& request = context.request;
    logMessage(context, Text::SourceLine, {source});
    logMessage(context, Text::TargetLine, {target});
    *compression = chooseCompression(context, request.captureCompression);
    logMessage(context, request.captureVerify ? Text::VerifyOnLine : Text::VerifyOffLine);
    logMessage(context, request.captureCheck ? Text::CheckOnLine : Text::CheckOffLine);
    if (request.captureNoRpFix)
        logMessage(context, Text::ReparseFixDisabled);
    logMessage(context, Text::TempFolderLine, {tempFolder});

    auto config = std::make_shared<CaptureConfig>();
    const ConfigLoadResult loaded = config->load(request.captureConfigFile, source);
    context.captureConfig = config;
    if (!loaded.filePath.isEmpty())
        logMessage(context, Text::ConfigFileLine, {loaded.filePath});
    if (!loaded.ok) {
        logMessage(context, Text::ConfigReadFailed);
        return false;
    }
    if (request.captureShowConfig) {
        for (const QString& line : config->listingLines())
            appendLogLine(context, line);
    }
    appendLogLine(context, QString());
    return true;
}

// Opens (or creates) the target, sets its temporary folder and captures `source` into it: the
// WIM handle (in `wim`) and the new image, both held by `imaging`; the image is the result. On
// failure logs why and returns null.
HANDLE captureInto(OperationContext& context, OperationImaging& imaging, bool append,
                   const QString& source, const QString& target, const QString& tempFolder,
                   DWORD compression, HANDLE& wim)
{
    const OperationRequest& request = context.request;
    const DWORD access = append ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    const DWORD disposition = append ? OPEN_EXISTING : CREATE_ALWAYS;
    const DWORD openFlags = request.captureCheck ? WIM_FLAG_VERIFY : 0;
    DWORD captureFlags = request.captureVerify ? WIM_FLAG_VERIFY : 0;
    if (request.captureNoRpFix)
        captureFlags |= WIM_FLAG_NO_RP_FIX;

    DWORD created = 0;
    wim = imaging.holdWim(
        WIMCreateFile(wide(target), access, disposition, openFlags, compression, &created));
    if (!wim) {
        const DWORD error = GetLastError();
        logMessage(context, Text::CannotWriteTo, {target});
        logReasonWhenHeld(context, error);
        return nullptr;
    }
    logImagingNotice(context);
    if (!WIMSetTemporaryPath(wim, wide(tempFolder))) {
        logMessage(context, Text::TempFolderUnusable);
        return nullptr;
    }
    HANDLE image = imaging.holdImage(WIMCaptureImage(wim, wide(source), captureFlags));
    if (!image) {
        const DWORD error = GetLastError();
        logMessage(context, Text::CaptureFailed);
        logErrorReason(context, error);
        return nullptr;
    }
    return image;
}

// The new image's information: an offline Windows installation in the source is described
// first, then the page's texts replace what they name (FLAGS replaces the edition detection
// may have written).
void describeCapturedImage(OperationContext& context, HANDLE image, const QString& source)
{
    const OperationRequest& request = context.request;
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
}

} // namespace

bool RunCapture(OperationContext& context, bool append)
{
    const OperationRequest& request = context.request;
    const QString target = fullPathOf(request.captureTarget);
    const QString source = fullPathOf(request.captureSource);

    QString tempFolder = request.captureTempFolder.isEmpty() ? source : request.captureTempFolder;
    if (!probeTempFolder(tempFolder))
        tempFolder = folderPartOf(target);

    DWORD compression = 0;
    if (!prepareCapture(context, source, target, tempFolder, &compression))
        return false;
    OperationImaging imaging;
    if (!imaging.registerCallback(context, CaptureMessageCallback))
        return false;
    logMessage(context, Text::OpeningWim);
    HANDLE wim = nullptr;
    HANDLE image =
        captureInto(context, imaging, append, source, target, tempFolder, compression, wim);
    if (!image)
        return false;

    const DWORD imageCount = WIMGetImageCount(wim);
    describeCapturedImage(context, image, source);
    if (request.captureBootable)
        WIMSetBootImage(wim, imageCount);
    if (request.captureCheck)
        logMessage(context, Text::WritingWimInformation);

    // Closing the WIM writes the image with its information (into an existing file) or puts
    // the new file in place; a failure there is a failed capture.
    SetLastError(ERROR_SUCCESS);
    if (!imaging.release()) {
        const DWORD error = GetLastError();
        logMessage(context, Text::CaptureFailed);
        logErrorReason(context, error);
        return false;
    }
    const DWORD elapsed = timeGetTime() - context.startTime;
    if (elapsed < 1000)
        logMessage(context, Text::CaptureSucceeded, {std::int64_t{imageCount}});
    else
        logMessage(context, Text::CaptureSucceededIn,
                   {elapsedTimeText(elapsed), std::int64_t{imageCount}});
    return true;
}
