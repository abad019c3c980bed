// Extract: writes chosen files and folders of one image into a folder; and the texts of the
// browse page's entries.
#include "ops/ImagingSteps.h"
#include "ops/Text.h"
#include "ops/Toolbox.h"
#include "platform/Kernel.h"

#include <vector>

QStringList parseExtractPaths(const QString& text)
{
    QStringList paths;
    QString current;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u';') {
            current += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == u';') {
            current += u';';
            ++i;
        } else {
            if (!current.isEmpty())
                paths << current;
            current.clear();
        }
    }
    if (!current.isEmpty())
        paths << current;
    return paths;
}

QString joinExtractPaths(const QStringList& paths)
{
    QStringList escaped;
    for (const QString& path : paths)
        escaped << QString(path).replace(u';', QStringLiteral(";;"));
    return escaped.join(u';');
}

QString attributeLetters(DWORD attributes)
{
    static const struct {
        DWORD bit;
        char16_t letter;
    } letters[] = {{0x10, u'D'}, {0x1, u'R'},   {0x2, u'H'},   {0x4, u'S'},
                   {0x20, u'A'}, {0x400, u'L'}, {0x800, u'C'}, {0x4000, u'E'}};
    QString text;
    for (const auto& l : letters)
        if (attributes & l.bit)
            text += QChar(l.letter);
    return text.isEmpty() ? QStringLiteral("-") : text;
}

namespace {

void logExtractSettings(OperationContext& context, const QString& wimPath, const QString& target,
                        const QStringList& paths)
{
    const OperationRequest& request = context.request;
    logMessage(context, Text::SourceLine, {wimPath});
    logMessage(context, Text::ImageLine, {std::int64_t{request.extractIndex}});
    for (const QString& path : paths)
        logMessage(context, Text::ExtractPathLine, {path});
    logMessage(context, Text::TargetLine, {target});
    logMessage(context, request.extractOverwrite ? Text::OverwriteOnLine : Text::OverwriteOffLine);
    appendLogLine(context, QString());
}

// Opens the source, gives it the other parts of a split set and loads the image, all held by
// `imaging`. On failure (an abort requested by now is one) logs why and returns null.
HANDLE openExtractImage(OperationContext& context, OperationImaging& imaging,
                        const QString& wimPath, std::uint32_t index)
{
    WIM_INFO info{};
    HANDLE wim = openToolboxWim(context, imaging, wimPath, GENERIC_READ, &info);
    if (!wim)
        return nullptr;
    if (context.abortRequested) {
        logMessage(context, Text::ExtractFailed);
        return nullptr;
    }
    return loadImageTree(context, imaging, wim, wimPath, info, index, true);
}

} // namespace

bool RunExtract(OperationContext& context)
{
    const OperationRequest& request = context.request;
    const QString wimPath = fullPathOf(request.extractSource);
    const QString target = fullPathOf(request.extractTarget);
    const QStringList paths = parseExtractPaths(request.extractPaths);
    logExtractSettings(context, wimPath, target, paths);

    OperationImaging imaging;
    if (!imaging.registerCallback(context, ExtractMessageCallback))
        return false;
    if (paths.isEmpty()) {
        logMessage(context, Text::ExtractNoPaths);
        return false;
    }
    HANDLE image = openExtractImage(context, imaging, wimPath, request.extractIndex);
    if (!image)
        return false;
    std::vector<LPCWSTR> wide16;
    for (const QString& path : paths)
        wide16.push_back(wide(path));
    const DWORD flags = request.extractOverwrite ? WIM_EXTRACT_OVERWRITE : 0;
    if (!WIMExtractImagePaths(image, wide16.data(), static_cast<DWORD>(wide16.size()), wide(target),
                              flags)) {
        const QString error = errorText(GetLastError());
        logMessage(context, Text::ExtractFailed);
        logMessage(context, Text::ErrorReason, {error});
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    if (!imaging.release()) {
        logLastError(context);
        return false;
    }
    const DWORD elapsed = timeGetTime() - context.startTime;
    if (elapsed < 1000)
        logMessage(context, Text::ExtractSucceeded);
    else
        logMessage(context, Text::ExtractSucceededIn, {elapsedTimeText(elapsed)});
    return true;
}
