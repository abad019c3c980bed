// Optimize and verify: rebuilding a WIM without what deletes and changes left behind, and
// checking a WIM end to end.
#include "ops/ImagingSteps.h"
#include "ops/Text.h"
#include "ops/Toolbox.h"
#include "platform/Kernel.h"

#include <QLocale>

void logToolboxSuccess(OperationContext& context, UINT quick, UINT timed, const MessageArg* count)
{
    const DWORD elapsed = timeGetTime() - context.startTime;
    if (elapsed < 1000) {
        if (count)
            logMessage(context, quick, {*count});
        else
            logMessage(context, quick);
        return;
    }
    const QString time = elapsedTimeText(elapsed);
    if (count)
        logMessage(context, timed, {time, *count});
    else
        logMessage(context, timed, {time});
}

HANDLE openToolboxWim(OperationContext& context, OperationImaging& imaging, const QString& path,
                      DWORD access, WIM_INFO* info)
{
    logMessage(context, Text::OpeningWim);
    DWORD created = 0;
    HANDLE wim = imaging.holdWim(WIMCreateFile(wide(path), access, OPEN_EXISTING, 0, 0, &created));
    if (!wim) {
        logToolboxFailure(context, Text::OpenWimFailed);
        return nullptr;
    }
    if (info && !WIMGetAttributes(wim, info, sizeof *info)) {
        logMessage(context, Text::WimAttributesFailed);
        return nullptr;
    }
    return wim;
}

void logToolboxFailure(OperationContext& context, UINT line)
{
    const QString error = errorText(GetLastError());
    logMessage(context, line);
    logMessage(context, Text::ErrorReason, {error});
}

namespace {

QString bytesText(ULONGLONG bytes)
{
    return QString::number(bytes);
}

// The compression a rebuild uses: the page's text, or the file's own when empty. Logs it.
DWORD optimizeCompression(OperationContext& context, const QString& text)
{
    if (text.isEmpty() || matchesString(Text::CompressionKeep, text)) {
        logMessage(context, Text::CompressionKeptLine);
        return WIM_COMPRESS_KEEP;
    }
    return chooseCompression(context, text, true);
}

QString hashText(const BYTE (&hash)[20])
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(hash), 20).toHex());
}

void logProblem(OperationContext& context, const WIM_VERIFY_PROBLEM& p)
{
    const QString path = QString::fromUtf16(p.Path.data(), static_cast<qsizetype>(p.Path.size()));
    const std::int64_t image = p.ImageIndex;
    switch (p.Kind) {
    case WIM_VERIFY_INTEGRITY_TABLE:
        logMessage(context, Text::IntegrityDamaged, {path});
        break;
    case WIM_VERIFY_IMAGE_METADATA:
        logMessage(context, Text::ImageMetadataDamaged, {image, errorText(p.Error)});
        break;
    case WIM_VERIFY_MISSING_DATA:
        logMessage(context, Text::StreamMissing, {image, path});
        break;
    case WIM_VERIFY_DAMAGED_DATA:
        logMessage(context, Text::StreamDamaged,
                   {hashText(p.Hash), bytesText(p.Size), image, path});
        if (p.OtherUsers > 0)
            logMessage(context, Text::StreamDamagedMoreUsers, {std::int64_t{p.OtherUsers}});
        break;
    }
}

} // namespace

bool RunOptimize(OperationContext& context)
{
    const OperationRequest& request = context.request;
    const QString source = fullPathOf(request.optimizeSource);
    logMessage(context, Text::SourceLine, {source});
    const DWORD compression = optimizeCompression(context, request.optimizeCompression);
    appendLogLine(context, QString());

    OperationImaging imaging;
    if (!imaging.registerCallback(context, ToolboxMessageCallback))
        return false;
    HANDLE wim = openToolboxWim(context, imaging, source, GENERIC_READ | GENERIC_WRITE, nullptr);
    if (!wim)
        return false;
    logMessage(context, Text::OptimizingWim);
    ULONGLONG before = 0;
    ULONGLONG after = 0;
    if (!WIMRebuildFile(wim, compression, 0, &before, &after)) {
        logToolboxFailure(context, Text::OptimizeFailed);
        return false;
    }
    logMessage(context, Text::SizeBeforeLine, {bytesText(before)});
    const ULONGLONG saved = before > after ? before - after : 0;
    logMessage(context, Text::SizeAfterLine, {bytesText(after), bytesText(saved)});
    if (!imaging.release()) {
        logToolboxFailure(context, Text::OptimizeFailed);
        return false;
    }
    logToolboxSuccess(context, Text::OptimizeSucceeded, Text::OptimizeSucceededIn);
    return true;
}

bool RunVerify(OperationContext& context)
{
    const QString source = fullPathOf(context.request.verifySource);
    logMessage(context, Text::SourceLine, {source});
    appendLogLine(context, QString());

    OperationImaging imaging;
    if (!imaging.registerCallback(context, ToolboxMessageCallback))
        return false;
    WIM_INFO info{};
    HANDLE wim = openToolboxWim(context, imaging, source, GENERIC_READ, &info);
    if (!wim || !useSplitParts(context, wim, source, info))
        return false;
    logMessage(context, Text::VerifyingWim);
    WIM_VERIFY_RESULT result;
    if (!WIMVerifyFile(wim, 0, &result)) {
        const DWORD error = GetLastError();
        for (const WIM_VERIFY_PROBLEM& problem : result.Problems)
            logProblem(context, problem);
        if (error == ERROR_FILE_CORRUPT && !result.Problems.empty()) {
            logMessage(context, Text::VerifyFoundDamage, {std::int64_t(result.Problems.size())});
            return false;
        }
        SetLastError(error);
        logToolboxFailure(context, Text::VerifyFailed);
        return false;
    }
    logMessage(
        context, Text::VerifySucceeded,
        {std::int64_t{result.ImageCount}, QString::number(result.StreamCount),
         bytesText(result.StreamBytes),
         loadString(result.HasIntegrityTable ? Text::IntegrityPresent : Text::IntegrityAbsent)});
    if (!imaging.release()) {
        logToolboxFailure(context, Text::VerifyFailed);
        return false;
    }
    return true;
}

std::function<bool(OperationContext&)> toolboxOperation(int id)
{
    switch (id) {
    case ID_EXTRACT:
        return RunExtract;
    case ID_SPLIT:
        return RunSplit;
    case ID_JOIN:
        return RunJoin;
    case ID_OPTIMIZE:
        return RunOptimize;
    case ID_VERIFY:
        return RunVerify;
    default:
        return {};
    }
}
