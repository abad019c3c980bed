#include "ops/Callbacks.h"

#include "config/CaptureConfig.h"
#include "ops/Text.h"
#include "platform/Kernel.h"

namespace {

enum class Kind { Apply, Capture, Export };

QString pathText(WPARAM wParam)
{
    const auto* path = reinterpret_cast<LPCWSTR>(wParam);
    return path ? QString::fromUtf16(path) : QString();
}

// The library's own messages, as fixed literals with the path and its error code.
void logLibraryMessage(OperationContext& context, DWORD messageId, WPARAM wParam, LPARAM lParam)
{
    const char* format = nullptr;
    switch (messageId) {
    case WIM_MSG_ERROR:
        format = "ERROR: %1 [err = %2]";
        break;
    case WIM_MSG_RETRY:
        format = "RETRY: %1 [err = %2]";
        break;
    case WIM_MSG_INFO:
        format = "INFO: %1 [err = %2]\n";
        break;
    case WIM_MSG_WARNING:
        format = "WARNING: %1 [err = %2]";
        break;
    default:
        return;
    }
    // The code is shown as the signed 32-bit value the library passed.
    const auto code = static_cast<std::int32_t>(static_cast<std::uint32_t>(lParam));
    // One pass over the format, so a path holding "%2" stays as it is.
    appendLogLine(context,
                  QString::fromLatin1(format).arg(pathText(wParam), QString::number(code)));
}

void showProgress(OperationContext& context, Kind kind, WPARAM percent, LPARAM remaining)
{
    showPercentAndTimes(context, percent, remaining);
    if (kind == Kind::Export && percent == 100) {
        setDialogItemText(context, IDC_COUNT, QString());
        return;
    }
    const std::uint32_t total = kind == Kind::Capture
                                    ? context.fileCount.load()
                                    : context.folderCount.load() + context.fileCount.load();
    setDialogItemText(
        context, IDC_COUNT,
        formatMessage(Text::FileCountProgress,
                      {std::int64_t{context.processedCount.load()}, std::int64_t{total}}));
}

DWORD scanQuestion(OperationContext& context, WPARAM wParam, LPARAM lParam)
{
    if (!context.scanNoticeShown.exchange(true))
        logMessage(context, Text::ScanningFiles);
    const CaptureConfig* config = context.captureConfig.get();
    const auto* path = reinterpret_cast<LPCWSTR>(wParam);
    if (!config || !path)
        return WIM_MSG_SUCCESS;
    const QStringView view(path, static_cast<qsizetype>(wstrLength(path)));
    if (!config->isExcluded(view))
        return WIM_MSG_SUCCESS;
    if (auto* process = reinterpret_cast<BOOL*>(lParam))
        *process = FALSE;
    logMessage(context, Text::ExcludingPath, {view.toString()});
    return WIM_MSG_SUCCESS;
}

// WIM_MSG_SCANNING of a capture: folders and files met so far.
DWORD scanCounts(OperationContext& context, WPARAM wParam, LPARAM lParam)
{
    context.folderCount += static_cast<std::uint32_t>(wParam);
    const auto files = static_cast<std::uint32_t>(lParam);
    if (files > context.processedCount)
        context.processedCount = files;
    const std::uint32_t processed = context.processedCount;
    if ((processed & 31u) == 0)
        setDialogItemText(
            context, IDC_COUNT,
            formatMessage(Text::ScanCounts,
                          {std::int64_t{processed}, std::int64_t{context.folderCount.load()}}));
    return WIM_MSG_SUCCESS;
}

// WIM_MSG_SETRANGE of a capture: the scan is over, the files are counted from here on.
DWORD captureStarts(OperationContext& context, LPARAM lParam)
{
    const auto files = static_cast<std::uint32_t>(lParam);
    logMessage(context, Text::CaptureStarting,
               {std::int64_t{context.folderCount.load()}, std::int64_t{files}});
    context.fileCount = files;
    context.processedCount = 0;
    setDialogItemText(
        context, IDC_COUNT,
        formatMessage(Text::FileCountProgress, {std::int64_t{0}, std::int64_t{files}}));
    return WIM_MSG_SUCCESS;
}

// WIM_MSG_COMPRESS of a capture: the compression-exclusion decision.
DWORD compressQuestion(const OperationContext& context, WPARAM wParam, LPARAM lParam)
{
    const CaptureConfig* config = context.captureConfig.get();
    const auto* path = reinterpret_cast<LPCWSTR>(wParam);
    auto* compress = reinterpret_cast<BOOL*>(lParam);
    if (config && path && compress &&
        config->isCompressionExcluded(QStringView(path, static_cast<qsizetype>(wstrLength(path)))))
        *compress = FALSE;
    return WIM_MSG_SUCCESS;
}

// The messages only a capture acts on.
DWORD handleCaptureMessage(OperationContext& context, DWORD messageId, WPARAM wParam, LPARAM lParam)
{
    switch (messageId) {
    case WIM_MSG_SCANNING:
        return scanCounts(context, wParam, lParam);
    case WIM_MSG_SETRANGE:
        return captureStarts(context, lParam);
    case WIM_MSG_COMPRESS:
        return compressQuestion(context, wParam, lParam);
    default:
        return WIM_MSG_SUCCESS;
    }
}

DWORD handleMessage(Kind kind, DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData)
{
    if (messageId < WIM_MSG_PROGRESS || messageId > WIM_MSG_WARNING || !userData)
        return WIM_MSG_SUCCESS;
    OperationContext& context = *static_cast<OperationContext*>(userData);
    switch (messageId) {
    case WIM_MSG_PROGRESS:
        showProgress(context, kind, wParam, lParam);
        return WIM_MSG_SUCCESS;
    case WIM_MSG_PROCESS:
        if (context.abortRequested)
            return WIM_MSG_ABORT_IMAGE;
        if (kind == Kind::Capture && context.fileCount == 0)
            return scanQuestion(context, wParam, lParam);
        ++context.processedCount;
        return WIM_MSG_SUCCESS;
    case WIM_MSG_ERROR:
    case WIM_MSG_RETRY:
    case WIM_MSG_INFO:
    case WIM_MSG_WARNING:
        logLibraryMessage(context, messageId, wParam, lParam);
        return WIM_MSG_SUCCESS;
    default:
        break;
    }
    return kind == Kind::Capture ? handleCaptureMessage(context, messageId, wParam, lParam)
                                 : WIM_MSG_SUCCESS;
}

} // namespace

DWORD ApplyMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData)
{
    return handleMessage(Kind::Apply, messageId, wParam, lParam, userData);
}

DWORD CaptureMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData)
{
    return handleMessage(Kind::Capture, messageId, wParam, lParam, userData);
}

DWORD ExportMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData)
{
    return handleMessage(Kind::Export, messageId, wParam, lParam, userData);
}
