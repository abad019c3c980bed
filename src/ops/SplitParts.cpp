// The parts of a split set, found beside its first part and given to it as references.
#include "ops/ImagingSteps.h"
#include "ops/Text.h"
#include "ops/Toolbox.h"
#include "platform/Kernel.h"

#include <cstring>

namespace {

QString partPath(const QString& firstPart, DWORD part)
{
    const std::u16string first(reinterpret_cast<const char16_t*>(firstPart.utf16()),
                               static_cast<std::size_t>(firstPart.size()));
    const std::u16string path = WIMSplitPartPath(first, part);
    return QString::fromUtf16(path.data(), static_cast<qsizetype>(path.size()));
}

// Whether the file at `path` is part `part` of the set described by `first`; fills `problem`
// when not.
bool checkPart(const QString& path, DWORD part, const WIM_INFO& first, SplitPartProblem& problem)
{
    problem = {SplitPartProblem::None, part, first.TotalParts, path, ERROR_SUCCESS};
    DWORD created = 0;
    const HANDLE wim =
        WIMCreateFile(wide(path), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0, 0, &created);
    if (!wim) {
        const DWORD error = GetLastError();
        const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        problem.kind = missing ? SplitPartProblem::Missing : SplitPartProblem::Unusable;
        problem.error = error;
        return false;
    }
    const UniqueWimHandle closer(wim);
    WIM_INFO info{};
    if (!WIMGetAttributes(wim, &info, sizeof info)) {
        problem.kind = SplitPartProblem::Unusable;
        problem.error = GetLastError();
        return false;
    }
    if (std::memcmp(&info.Guid, &first.Guid, sizeof(GUID)) != 0 || info.PartNumber != part ||
        info.TotalParts != first.TotalParts) {
        problem.kind = SplitPartProblem::Foreign;
        return false;
    }
    return true;
}

} // namespace

bool referenceSplitParts(HANDLE wim, const QString& path, const WIM_INFO& info,
                         SplitPartProblem& problem)
{
    problem = SplitPartProblem{};
    if (info.TotalParts <= 1)
        return true;
    if (info.PartNumber != 1) {
        problem = {SplitPartProblem::NotFirstPart, info.PartNumber, info.TotalParts, path, 0};
        return false;
    }
    for (DWORD part = 2; part <= info.TotalParts; ++part) {
        const QString file = partPath(path, part);
        if (!checkPart(file, part, info, problem))
            return false;
        if (!WIMSetReferenceFile(wim, wide(file), WIM_REFERENCE_APPEND)) {
            problem = {SplitPartProblem::Unusable, part, info.TotalParts, file, GetLastError()};
            return false;
        }
    }
    return true;
}

QString splitPartProblemText(const SplitPartProblem& problem)
{
    const std::int64_t part = problem.part;
    switch (problem.kind) {
    case SplitPartProblem::NotFirstPart:
        return formatMessage(Text::NotFirstPart, {problem.path, part, std::int64_t{problem.total}});
    case SplitPartProblem::Missing:
        return formatMessage(Text::SplitPartMissing, {part, problem.path});
    case SplitPartProblem::Unusable:
        return formatMessage(Text::SplitPartUnusable, {part, problem.path}) + QLatin1Char('\n') +
               formatMessage(Text::ErrorReason, {errorText(problem.error)});
    case SplitPartProblem::Foreign:
        return formatMessage(Text::SplitPartForeign, {problem.path, part});
    case SplitPartProblem::None:
        break;
    }
    return QString();
}

void logSplitPartProblem(OperationContext& context, const SplitPartProblem& problem)
{
    if (problem.kind == SplitPartProblem::None)
        return;
    for (const QString& line : splitPartProblemText(problem).split(QLatin1Char('\n')))
        appendLogLine(context, line);
}

bool useSplitParts(OperationContext& context, HANDLE wim, const QString& path, const WIM_INFO& info)
{
    if (info.TotalParts <= 1)
        return true;
    logMessage(context, Text::SplitPartsLine, {std::int64_t{info.TotalParts}});
    SplitPartProblem problem;
    if (referenceSplitParts(wim, path, info, problem))
        return true;
    logSplitPartProblem(context, problem);
    return false;
}

HANDLE loadImageTree(OperationContext& context, OperationImaging& imaging, HANDLE wim,
                     const QString& path, const WIM_INFO& info, std::uint32_t index,
                     bool withReason)
{
    if (info.ImageCount < index) {
        logMessage(context, Text::IndexNotInWim, {std::int64_t{index}});
        return nullptr;
    }
    if (!useSplitParts(context, wim, path, info))
        return nullptr;
    HANDLE image = imaging.holdImage(WIMLoadImage(wim, index));
    if (!image || !WIMReadImageTree(image)) {
        logMessage(context, Text::LoadImageFailed, {std::int64_t{index}});
        if (withReason)
            logLastError(context);
        return nullptr;
    }
    return image;
}
