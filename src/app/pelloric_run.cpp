// pelloric-run: runs one of the program's operations without a window, for tests,
// benchmarks and scripts.
//
//   pelloric-run [--abort-after MS] ID field=value ...   run the operation of button ID
//   pelloric-run report infoSource=PATH                   print the information report
//   pelloric-run list browseSource=W browseIndex=N [browsePath=/dir]
//                                                         print the entries of an image
//   pelloric-run mounts                                   print the mounted WIM images
//   pelloric-run --help                                   every run with its fields
//
// Fields are those of the operation request; flags take 0/1 or false/true, indexes are
// decimal, texts are taken as given. Log lines go to standard output as they are appended;
// a message box prints its text to standard error and counts as answered. Exit code: 0 when
// the operation succeeded, 1 when it failed, 2 for unusable arguments.
#include "ops/Context.h"
#include "ops/MountOps.h"
#include "ops/Text.h"
#include "ops/Toolbox.h"
#include "ops/WimReport.h"
#include "ops/Worker.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"

#include <QCoreApplication>
#include <QString>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <unordered_map>
#include <variant>

namespace {

using Field = std::variant<QString OperationRequest::*, bool OperationRequest::*,
                           std::uint32_t OperationRequest::*>;

// What the runner can run: the operations of the page buttons, by their ids, and the two
// verbs. Each has a bit, and every field names the bits of the runs that read it.
enum RunBit : unsigned {
    kCapture = 1u << 0, // capture and append
    kApply = 1u << 1,
    kModify = 1u << 2,
    kMount = 1u << 3,
    kUnmount = 1u << 4,
    kDelete = 1u << 5,
    kExport = 1u << 6,
    kReport = 1u << 7,
    // the toolbox pages
    kExtract = 1u << 8,
    kSplit = 1u << 9,
    kJoin = 1u << 10,
    kOptimize = 1u << 11,
    kVerify = 1u << 12,
    kList = 1u << 13,
};

struct RunEntry {
    int id;           // operation id, or 0 for a verb
    const char* verb; // the verb, for id 0
    unsigned bit;     // 0: reads no field
    const char* what;
};

const RunEntry kRuns[] = {
    {ID_CAPTURE, nullptr, kCapture, "capture a folder into a new WIM file"},
    {ID_APPEND, nullptr, kCapture, "append a captured folder to a WIM file"},
    {ID_APPLY, nullptr, kApply, "apply an image to a folder"},
    {ID_MODIFY, nullptr, kModify, "change an image's information"},
    {ID_MOUNT, nullptr, kMount, "mount an image"},
    {ID_UNMOUNT, nullptr, kUnmount, "unmount the image mounted at mountPath"},
    {ID_DELETE, nullptr, kDelete, "delete an image"},
    {ID_EXPORT, nullptr, kExport, "export an image into another WIM file"},
    {ID_EXTRACT, nullptr, kExtract, "extract files and folders of an image into a folder"},
    {ID_SPLIT, nullptr, kSplit, "split a WIM into parts of at most splitSize MB"},
    {ID_JOIN, nullptr, kJoin, "join a split WIM (its first part) into one WIM"},
    {ID_OPTIMIZE, nullptr, kOptimize, "rebuild a WIM without what deletes and changes left"},
    {ID_VERIFY, nullptr, kVerify, "verify a WIM: integrity table, metadata, every stream"},
    {0, "report", kReport, "print the information report of a WIM file"},
    {0, "list", kList, "print path, size and attributes of every entry below browsePath"},
    {0, "mounts", 0, "print the mounted images: R or R/W (marked when dead), folder, WIM, index"},
};

struct FieldEntry {
    const char* name;
    Field member;
    unsigned readBy;
};

#define PELLORIC_FIELD(name, readBy)                                                               \
    {                                                                                              \
#name, &OperationRequest::name, readBy                                                     \
    }
const FieldEntry kFields[] = {
    PELLORIC_FIELD(captureSource, kCapture),
    PELLORIC_FIELD(captureTarget, kCapture),
    PELLORIC_FIELD(captureTempFolder, kCapture),
    PELLORIC_FIELD(captureName, kCapture),
    PELLORIC_FIELD(captureDescription, kCapture),
    PELLORIC_FIELD(captureDisplayName, kCapture),
    PELLORIC_FIELD(captureDisplayDescription, kCapture),
    PELLORIC_FIELD(captureCompression, kCapture),
    PELLORIC_FIELD(captureBootable, kCapture),
    PELLORIC_FIELD(captureVerify, kCapture),
    PELLORIC_FIELD(captureCheck, kCapture),
    PELLORIC_FIELD(captureNoRpFix, kCapture),
    PELLORIC_FIELD(captureConfigFile, kCapture),
    PELLORIC_FIELD(captureFlags, kCapture),
    PELLORIC_FIELD(captureShowConfig, kCapture),
    PELLORIC_FIELD(applySource, kApply),
    PELLORIC_FIELD(applyTarget, kApply),
    PELLORIC_FIELD(applyIndex, kApply),
    PELLORIC_FIELD(applyVerify, kApply),
    PELLORIC_FIELD(applyCheck, kApply),
    PELLORIC_FIELD(infoSource, kReport),
    PELLORIC_FIELD(infoText, 0),
    PELLORIC_FIELD(modifySource, kModify),
    PELLORIC_FIELD(modifyIndex, kModify),
    PELLORIC_FIELD(modifyName, kModify),
    PELLORIC_FIELD(modifyDescription, kModify),
    PELLORIC_FIELD(modifyDisplayName, kModify),
    PELLORIC_FIELD(modifyDisplayDescription, kModify),
    PELLORIC_FIELD(modifyFlags, kModify),
    PELLORIC_FIELD(modifyBootable, kModify),
    PELLORIC_FIELD(modifyCheck, kModify),
    PELLORIC_FIELD(mountSource, kMount),
    PELLORIC_FIELD(mountPath, kMount | kUnmount),
    PELLORIC_FIELD(mountIndex, kMount),
    PELLORIC_FIELD(mountReadWrite, kMount),
    PELLORIC_FIELD(unmountCommit, kUnmount),
    PELLORIC_FIELD(deleteSource, kDelete),
    PELLORIC_FIELD(deleteIndex, kDelete),
    PELLORIC_FIELD(deleteCheck, kDelete),
    PELLORIC_FIELD(exportSource, kExport),
    PELLORIC_FIELD(exportTarget, kExport),
    PELLORIC_FIELD(exportIndex, kExport),
    PELLORIC_FIELD(exportName, kExport),
    PELLORIC_FIELD(exportCompression, kExport),
    PELLORIC_FIELD(exportBootable, kExport),
    PELLORIC_FIELD(exportCheck, kExport),
    PELLORIC_FIELD(chooserWimPath, 0),
    PELLORIC_FIELD(chooserIndex, 0),
    PELLORIC_FIELD(browseSource, kList),
    PELLORIC_FIELD(browseIndex, kList),
    PELLORIC_FIELD(browsePath, kList),
    PELLORIC_FIELD(browseFilter, 0),
    PELLORIC_FIELD(extractSource, kExtract),
    PELLORIC_FIELD(extractIndex, kExtract),
    PELLORIC_FIELD(extractPaths, kExtract),
    PELLORIC_FIELD(extractTarget, kExtract),
    PELLORIC_FIELD(extractOverwrite, kExtract),
    PELLORIC_FIELD(splitSource, kSplit),
    PELLORIC_FIELD(splitTarget, kSplit),
    PELLORIC_FIELD(splitSize, kSplit),
    PELLORIC_FIELD(joinSource, kJoin),
    PELLORIC_FIELD(joinTarget, kJoin),
    PELLORIC_FIELD(optimizeSource, kOptimize),
    PELLORIC_FIELD(optimizeCompression, kOptimize),
    PELLORIC_FIELD(verifySource, kVerify),
};
#undef PELLORIC_FIELD

// Console stand-in for the progress dialog.
class ConsolePort : public DialogPort {
public:
    void setItemText(int, const QString&) override {}
    void enableItem(int, bool) override {}
    void setProgressPosition(int) override {}
    void appendLog(const QString& line) override
    {
        QString text = line;
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        const QByteArray bytes = text.toUtf8();
        std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    void messageBox(const QString& text, const QString& caption, MessageIcon) override
    {
        std::fprintf(stderr, "%s: %s\n", caption.toUtf8().constData(), text.toUtf8().constData());
    }
};

bool parseBool(const QString& value, bool* out)
{
    if (value == QLatin1String("1") ||
        value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        *out = true;
    else if (value == QLatin1String("0") ||
             value.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        *out = false;
    else
        return false;
    return true;
}

// Sets one "field=value" argument; false with a message when it is unusable.
bool setField(OperationRequest& request, const QString& argument)
{
    const auto eq = argument.indexOf(QLatin1Char('='));
    if (eq <= 0) {
        std::fprintf(stderr, "pelloric-run: expected field=value, got '%s'\n",
                     argument.toUtf8().constData());
        return false;
    }
    const QString name = argument.left(eq);
    const QString value = argument.mid(eq + 1);
    for (const FieldEntry& entry : kFields) {
        if (name != QLatin1String(entry.name))
            continue;
        if (auto* text = std::get_if<QString OperationRequest::*>(&entry.member)) {
            request.*(*text) = value;
            return true;
        }
        if (auto* flag = std::get_if<bool OperationRequest::*>(&entry.member)) {
            if (parseBool(value, &(request.*(*flag))))
                return true;
            std::fprintf(stderr, "pelloric-run: %s takes 0/1 or false/true\n", entry.name);
            return false;
        }
        auto* index = std::get_if<std::uint32_t OperationRequest::*>(&entry.member);
        bool ok = false;
        const qulonglong number = value.toULongLong(&ok, 10);
        if (ok && number <= 0xFFFFFFFFull) {
            request.*(*index) = static_cast<std::uint32_t>(number);
            return true;
        }
        std::fprintf(stderr, "pelloric-run: %s takes a decimal number\n", entry.name);
        return false;
    }
    std::fprintf(stderr, "pelloric-run: unknown field '%s'\n", name.toUtf8().constData());
    return false;
}

int usage()
{
    std::fprintf(stderr, "usage: pelloric-run [--abort-after MS] ID field=value ...\n"
                         "       pelloric-run report infoSource=PATH\n"
                         "       pelloric-run list browseSource=W browseIndex=N [browsePath=/dir]\n"
                         "       pelloric-run mounts\n"
                         "       pelloric-run --help\n");
    return 2;
}

// One field's type and its start-up default, as --help shows them.
QString fieldDescription(const FieldEntry& entry, const OperationRequest& defaults)
{
    if (auto* text = std::get_if<QString OperationRequest::*>(&entry.member))
        return QStringLiteral("text   \"%1\"").arg(defaults.*(*text));
    if (auto* flag = std::get_if<bool OperationRequest::*>(&entry.member))
        return QStringLiteral("flag   %1").arg(defaults.*(*flag) ? 1 : 0);
    const auto index = std::get<std::uint32_t OperationRequest::*>(entry.member);
    return QStringLiteral("number %1").arg(defaults.*index);
}

int help()
{
    OperationRequest defaults;
    resetRequestDefaults(defaults);
    QString text = QStringLiteral(
        "usage: pelloric-run [--abort-after MS] ID field=value ...\n"
        "       pelloric-run report infoSource=PATH\n"
        "       pelloric-run list browseSource=W browseIndex=N [browsePath=/dir]\n"
        "       pelloric-run mounts\n"
        "\n"
        "Runs one operation of the program without a window and prints its log. Flags take\n"
        "0/1 or false/true, numbers are decimal, texts are taken as given; a field that is\n"
        "not set keeps its default. Exit code: 0 success, 1 failure, 2 unusable arguments.\n"
        "--abort-after MS presses Abort after MS milliseconds.\n");
    auto fieldLines = [&](unsigned bit) {
        for (const FieldEntry& entry : kFields) {
            if ((entry.readBy & bit) || (bit == 0 && entry.readBy == 0))
                text += QStringLiteral("    %1 %2\n")
                            .arg(QLatin1String(entry.name), -26)
                            .arg(fieldDescription(entry, defaults));
        }
    };
    for (const RunEntry& run : kRuns) {
        const QString verb = run.id ? QString::number(run.id) : QString::fromLatin1(run.verb);
        text += QStringLiteral("\n%1  %2\n").arg(verb, -6).arg(QLatin1String(run.what));
        if (run.bit != 0)
            fieldLines(run.bit);
    }
    text += QStringLiteral("\nFields no operation reads:\n");
    fieldLines(0);
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    return 0;
}

// `line`, then the reason: the text of the thread's last error.
void printError(UINT line)
{
    const DWORD code = GetLastError();
    std::fprintf(stderr, "%s\n", loadString(line).toUtf8().constData());
    std::fprintf(stderr, "%s\n",
                 formatMessage(Text::ErrorReason, {errorText(code)}).toUtf8().constData());
}

// Appends `text` as UTF-8 with control characters shown as '?', so a name cannot break a line
// or drive the terminal.
void appendPrintable(std::string& out, LPCWSTR text)
{
    const std::size_t start = out.size();
    // Most names are ASCII: copied as they are, without a converted copy of their own.
    const LPCWSTR end = text + wstrLength(text);
    if (std::all_of(text, end, [](WCHAR c) { return c < 0x80; }))
        out.append(text, end);
    else
        out += toUtf8(text);
    for (std::size_t i = start; i < out.size(); ++i)
        if (static_cast<unsigned char>(out[i]) < 0x20 || out[i] == 0x7F)
            out[i] = '?';
}

BOOL printEntry(std::string& out, const WIM_FIND_DATA& entry)
{
    // Entries share a few attribute values: their letters are made once each.
    static std::unordered_map<DWORD, std::string> letters;
    auto [known, added] = letters.try_emplace(entry.Attributes);
    if (added)
        known->second = attributeLetters(entry.Attributes).toStdString();
    appendPrintable(out, entry.Path);
    char size[24];
    const auto end = std::to_chars(size, size + sizeof size, entry.Size).ptr;
    out += '\t';
    out.append(size, end);
    out += '\t';
    out += known->second;
    out += '\n';
    if (out.size() > (1 << 16)) {
        std::fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
    }
    return TRUE;
}

// `list`: one line per entry below browsePath: path, size in bytes, attribute letters.
int listEntries(const OperationRequest& request)
{
    const QString path = fullPathOf(request.browseSource);
    DWORD created = 0;
    const UniqueWimHandle wim(
        WIMCreateFile(wide(path), GENERIC_READ, OPEN_EXISTING, 0, 0, &created));
    WIM_INFO info{};
    if (!wim.get()) {
        printError(Text::OpenWimFailed);
        return 1;
    }
    if (!WIMGetAttributes(wim.get(), &info, sizeof info)) {
        printError(Text::WimAttributesFailed);
        return 1;
    }
    if (request.browseIndex < 1 || info.ImageCount < request.browseIndex) {
        std::fprintf(stderr, "%s\n",
                     formatMessage(Text::IndexNotInWim, {std::int64_t{request.browseIndex}})
                         .toUtf8()
                         .constData());
        return 1;
    }
    SplitPartProblem problem;
    if (!referenceSplitParts(wim.get(), path, info, problem)) {
        OperationContext& context = globalContext();
        logSplitPartProblem(context, problem);
        std::fprintf(stderr, "%s", context.logText.toUtf8().constData());
        return 1;
    }
    const UniqueWimHandle image(WIMLoadImage(wim.get(), request.browseIndex));
    if (!image.get() || !WIMReadImageTree(image.get())) {
        printError(Text::LoadImageFailed);
        return 1;
    }
    std::string out;
    out.reserve(1 << 17);
    const QString where = request.browsePath.isEmpty() ? QStringLiteral("/") : request.browsePath;
    const BOOL listed =
        WIMEnumImageFiles(image.get(), wide(where), WIM_ENUM_RECURSIVE,
                          [&out](const WIM_FIND_DATA& entry) { return printEntry(out, entry); });
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (!listed) {
        const DWORD code = GetLastError();
        std::fflush(stdout);
        if (code == ERROR_PATH_NOT_FOUND)
            std::fprintf(stderr, "%s\n",
                         formatMessage(Text::ExtractNotInImage, {where}).toUtf8().constData());
        std::fprintf(stderr, "%s\n",
                     formatMessage(Text::ErrorReason, {errorText(code)}).toUtf8().constData());
        return 1;
    }
    return 0;
}

// `report`: the information report of infoSource on standard output.
int printReport(const OperationRequest& request)
{
    // The XML error box goes to standard error, as the operations' boxes do.
    bool opened = false;
    QString report = buildWimReport(
        request.infoSource,
        [] {
            ConsolePort().messageBox(loadString(Text::XmlParseFailed),
                                     loadString(Text::Information), MessageIcon::Error);
        },
        &opened);
    if (!report.endsWith(QLatin1Char('\n')))
        report += QLatin1Char('\n');
    const QByteArray text = report.toUtf8();
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
    return opened ? 0 : 1;
}

int runOperation(OperationContext& context, int id, long abortAfterMs)
{
    if (!selectOperation(id)) {
        std::fprintf(stderr, "pelloric-run: operation %d is not available\n", id);
        return 2;
    }
    ConsolePort port;
    if (!startOperation(context, id, &port)) {
        std::fprintf(stderr, "pelloric-run: the worker could not be started\n");
        return 1;
    }
    const std::shared_future<bool> result = context.operationResult;
    if (abortAfterMs >= 0 &&
        result.wait_for(std::chrono::milliseconds(abortAfterMs)) != std::future_status::ready)
        requestCloseOrAbort(context); // as the Abort button would
    const bool succeeded = result.get();
    joinWorker(context);
    requestCloseOrAbort(context); // the dialog closes
    return succeeded ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (const DWORD error = ImagingGlobalInit()) {
        std::fprintf(stderr, "pelloric-run: %s\n", qPrintable(errorText(error)));
        return 1;
    }
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.removeFirst();

    if (!args.isEmpty() &&
        (args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h")))
        return help();
    long abortAfterMs = -1;
    if (!args.isEmpty() && args.first() == QLatin1String("--abort-after")) {
        bool ok = false;
        if (args.size() < 2)
            return usage();
        abortAfterMs = args.at(1).toLong(&ok);
        if (!ok || abortAfterMs < 0)
            return usage();
        args = args.mid(2);
    }
    if (args.isEmpty())
        return usage();

    OperationContext& context = globalContext();
    resetRequestDefaults(context.request);
    const QString verb = args.takeFirst();
    for (const QString& argument : args)
        if (!setField(context.request, argument))
            return 2;

    if (verb == QLatin1String("report"))
        return printReport(context.request);
    if (verb == QLatin1String("list"))
        return listEntries(context.request);
    if (verb == QLatin1String("mounts")) {
        // One line per mounted image: R or R/W, mount folder, WIM file, index (tab separated).
        const auto lines = mountedImageLines();
        if (!lines) {
            const QString reason = formatMessage(Text::ErrorReason, {errorText(GetLastError())});
            std::fprintf(stderr, "%s\n", reason.toUtf8().constData());
            return 1;
        }
        for (const QString& line : *lines)
            std::printf("%s\n", line.toUtf8().constData());
        return 0;
    }
    bool ok = false;
    const int id = verb.toInt(&ok, 10);
    if (!ok)
        return usage();
    return runOperation(context, id, abortAfterMs);
}
