#include "ops/OpsCommon.h"

#include "ops/Text.h"
#include "platform/Kernel.h"

#include <vector>

std::u16string tempFolderPath()
{
    std::vector<WCHAR> buf(MAX_PATH);
    DWORD n = GetTempPathW(static_cast<DWORD>(buf.size()), buf.data());
    if (n >= buf.size()) {
        buf.resize(n);
        n = GetTempPathW(static_cast<DWORD>(buf.size()), buf.data());
    }
    return std::u16string(buf.data(), n < buf.size() ? n : 0);
}

void logOperationSuccess(OperationContext& context)
{
    const DWORD elapsed = timeGetTime() - context.startTime;
    if (elapsed < 1000)
        logMessage(context, 174);
    else
        logMessage(context, 173, {elapsedTimeText(elapsed)});
}
