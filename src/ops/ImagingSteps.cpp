#include "ops/ImagingSteps.h"

#include "ops/Text.h"
#include "platform/Kernel.h"

#include <algorithm>

QString folderPartOf(const QString& path)
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

namespace {

void logDetail(OperationContext& context, DWORD detail, const std::u16string& path)
{
    const QString file = QString::fromStdU16String(path);
    switch (detail) {
    case WIM_DETAIL_FILE_REPLACED:
        logMessage(context, Text::FileReplacedWhileWritten, {file});
        break;
    case WIM_DETAIL_RECORD_NOT_A_FILE:
        logMessage(context, Text::UndoRecordNotAFile, {file});
        break;
    case WIM_DETAIL_RECORD_UNTRUSTED:
        logMessage(context, Text::UndoRecordUntrusted, {file});
        break;
    case WIM_DETAIL_COMMIT_INTERRUPTED_FILE_VERIFIES:
        logMessage(context, Text::CommitInterruptedFileVerifies, {file});
        break;
    case WIM_DETAIL_COMMIT_INTERRUPTED_FILE_DAMAGED:
        logMessage(context, Text::CommitInterruptedFileDamaged, {file});
        break;
    default:
        break;
    }
}

} // namespace

void logErrorReason(OperationContext& context, DWORD code)
{
    std::u16string path;
    SetLastError(code);
    const DWORD detail = WIMGetLastErrorDetail(&path);
    logMessage(context, Text::ErrorReason, {errorText(code)});
    logDetail(context, detail, path);
}

void logReasonWhenHeld(OperationContext& context, DWORD code)
{
    SetLastError(code);
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
        WIMGetLastErrorDetail(nullptr) != WIM_DETAIL_NONE)
        logErrorReason(context, code);
}

void logImagingNotice(OperationContext& context)
{
    std::u16string path;
    if (GetLastError() == ERROR_SUCCESS)
        logDetail(context, WIMGetLastErrorDetail(&path), path);
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
