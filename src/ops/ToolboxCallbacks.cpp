// The message callbacks of the toolbox operations.
#include "ops/Callbacks.h"
#include "ops/Text.h"
#include "ops/Toolbox.h"
#include "platform/Kernel.h"

namespace {

QString pathText(WPARAM wParam)
{
    const auto* path = reinterpret_cast<LPCWSTR>(wParam);
    return path ? QString::fromUtf16(path) : QString();
}

// The clear line of a refusal the layer named, or 0 for a code that has none.
UINT refusalText(DWORD code)
{
    switch (code) {
    case ERROR_FILE_EXISTS:
        return Text::ExtractExists;
    case ERROR_INVALID_NAME:
        return Text::ExtractBadName;
    case ERROR_FILENAME_EXCED_RANGE:
        return Text::ExtractNameTooLong;
    case ERROR_PATH_NOT_FOUND:
        return Text::ExtractNotInImage;
    case ERROR_DIRECTORY:
        return Text::ExtractFolderInTheWay;
    default:
        return 0;
    }
}

} // namespace

DWORD ExtractMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData)
{
    if (!userData)
        return WIM_MSG_SUCCESS;
    OperationContext& context = *static_cast<OperationContext*>(userData);
    if (messageId == WIM_MSG_SETRANGE) {
        const auto entries = static_cast<std::uint32_t>(lParam);
        context.folderCount = 0;
        context.fileCount = entries;
        context.processedCount = 0;
        logMessage(context, Text::ExtractStarting, {std::int64_t{entries}});
        return WIM_MSG_SUCCESS;
    }
    if (messageId == WIM_MSG_ERROR) {
        if (const UINT text = refusalText(static_cast<DWORD>(lParam))) {
            logMessage(context, text, {pathText(wParam)});
            return WIM_MSG_SUCCESS;
        }
    }
    return ApplyMessageCallback(messageId, wParam, lParam, userData);
}

DWORD ToolboxMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData)
{
    if (!userData)
        return WIM_MSG_SUCCESS;
    OperationContext& context = *static_cast<OperationContext*>(userData);
    switch (messageId) {
    case WIM_MSG_PROGRESS:
        showPercentAndTimes(context, wParam, lParam);
        break;
    case WIM_MSG_SPLIT:
        if (const auto* part = reinterpret_cast<const WIM_SPLIT_PART*>(lParam)) {
            const std::int64_t number = part->PartNumber;
            const std::int64_t total = part->TotalParts;
            context.processedCount = part->PartNumber;
            logMessage(context, Text::WritingPart, {number, total, pathText(wParam)});
            setDialogItemText(context, IDC_COUNT, formatMessage(Text::PartCount, {number, total}));
        }
        break;
    case WIM_MSG_ERROR:
    case WIM_MSG_RETRY:
    case WIM_MSG_INFO:
    case WIM_MSG_WARNING:
        ApplyMessageCallback(messageId, wParam, lParam, userData);
        break;
    default:
        break;
    }
    return context.abortRequested ? WIM_MSG_ABORT_IMAGE : WIM_MSG_SUCCESS;
}
