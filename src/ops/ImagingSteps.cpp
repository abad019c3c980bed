#include "ops/ImagingSteps.h"

#include "ops/Text.h"
#include "platform/Kernel.h"

QString folderOf(const QString& path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
}

DWORD chooseCompression(OperationContext& context, const QString& text)
{
    if (matchesString(138, text)) {
        logMessage(context, 191);
        return WIM_COMPRESS_NONE;
    }
    if (matchesString(140, text)) {
        logMessage(context, 193);
        return WIM_COMPRESS_LZX;
    }
    logMessage(context, 192);
    return WIM_COMPRESS_XPRESS;
}

bool releaseImaging(std::initializer_list<HANDLE> handles, WIMMessageCallback callback)
{
    DWORD kept = GetLastError();
    bool closed = true;
    const auto keepFirst = [&] {
        if (kept == ERROR_SUCCESS)
            kept = GetLastError();
    };
    for (HANDLE handle : handles) {
        if (handle && !WIMCloseHandle(handle)) {
            closed = false;
            keepFirst();
        }
    }
    if (callback && !WIMUnregisterMessageCallback(nullptr, callback))
        keepFirst();
    SetLastError(kept);
    return closed;
}
