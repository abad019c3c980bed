// pelloric-render [--font-scale F] [--language zh_CN|en] OUTDIR: draws every page inside the
// main window, the main window itself, the progress dialog in the middle of a run, the image
// chooser, a file picker and the XML error box to PNG files, without a display. Each
// language goes into its own folder (OUTDIR/zh_CN, OUTDIR/en); both unless one is named.
// --font-scale draws with the interface font that many times larger, as with a larger system
// font; QT_SCALE_FACTOR scales the whole interface as on a high-resolution screen.
#include "app/AppSetup.h"
#include "app/ImageChooser.h"
#include "app/MainWindow.h"
#include "app/Page.h"
#include "app/ProgressDialog.h"
#include "ops/Text.h"
#include "ops/WimReport.h"
#include "ops/Worker.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<bool> gReleaseDemo{false};

// A stand-in operation that looks like a capture half-way through and waits to be released.
bool demoOperation(OperationContext& context)
{
    logMessage(context, Text::ScanningFiles);
    for (int i = 1; i <= 40; ++i)
        logMessage(context, Text::ExcludingPath,
                   {QStringLiteral("/srv/images/source/Windows/Temp/file%1.tmp").arg(i)});
    logMessage(context, Text::CaptureStarting, {std::int64_t(1250), std::int64_t(18342)});
    showPercentage(context, 37);
    setDialogItemText(context, IDC_STATUS,
                      formatMessage(Text::ElapsedAndRemaining,
                                    {elapsedTimeText(125000), elapsedTimeText(212000)}));
    setDialogItemText(
        context, IDC_COUNT,
        formatMessage(Text::FileCountProgress, {std::int64_t(6786), std::int64_t(18342)}));
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

// Runs open(), which shows a modal dialog; once the dialog has been up for settleMs, draws it
// to path and closes it. False when no dialog appeared within 5 s.
bool saveModal(const QString& path, const std::function<void()>& open, int settleMs = 300)
{
    bool ok = false;
    QElapsedTimer elapsed;
    elapsed.start();
    QElapsedTimer shown;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!modal) {
            if (elapsed.elapsed() > 5000)
                poll.stop();
            return;
        }
        if (!shown.isValid())
            shown.start();
        if (shown.elapsed() < settleMs)
            return;
        poll.stop();
        ok = save(modal, path);
        modal->done(QDialog::Rejected);
    });
    poll.start();
    open();
    if (!ok)
        std::printf("FAILED %s (no dialog)\n", qPrintable(path));
    return ok;
}

// The browse page with the demo image read and its first folder opened.
void showDemoTree(MainWindow& window)
{
    auto* tree = window.currentPage()->control<QTreeView>(IDC_BROWSE_TREE);
    if (!tree)
        return;
    QAbstractItemModel* model = tree->model();
    waitFor([&] { return model->rowCount() > 0; });
    const QModelIndex first = model->index(model->rowCount() - 1, 0); // "Windows"
    tree->expand(first);
    waitFor([&] { return model->rowCount(first) > 0; });
    tree->selectionModel()->select(model->index(0, 0, first),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QApplication::processEvents();
}

// A small WIM for the browse page's picture: a few folders and files, captured through the
// imaging layer.
QString makeDemoWim(const QDir& folder)
{
    const QDir tree(folder.filePath(QStringLiteral("tree")));
    for (const char* dir :
         {"Windows/System32/drivers/etc", "Users/Public/Documents", "Program Files"})
        tree.mkpath(QString::fromLatin1(dir));
    for (const char* file : {"Windows/win.ini", "Windows/System32/drivers/etc/hosts",
                             "Users/Public/Documents/readme.txt", "bootmgr"}) {
        QFile f(tree.filePath(QString::fromLatin1(file)));
        if (f.open(QIODevice::WriteOnly))
            f.write(QByteArray(1234, 'x'));
    }
    QString wim = folder.filePath(QStringLiteral("demo.wim"));
    DWORD created = 0;
    if (HANDLE h = WIMCreateFile(wide(wim), WIM_GENERIC_WRITE, WIM_CREATE_ALWAYS, 0,
                                 WIM_COMPRESS_XPRESS, &created)) {
        if (HANDLE image = WIMCaptureImage(h, wide(tree.path()), 0))
            WIMCloseHandle(image);
        WIMCloseHandle(h);
    }
    return wim;
}

// The report of a small WIM made with wimlib-imagex (when installed), so the information page
// shows how its columns line up.
QString sampleReport()
{
    QTemporaryDir dir;
    const QDir root(dir.path());
    root.mkpath(QStringLiteral("tree/sub"));
    QFile file(root.filePath(QStringLiteral("tree/sub/a.txt")));
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("sample");
    file.close();
    const QString wim = root.filePath(QStringLiteral("sample.wim"));
    QProcess capture;
    capture.start(QStringLiteral("wimlib-imagex"),
                  {QStringLiteral("capture"), root.filePath(QStringLiteral("tree")), wim,
                   QStringLiteral("Windows 10 Pro"), QStringLiteral("Sample image"),
                   QStringLiteral("--boot"), QStringLiteral("--flags=Professional")});
    if (!capture.waitForFinished(30000) || capture.exitCode() != 0)
        return QString();
    return buildWimReport(wim);
}

// The progress dialog in the middle of a capture.
bool renderProgressDialog(const QDir& out, OperationContext& context, QWidget* owner)
{
    bool ok = true;
    overrideOperation(ID_CAPTURE, demoOperation);
    gReleaseDemo = false;
    {
        ProgressDialog dialog(ID_CAPTURE, owner, context);
        dialog.show();
        waitFor([&] { return dialog.findChild<QPlainTextEdit*>()->blockCount() >= 43; });
        QApplication::processEvents();
        ok &= save(&dialog, out.filePath(QStringLiteral("progress-dialog.png")));
        gReleaseDemo = true;
        waitFor([&] { return !context.running.load(); });
        dialog.reject();
    }
    overrideOperation(ID_CAPTURE, {});
    joinWorker(context);
    return ok;
}

bool renderSet(const QDir& out, OperationContext& context)
{
    bool ok = true;
    resetRequestDefaults(context.request);
    QTemporaryDir demo;
    context.request.browseSource = makeDemoWim(QDir(demo.path()));
    context.request.infoText = sampleReport();
    MainWindow window(context);
    window.show();
    static const char* names[PAGE_COUNT] = {"capture", "apply",    "info",   "modify",
                                            "mount",   "delete",   "export", "browse",
                                            "split",   "maintain", "about"};
    for (int i = 0; i < PAGE_COUNT; ++i) {
        window.tabControl()->setCurrentIndex(i);
        QApplication::processEvents();
        if (i == PAGE_BROWSE)
            showDemoTree(window);
        ok &= save(&window, out.filePath(QStringLiteral("page-%1-%2.png").arg(i).arg(names[i])));
    }
    window.tabControl()->setCurrentIndex(PAGE_CAPTURE);
    QApplication::processEvents();
    ok &= save(&window, out.filePath(QStringLiteral("main-window.png")));

    ok &= renderProgressDialog(out, context, &window);

    {
        const std::vector<ChooserRow> rows = {
            {QStringLiteral("1"), QStringLiteral("Windows 10 Pro"),
             QStringLiteral("Windows 10 Pro")},
            {QStringLiteral("2"), QStringLiteral("Windows 10 Enterprise"),
             loadString(Text::NotAvailable)},
        };
        context.request.chooserIndex = 1;
        ImageChooserDialog chooser(&window, context.request, rows);
        chooser.show();
        QApplication::processEvents();
        ok &= save(&chooser, out.filePath(QStringLiteral("image-chooser.png")));
    }

    // The open picker on a folder with a WIM file and a subfolder, from the information page.
    QTemporaryDir folder;
    QDir(folder.path()).mkdir(QStringLiteral("sources"));
    QFile wim(QDir(folder.path()).filePath(QStringLiteral("install.wim")));
    if (wim.open(QIODevice::WriteOnly)) {
        wim.write(QByteArray(15000, 'W'));
        wim.close();
    }
    window.tabControl()->setCurrentIndex(PAGE_INFO);
    QApplication::processEvents();
    window.currentPage()->control<QLineEdit>(IDC_INFO_SOURCE)->setText(wim.fileName());
    ok &= saveModal(
        out.filePath(QStringLiteral("picker-open.png")),
        [&] { window.currentPage()->runPageCommand(IDC_INFO_BROWSE_SOURCE); }, 600);
    ok &= saveModal(out.filePath(QStringLiteral("xml-error-box.png")),
                    [&] { showXmlErrorMessage(&window); });
    return ok;
}

int usage()
{
    std::fprintf(stderr, "usage: pelloric-render [--font-scale F] [--language zh_CN|en] OUTDIR\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    double fontScale = 1.0;
    QStringList languages = {QStringLiteral("zh_CN"), QStringLiteral("en")};
    const char* outDir = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--font-scale") == 0 && i + 1 < argc) {
            bool ok = false;
            fontScale = QString::fromLocal8Bit(argv[++i]).toDouble(&ok);
            if (!ok || fontScale <= 0.2 || fontScale > 5)
                return usage();
        } else if (std::strcmp(argv[i], "--language") == 0 && i + 1 < argc) {
            languages = {QString::fromLocal8Bit(argv[++i])};
            if (languages.first() != QLatin1String("zh_CN") &&
                languages.first() != QLatin1String("en"))
                return usage();
        } else if (!outDir && argv[i][0] != '-') {
            outDir = argv[i];
        } else {
            return usage();
        }
    }
    if (!outDir)
        return usage();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (const DWORD error = ImagingGlobalInit()) {
        std::fprintf(stderr, "pelloric-render: %s\n", qPrintable(errorText(error)));
        return 1;
    }
    QApplication app(argc, argv);
    setUpApplication();
    if (fontScale != 1.0) {
        QFont font = QApplication::font();
        font.setPointSizeF(font.pointSizeF() * fontScale);
        QApplication::setFont(font);
    }

    OperationContext& context = globalContext();
    bool ok = true;
    for (const QString& language : languages) {
        const QDir out(QDir(QString::fromLocal8Bit(outDir)).filePath(language));
        if (!QDir().mkpath(out.path())) {
            std::fprintf(stderr, "cannot create %s\n", qPrintable(out.path()));
            return 1;
        }
        SetProcessUILanguage(language == QLatin1String("en") ? LANGID_ENGLISH_US
                                                             : LANGID_CHINESE_SIMPLIFIED);
        installTranslations();
        ok &= renderSet(out, context);
    }
    joinWorker(context);
    return ok ? 0 : 1;
}
