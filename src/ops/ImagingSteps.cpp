#include "ops/ImagingSteps.h"

#include "ops/Text.h"
#include "platform/Kernel.h"

#include <algorithm>

QString folderOf(const QString& path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
}

DWORD chooseCompression(OperationContext& context, const QString& text, bool offerSolid)
{
    if (offerSolid && matchesString(Text::CompressionLzmsSolid, text)) {
        logMessage(context, Text::CompressionLzmsSolidLine);
        return WIM_COMPRESS_LZMS;
    }
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

bool OperationImaging::registerCallback(OperationContext& context, WIMMessageCallback callback)
{
    if (WIMRegisterMessageCallback(nullptr, callback, &context) != INVALID_CALLBACK_VALUE) {
        callback_ = callback;
        return true;
    }
    logMessage(context, Text::RegisterCallbackFailed);
    return false;
}

HANDLE OperationImaging::holdWim(HANDLE wim)
{
    if (wim)
        wims_.push_back(wim);
    return wim;
}

HANDLE OperationImaging::holdImage(HANDLE image)
{
    if (image)
        images_.push_back(image);
    return image;
}

void OperationImaging::closeImage(HANDLE image)
{
    const auto it = std::find(images_.begin(), images_.end(), image);
    if (it == images_.end())
        return;
    images_.erase(it);
    const DWORD kept = GetLastError();
    WIMCloseHandle(image);
    SetLastError(kept);
}

bool OperationImaging::release()
{
    DWORD kept = GetLastError();
    bool closed = true;
    const auto keepFirst = [&] {
        if (kept == ERROR_SUCCESS)
            kept = GetLastError();
    };
    std::vector<HANDLE> order(images_.rbegin(), images_.rend());
    order.insert(order.end(), wims_.begin(), wims_.end());
    images_.clear();
    wims_.clear();
    for (HANDLE handle : order) {
        if (!WIMCloseHandle(handle)) {
            closed = false;
            keepFirst();
        }
    }
    if (callback_ && !WIMUnregisterMessageCallback(nullptr, callback_))
        keepFirst();
    callback_ = nullptr;
    SetLastError(kept);
    return closed;
}
