// Split and join: a WIM into parts of at most a chosen size (for FAT32 sticks), and a split set
// back into one WIM. The source is never changed.
#include "ops/ImagingSteps.h"
#include "ops/Text.h"
#include "ops/Toolbox.h"
#include "platform/Kernel.h"

namespace {

constexpr std::uint64_t kMegabyte = std::uint64_t{1} << 20;
constexpr std::uint64_t kFat32Limit = 0xFFFFFFFFull; // the largest file FAT32 holds

// The warnings for files whose data alone is larger than a part.
bool warnOversizeFiles(OperationContext& context, HANDLE wim, std::uint64_t partSize)
{
    LARGE_INTEGER smallest{};
    if (!WIMSplitFile(wim, nullptr, &smallest, 0))
        return false;
    if (static_cast<std::uint64_t>(smallest.QuadPart) <= partSize)
        return true;
    std::vector<WIM_OVERSIZE_FILE> files;
    if (!WIMGetOversizeFiles(wim, partSize, &files))
        return false;
    for (const WIM_OVERSIZE_FILE& f : files) {
        const QString path =
            QString::fromUtf16(f.Path.data(), static_cast<qsizetype>(f.Path.size()));
        const QString megabytes = QString::number((f.StoredBytes + kMegabyte - 1) / kMegabyte);
        logMessage(
            context, Text::OversizeFile,
            {std::int64_t{f.ImageIndex}, path, megabytes, std::int64_t(partSize / kMegabyte)});
        if (f.StoredBytes > kFat32Limit)
            logMessage(context, Text::OversizePartTooLargeForFat32);
    }
    return true;
}

} // namespace

bool RunSplit(OperationContext& context)
{
    const OperationRequest& request = context.request;
    const QString source = fullPathOf(request.splitSource);
    const QString target = fullPathOf(request.splitTarget);
    logMessage(context, Text::SourceLine, {source});
    logMessage(context, Text::TargetLine, {target});
    logMessage(context, Text::PartSizeLine, {std::int64_t{request.splitSize}});
    appendLogLine(context, QString());

    OperationImaging imaging;
    if (!imaging.registerCallback(context, ToolboxMessageCallback))
        return false;
    if (request.splitSize == 0) {
        logMessage(context, Text::PartSizeInvalid);
        return false;
    }
    WIM_INFO info{};
    HANDLE wim = openToolboxWim(context, imaging, source, GENERIC_READ, &info);
    if (!wim)
        return false;
    if (info.TotalParts > 1) {
        logMessage(context, Text::AlreadySplit,
                   {std::int64_t{info.PartNumber}, std::int64_t{info.TotalParts}});
        return false;
    }
    if (info.WimAttributes & WIM_ATTRIBUTE_SOLID) {
        logMessage(context, Text::CannotSplitSolid);
        return false;
    }
    const std::uint64_t partSize = std::uint64_t{request.splitSize} * kMegabyte;
    if (!warnOversizeFiles(context, wim, partSize)) {
        logToolboxFailure(context, Text::SplitFailed);
        return false;
    }
    logMessage(context, Text::SplittingWim);
    LARGE_INTEGER size{static_cast<std::int64_t>(partSize)};
    if (!WIMSplitFile(wim, wide(target), &size, 0)) {
        if (GetLastError() == ERROR_INVALID_PARAMETER)
            logMessage(context, Text::TargetIsSource);
        logToolboxFailure(context, Text::SplitFailed);
        return false;
    }
    const std::int64_t parts = context.processedCount.load();
    if (!imaging.release()) {
        logToolboxFailure(context, Text::SplitFailed);
        return false;
    }
    const MessageArg count = parts;
    logToolboxSuccess(context, Text::SplitSucceeded, Text::SplitSucceededIn, &count);
    return true;
}

bool RunJoin(OperationContext& context)
{
    const OperationRequest& request = context.request;
    const QString source = fullPathOf(request.joinSource);
    const QString target = fullPathOf(request.joinTarget);
    logMessage(context, Text::SourceLine, {source});
    logMessage(context, Text::TargetLine, {target});
    appendLogLine(context, QString());

    OperationImaging imaging;
    if (!imaging.registerCallback(context, ToolboxMessageCallback))
        return false;
    WIM_INFO info{};
    HANDLE wim = openToolboxWim(context, imaging, source, GENERIC_READ, &info);
    if (!wim)
        return false;
    if (info.TotalParts <= 1) {
        logMessage(context, Text::NotSplitWim, {source});
        return false;
    }
    if (!useSplitParts(context, wim, source, info))
        return false;
    logMessage(context, Text::JoiningWim);
    if (!WIMJoinSplitFile(wim, wide(target), 0)) {
        if (GetLastError() == ERROR_INVALID_PARAMETER)
            logMessage(context, Text::TargetIsSource);
        logToolboxFailure(context, Text::JoinFailed);
        return false;
    }
    if (!imaging.release()) {
        logToolboxFailure(context, Text::JoinFailed);
        return false;
    }
    logToolboxSuccess(context, Text::JoinSucceeded, Text::JoinSucceededIn);
    return true;
}
