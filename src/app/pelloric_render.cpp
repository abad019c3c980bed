// pelloric-render OUTDIR: draws every page inside the main window, the main window itself
// and the progress dialog in the middle of a run to PNG files, without a display.
#include "app/AppSetup.h"
#include "app/MainWindow.h"
#include "app/ProgressDialog.h"
#include "ops/Text.h"
#include "ops/Worker.h"
#include "platform/Imaging.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTimer>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<bool> gReleaseDemo{false};

// A stand-in operation that looks like a capture half-way through and waits to be released.
bool demoOperation(OperationContext& context)
{
    logMessage(context, 211);
    for (int i = 1; i <= 40; ++i)
        logMessage(context, 212,
                   {QStringLiteral("/srv/images/source/Windows/Temp/file%1.tmp").arg(i)});
    logMessage(context, 207, {std::int64_t(1250), std::int64_t(18342)});
    showPercentage(context, 37);
    setDialogItemText(context, IDC_STATUS,
                      formatMessage(210, {elapsedTimeText(125000), elapsedTimeText(212000)}));
    setDialogItemText(context, IDC_COUNT,
                      formatMessage(208, {std::int64_t(6786), std::int64_t(18342)}));
    while (!gReleaseDemo.load() && !context.abortRequested.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return true;
}

bool save(QWidget* widget, const QString& path)
{
    const bool ok = widget->grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

void waitFor(const std::function<bool()>& done, int ms = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: pelloric-render OUTDIR\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ImagingGlobalInit();
    QApplication app(argc, argv);
    setUpApplication();
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.exists() && !QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    OperationContext& context = globalContext();
    resetRequestDefaults(context.request);
    bool ok = true;
    {
        MainWindow window(context);
        window.show();
        static const char* names[] = {"capture", "apply",  "info",   "modify",
                                      "mount",   "delete", "export", "about"};
        for (int i = 0; i < 8; ++i) {
            window.tabControl()->setCurrentIndex(i);
            QApplication::processEvents();
            ok &=
                save(&window, out.filePath(QStringLiteral("page-%1-%2.png").arg(i).arg(names[i])));
        }
        window.tabControl()->setCurrentIndex(0);
        QApplication::processEvents();
        ok &= save(&window, out.filePath(QStringLiteral("main-window.png")));

        overrideOperation(ID_CAPTURE, demoOperation);
        ProgressDialog dialog(ID_CAPTURE, &window, context);
        dialog.show();
        waitFor([&] { return dialog.findChild<QPlainTextEdit*>()->blockCount() >= 43; });
        QApplication::processEvents();
        ok &= save(&dialog, out.filePath(QStringLiteral("progress-dialog.png")));
        gReleaseDemo = true;
        waitFor([&] { return !context.running.load(); });
        dialog.reject();
        overrideOperation(ID_CAPTURE, {});
    }
    joinWorker(context);
    return ok ? 0 : 1;
}
