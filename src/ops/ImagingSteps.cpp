#include "ops/ImagingSteps.h"

#include "ops/Text.h"
#include "platform/Kernel.h"

QString folderOf(const QString& path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
}

DWORD chooseCompression(OperationContext& context, const QString& text)
{
    if (matchesString(Text::CompressionNone, text)) {
        logMessage(context, Text::CompressionNoneLine);
        return WIM_COMPRESS_NONE;
    }
    if (matchesString(Text::CompressionMaximum, text)) {
        logMessage(context, Text::CompressionMaximumLine);
        return WIM_COMPRESS_LZX;
    }
    logMessage(context, Text::CompressionFastestLine);
    return WIM_COMPRESS_XPRESS;
}

bool registerCallback(OperationContext& context, WIMMessageCallback callback)
{
    if (WIMRegisterMessageCallback(nullptr, callback, &context) != INVALID_CALLBACK_VALUE)
        return true;
    logMessage(context, Text::RegisterCallbackFailed);
    return false;
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
