// The temporary folder, and the opening and closing steps of delete and modify (declared in
// ops/ImagingSteps.h).
#include "ops/ImagingSteps.h"

#include "ops/Text.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"

void logOperationSuccess(OperationContext& context)
{
    const DWORD elapsed = timeGetTime() - context.startTime;
    if (elapsed < 1000)
        logMessage(context, Text::OperationSucceeded);
    else
        logMessage(context, Text::OperationSucceededIn, {elapsedTimeText(elapsed)});
}

HANDLE openWimForChange(OperationContext& context, OperationImaging& imaging, const QString& path,
                        bool verify, std::uint32_t index)
{
    const QString temp = tempFolderPath();
    logMessage(context, Text::OpeningWim);
    DWORD created = 0;
    HANDLE wim = imaging.holdWim(WIMCreateFile(wide(path), GENERIC_READ | GENERIC_WRITE,
                                               OPEN_EXISTING, verify ? WIM_FLAG_VERIFY : 0, 0,
                                               &created));
    if (!wim) {
        logMessage(context, Text::OpenWimFailed);
        return nullptr;
    }
    logImagingNotice(context);
    UINT failure = 0;
    WIM_INFO info{};
    if (!WIMSetTemporaryPath(wim, wide(temp)))
        failure = Text::TempFolderUnusable;
    else if (!WIMGetAttributes(wim, &info, sizeof info))
        failure = Text::WimAttributesFailed;
    else if (info.ImageCount < index)
        failure = Text::IndexNotInWim;
    if (failure == 0)
        return wim;
    if (failure == Text::IndexNotInWim)
        logMessage(context, Text::IndexNotInWim, {std::int64_t{index}});
    else
        logMessage(context, failure);
    return nullptr;
}
