// The information page builds its report off the window's thread: the page answers while a
// report is built, a newer request supersedes an older one, the report is shown when it is
// ready (also after the user went to another page), the XML error boxes come before it, and
// on a WIM of 10 images of 100,000 files no call on the window's thread takes 100 ms. The
// image chooser reads that file within the same bound. And the report's tab stops.
#include "UiDriver.h"

#include "app/AppSetup.h"
#include "app/ControlIds.h"
#include "app/ImageChooser.h"
#include "app/ProgressDialog.h"
#include "app/ReportRunner.h"
#include "ops/Text.h"
#include "ops/WimReport.h"
#include "platform/Kernel.h"
#include "support/WimFixtures.h"

#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>

using namespace uitest;

namespace {

// A report builder that holds each request until the test releases its path, and notes the
// thread it ran on. Shared with the builder, which may still run when a test has ended.
struct HeldBuilder : std::enable_shared_from_this<HeldBuilder> {
    std::mutex mutex;
    std::map<QString, bool> released;
    std::atomic<int> started{0};
    std::atomic<bool> ranOnWindowThread{false};
    std::atomic<int> xmlErrors{0};

    ReportRunner::Builder fn(std::thread::id windowThread)
    {
        return [self = shared_from_this(), windowThread](const QString& path, int* errors) {
            ++self->started;
            if (std::this_thread::get_id() == windowThread)
                self->ranOnWindowThread = true;
            for (;;) {
                {
                    std::lock_guard lock(self->mutex);
                    if (self->released[path])
                        break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            *errors = self->xmlErrors.load();
            return QStringLiteral("报告 of ") + path;
        };
    }
    void release(const QString& path)
    {
        std::lock_guard lock(mutex);
        released[path] = true;
    }
};

class InfoReportTest : public MainWindowFixture {
protected:
    void TearDown() override
    {
        ReportRunner::setBuilder({});
        MainWindowFixture::TearDown();
    }
    QPlainTextEdit* box() { return ctl<QPlainTextEdit>(IDC_INFO_REPORT); }
    // The box while the file is being opened.
    bool showsOpening()
    {
        return box()->toPlainText() ==
               QString(loadString(Text::OpeningWim)).replace(u"\r\n"_qs, u"\n"_qs);
    }
    // Asks for the report of path and returns how long the click took.
    qint64 ask(const QString& path)
    {
        retype(ctl<QLineEdit>(IDC_INFO_SOURCE), path);
        QElapsedTimer timer;
        timer.start();
        click(IDC_INFO_RUN);
        return timer.elapsed();
    }
};

// CPU time of the calling thread in ms: what a call on the window's thread costs, whatever
// else the machine runs.
double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

// The longest stretch of the window thread's CPU time between two turns of its event loop,
// while it runs: a timer that fires as often as it can notes it.
class LoopWatch {
public:
    LoopWatch()
    {
        last_ = threadCpuMs();
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const double now = threadCpuMs();
            longest_ = std::max(longest_, now - last_);
            last_ = now;
        });
        timer_.start();
    }
    double longest() const { return longest_; }
    // Counts a stretch that ends with the current call.
    void note()
    {
        const double now = threadCpuMs();
        longest_ = std::max(longest_, now - last_);
        last_ = now;
    }

private:
    QTimer timer_;
    double last_ = 0;
    double longest_ = 0;
};

} // namespace

TEST_F(InfoReportTest, PageAnswersWhileTheReportIsBuiltAndShowsItWhenReady)
{
    auto shared = std::make_shared<HeldBuilder>();
    HeldBuilder& held = *shared;
    ReportRunner::setBuilder(held.fn(std::this_thread::get_id()));
    selectTab(PAGE_INFO);
    EXPECT_LT(ask(u"/srv/慢.wim"_qs), 100);
    ASSERT_TRUE(waitUntil([&] { return held.started.load() == 1; }));
    EXPECT_FALSE(held.ranOnWindowThread.load());
    // The box says the file is being opened, and the window goes on: other pages, typing.
    EXPECT_TRUE(showsOpening()) << box()->toPlainText().toStdString();
    selectTab(PAGE_CAPTURE);
    retype(ctl<QLineEdit>(IDC_CAPTURE_NAME), u"照常"_qs);
    EXPECT_EQ(ctl<QLineEdit>(IDC_CAPTURE_NAME)->text(), u"照常"_qs);

    // Ready while another page is shown: kept for the information page.
    held.release(u"/srv/慢.wim"_qs);
    ASSERT_TRUE(waitUntil([&] { return !window->reportRunner()->busy(); }));
    selectTab(PAGE_INFO);
    EXPECT_EQ(box()->toPlainText(), u"报告 of /srv/慢.wim"_qs);

    // Ready while it is shown: in the box at once.
    held.xmlErrors = 1;
    int boxes = 0;
    QString reportWhileBox;
    whenModal<QMessageBox>("XML error box", [&](QMessageBox* m) {
        ++boxes;
        reportWhileBox = box()->toPlainText();
        m->accept();
    });
    ask(u"/srv/坏.wim"_qs);
    held.release(u"/srv/坏.wim"_qs);
    ASSERT_TRUE(waitUntil([&] { return box()->toPlainText() == u"报告 of /srv/坏.wim"_qs; }));
    // The error box came first, over the page still saying the file was being opened.
    EXPECT_EQ(boxes, 1);
    EXPECT_TRUE(reportWhileBox.startsWith(loadString(Text::OpeningWim).trimmed()));
}

TEST_F(InfoReportTest, NewerRequestSupersedesOlderOnes)
{
    auto shared = std::make_shared<HeldBuilder>();
    HeldBuilder& held = *shared;
    ReportRunner::setBuilder(held.fn(std::this_thread::get_id()));
    selectTab(PAGE_INFO);
    ask(u"/srv/旧.wim"_qs);
    ASSERT_TRUE(waitUntil([&] { return held.started.load() == 1; }));
    // Two more while the first is built: the middle one is never built, the last one wins.
    ask(u"/srv/中.wim"_qs);
    ask(u"/srv/新.wim"_qs);
    held.release(u"/srv/旧.wim"_qs);
    held.release(u"/srv/中.wim"_qs);
    ASSERT_TRUE(waitUntil([&] { return held.started.load() == 2; }));
    QTest::qWait(50);
    EXPECT_TRUE(showsOpening()) << "an older request's report was shown: "
                                << box()->toPlainText().toStdString();
    held.release(u"/srv/新.wim"_qs);
    ASSERT_TRUE(waitUntil([&] { return !window->reportRunner()->busy(); }));
    EXPECT_EQ(box()->toPlainText(), u"报告 of /srv/新.wim"_qs);
    EXPECT_EQ(held.started.load(), 2);

    // A file dropped on the source field (or chosen in its picker) empties the box, and a
    // report still being built for the previous file does not come back into it.
    held.release(u"/srv/后.wim"_qs);
    ask(u"/srv/后.wim"_qs);
    window->cancelReport();
    box()->clear();
    QTest::qWait(100);
    EXPECT_TRUE(box()->toPlainText().isEmpty());
}

// The real report of a WIM of 10 images of 100,000 files each: no call on the window's thread
// takes 100 ms of its CPU time while the report is built and shown, and the chooser reads the
// file within that bound too.
TEST_F(InfoReportTest, TenImagesOf100000FilesNeverHoldTheWindow)
{
    // In memory where the machine has a tmpfs: 100,000 files are made in a second there.
    const QString base = QFileInfo(u"/dev/shm"_qs).isWritable() ? u"/dev/shm"_qs : QDir::tempPath();
    QTemporaryDir dir(base + u"/pelloric-big-XXXXXX"_qs);
    ASSERT_TRUE(dir.isValid());
    const QString tree = dir.filePath(u"tree"_qs);
    ASSERT_TRUE(QDir().mkpath(tree));
    for (int folder = 0; folder < 100; ++folder) {
        const QByteArray base = QFile::encodeName(tree) + "/d" + QByteArray::number(folder);
        ASSERT_EQ(::mkdir(base.constData(), 0755), 0);
        for (int file = 0; file < 1000; ++file) {
            const QByteArray path = base + "/f" + QByteArray::number(file);
            const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            ASSERT_GE(fd, 0);
            ::close(fd);
        }
    }
    // One capture, exported ten times: ten images of 100,000 files that share no data.
    const QString one = dir.filePath(u"一.wim"_qs);
    wimfix::WimRecipe recipe;
    recipe.compression = 0;
    recipe.images.push_back({tree, u"一"_qs});
    QString error;
    ASSERT_TRUE(wimfix::makeWim(one, recipe, &error)) << error.toStdString();
    const QString wim = dir.filePath(u"大.wim"_qs);
    for (int i = 1; i <= 10; ++i) {
        QProcess exportImage;
        exportImage.start(u"wimlib-imagex"_qs,
                          {u"export"_qs, one, u"1"_qs, wim, QStringLiteral("映像 %1").arg(i)});
        ASSERT_TRUE(exportImage.waitForFinished(30000) && exportImage.exitCode() == 0)
            << exportImage.readAllStandardError().toStdString();
    }

    selectTab(PAGE_INFO);
    retype(ctl<QLineEdit>(IDC_INFO_SOURCE), wim);
    LoopWatch watch;
    click(IDC_INFO_RUN);
    watch.note();
    ASSERT_TRUE(waitUntil([&] { return !window->reportRunner()->busy(); }, 50000));
    QApplication::processEvents();
    watch.note();
    const QString report = box()->toPlainText();
    EXPECT_TRUE(report.contains(u"映像 10"_qs)) << report.left(400).toStdString();
    EXPECT_TRUE(
        report.contains(formatMessage(Text::ReportFileCount, {std::int64_t{100000}}).trimmed()));
    EXPECT_LT(watch.longest(), 100.0)
        << "a call on the window's thread took " << watch.longest() << " ms";

    // The chooser's read of the file, on the window's thread.
    std::vector<ChooserRow> rows;
    const double before = threadCpuMs();
    EXPECT_EQ(readChooserRows(wim, rows), ChooserLoad::Loaded);
    const double chooserMs = threadCpuMs() - before;
    EXPECT_EQ(rows.size(), 10u);
    EXPECT_LT(chooserMs, 100.0) << "the chooser read the file in " << chooserMs << " ms";
}

// The report box and the progress log put their tab stops every 32 dialog units of their font,
// as the edit controls do: the values after tabs start on those stops, in both languages.
TEST_F(InfoReportTest, TabStopsEvery32DialogUnits)
{
    for (LANGID language : {LANGID_CHINESE_SIMPLIFIED, LANGID_ENGLISH_US}) {
        SetProcessUILanguage(language);
        installTranslations();
        window = std::make_unique<MainWindow>(globalContext());
        window->show();
        selectTab(PAGE_INFO);
        ProgressDialog progress(ID_CAPTURE, nullptr);
        for (QPlainTextEdit* edit : {box(), progress.findChild<QPlainTextEdit*>(u"c1012"_qs)}) {
            const double stop = 32 * dialogBaseUnits(edit->font()).x / 4.0;
            EXPECT_DOUBLE_EQ(edit->tabStopDistance(), stop);
            // Each value lands on a stop: GUID and the name after two tabs, the rest after one.
            edit->setPlainText(formatMessage(Text::ReportImageCount, {std::int64_t{3}}) +
                               u"GUID:\t\t{X}\r\n"_qs +
                               formatMessage(Text::ReportName, {u"Win"_qs}) +
                               formatMessage(Text::ReportDescription, {u"D"_qs}));
            edit->show();
            QApplication::processEvents();
            const int left = edit->cursorRect(QTextCursor(edit->document())).left();
            for (int block = 0; block < 4; ++block) {
                QTextCursor at(edit->document()->findBlockByNumber(block));
                const QString line = at.block().text();
                at.setPosition(at.block().position() + line.lastIndexOf(u'\t') + 1);
                const double x = edit->cursorRect(at).left() - left;
                EXPECT_NEAR(std::fmod(x + 1, stop), 1, 1.5)
                    << line.toStdString() << ": value at " << x << " px, stops every " << stop;
            }
        }
        window.reset();
    }
    SetProcessUILanguage(0);
    installTranslations();
}
