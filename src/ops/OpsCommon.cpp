#include "ops/OpsCommon.h"

#include "ops/Text.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"

void logOperationSuccess(OperationContext& context)
{
    const DWORD elapsed = timeGetTime() - context.startTime;
    if (elapsed < 1000)
        logMessage(context, 174);
    else
        logMessage(context, 173, {elapsedTimeText(elapsed)});
}

HANDLE openWimForChange(OperationContext& context, const QString& path, bool verify,
                        std::uint32_t index)
{
    const QString temp = tempFolderPath();
    logMessage(context, 162);
    DWORD created = 0;
    HANDLE wim = WIMCreateFile(wide(path), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING,
                               verify ? WIM_FLAG_VERIFY : 0, 0, &created);
    if (!wim) {
        logMessage(context, 163);
        return nullptr;
    }
    UINT failure = 0;
    WIM_INFO info{};
    if (!WIMSetTemporaryPath(wim, wide(temp)))
        failure = 164;
    else if (!WIMGetAttributes(wim, &info, sizeof info))
        failure = 165;
    else if (info.ImageCount < index)
        failure = 166;
    if (failure == 0)
        return wim;
    if (failure == 166)
        logMessage(context, 166, {std::int64_t{index}});
    else
        logMessage(context, failure);
    WIMCloseHandle(wim);
    return nullptr;
}
