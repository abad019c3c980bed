// pelloric-run: runs one of the program's operations without a window, for tests,
// benchmarks and scripts.
//
//   pelloric-run [--abort-after MS] ID field=value ...   run the operation of button ID
//   pelloric-run report infoSource=PATH                   print the information report
//   pelloric-run mounts                                   print the mounted WIM images
//
// Fields are those of the operation request; flags take 0/1 or false/true, indexes are
// decimal, texts are taken as given. Log lines go to standard output as they are appended;
// a message box prints its text to standard error and counts as answered. Exit code: 0 when
// the operation succeeded, 1 when it failed, 2 for unusable arguments.
#include "ops/Context.h"
#include "ops/MountOps.h"
#include "ops/Text.h"
#include "ops/WimReport.h"
#include "ops/Worker.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"

#include <QCoreApplication>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <variant>

namespace {

using Field = std::variant<QString OperationRequest::*, bool OperationRequest::*,
                           std::uint32_t OperationRequest::*>;

struct FieldEntry {
    const char* name;
    Field member;
};

#define PELLORIC_FIELD(name) {#name, &OperationRequest::name}
const FieldEntry kFields[] = {
    PELLORIC_FIELD(captureSource), PELLORIC_FIELD(captureTarget),
    PELLORIC_FIELD(captureTempFolder), PELLORIC_FIELD(captureName),
    PELLORIC_FIELD(captureDescription), PELLORIC_FIELD(captureDisplayName),
    PELLORIC_FIELD(captureDisplayDescription), PELLORIC_FIELD(captureCompression),
    PELLORIC_FIELD(captureBootable), PELLORIC_FIELD(captureVerify),
    PELLORIC_FIELD(captureCheck), PELLORIC_FIELD(captureNoRpFix),
    PELLORIC_FIELD(captureConfigFile), PELLORIC_FIELD(captureFlags),
    PELLORIC_FIELD(captureShowConfig), PELLORIC_FIELD(applySource),
    PELLORIC_FIELD(applyTarget), PELLORIC_FIELD(applyIndex),
    PELLORIC_FIELD(applyVerify), PELLORIC_FIELD(applyCheck),
    PELLORIC_FIELD(infoSource), PELLORIC_FIELD(infoText),
    PELLORIC_FIELD(modifySource), PELLORIC_FIELD(modifyIndex),
    PELLORIC_FIELD(modifyName), PELLORIC_FIELD(modifyDescription),
    PELLORIC_FIELD(modifyDisplayName), PELLORIC_FIELD(modifyDisplayDescription),
    PELLORIC_FIELD(modifyFlags), PELLORIC_FIELD(modifyBootable),
    PELLORIC_FIELD(modifyCheck), PELLORIC_FIELD(mountSource),
    PELLORIC_FIELD(mountPath), PELLORIC_FIELD(mountIndex),
    PELLORIC_FIELD(mountReadWrite), PELLORIC_FIELD(unmountCommit),
    PELLORIC_FIELD(deleteSource), PELLORIC_FIELD(deleteIndex),
    PELLORIC_FIELD(deleteCheck), PELLORIC_FIELD(exportSource),
    PELLORIC_FIELD(exportTarget), PELLORIC_FIELD(exportIndex),
    PELLORIC_FIELD(exportName), PELLORIC_FIELD(exportCompression),
    PELLORIC_FIELD(exportBootable), PELLORIC_FIELD(exportCheck),
    PELLORIC_FIELD(chooserWimPath), PELLORIC_FIELD(chooserIndex),
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
    if (value == QLatin1String("1") || value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
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
                         "       pelloric-run mounts\n");
    return 2;
}

int runOperation(OperationContext& context, int id, long abortAfterMs)
{
    OperationFn operation = selectOperation(id);
    if (!operation) {
        std::fprintf(stderr, "pelloric-run: operation %d is not available\n", id);
        return 2;
    }
    std::atomic<bool> succeeded{false};
    overrideOperation(id, [&succeeded, operation](OperationContext& ctx) {
        const bool ok = operation(ctx);
        succeeded = ok;
        return ok;
    });
    ConsolePort port;
    const bool started = startOperation(context, id, &port);
    overrideOperation(id, {});
    if (!started) {
        std::fprintf(stderr, "pelloric-run: the worker could not be started\n");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    bool abortSent = false;
    while (context.running) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (abortAfterMs >= 0 && !abortSent &&
            std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(abortAfterMs)) {
            requestCloseOrAbort(context); // as the Abort button would
            abortSent = true;
        }
    }
    joinWorker(context);
    requestCloseOrAbort(context); // the dialog closes
    return succeeded ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    ImagingGlobalInit();
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.removeFirst();

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

    if (verb == QLatin1String("report")) {
        const QByteArray text = buildWimReport(context.request.infoSource).toUtf8();
        std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
        return 0;
    }
    if (verb == QLatin1String("mounts")) {
        // One line per mounted image: R or R/W, mount folder, WIM file, index (tab separated).
        const auto lines = mountedImageLines();
        if (!lines) {
            const QString reason = formatMessage(201, {errorText(GetLastError())});
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
