// What the desktop is told about an operation: on a real session bus, which the test starts
// with dbus-run-session and watches with dbus-monitor, the taskbar entry's progress
// (com.canonical.Unity.LauncherEntry) and, for a long operation that ends while the window is
// not active, a notification of how it ended with the WIM's name
// (org.freedesktop.Notifications); without a session bus, nothing and no word about it.
#include "UiDriver.h"

#include "app/Notifications.h"
#include "app/ProgressDialog.h"
#include "ops/Text.h"
#include "ops/Worker.h"

#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace uitest;

namespace {

// One message dbus-monitor printed: its first line and its argument lines.
struct BusMessage {
    QString header;
    QStringList arguments;
    bool is(const char* member) const
    {
        return header.contains(QStringLiteral("member=") + QLatin1String(member));
    }
    // The string and number values among the arguments, in order.
    QStringList values() const
    {
        static const QRegularExpression value(
            QStringLiteral("^\\s*(?:variant\\s+)?(?:string \"(.*)\"|double (\\S+)|boolean (\\S+)|"
                           "uint32 (\\S+))$"));
        QStringList out;
        for (const QString& line : arguments) {
            const QRegularExpressionMatch m = value.match(line);
            if (!m.hasMatch())
                continue;
            for (int i = 1; i <= 4; ++i) {
                if (m.capturedStart(i) >= 0)
                    out << m.captured(i);
            }
        }
        return out;
    }
};

// dbus-monitor on the session bus, for the two interfaces the program talks to.
class BusWatch {
public:
    bool start()
    {
        monitor_.setProcessChannelMode(QProcess::MergedChannels);
        monitor_.start(QStringLiteral("dbus-monitor"),
                       {QStringLiteral("--session"),
                        QStringLiteral("interface='com.canonical.Unity.LauncherEntry'"),
                        QStringLiteral("interface='org.freedesktop.Notifications'")});
        // It says it has become a monitor (the bus's NameLost/NameAcquired) before it watches.
        return monitor_.waitForStarted(10000) &&
               waitUntil([&] { return readMore(), !text_.isEmpty(); }, 10000);
    }
    ~BusWatch()
    {
        monitor_.kill();
        monitor_.waitForFinished(5000);
    }
    // The messages seen so far.
    std::vector<BusMessage> messages()
    {
        readMore();
        std::vector<BusMessage> out;
        for (const QString& line : text_.split(u'\n')) {
            if (line.startsWith(QLatin1String("signal ")) ||
                line.startsWith(QLatin1String("method call ")))
                out.push_back({line, {}});
            else if (!out.empty() && line.startsWith(u' '))
                out.back().arguments << line;
            else if (!line.isEmpty())
                out.push_back({line, {}}); // anything else ends the message before it
        }
        return out;
    }
    std::vector<BusMessage> notifications()
    {
        std::vector<BusMessage> out;
        for (const BusMessage& m : messages()) {
            if (m.is("Notify"))
                out.push_back(m);
        }
        return out;
    }
    std::vector<BusMessage> updates()
    {
        std::vector<BusMessage> out;
        for (const BusMessage& m : messages()) {
            if (m.is("Update"))
                out.push_back(m);
        }
        return out;
    }

private:
    void readMore() { text_ += QString::fromUtf8(monitor_.readAll()); }
    QProcess monitor_;
    QString text_;
};

bool inChild(const char* name)
{
    return !qEnvironmentVariableIsEmpty(name);
}

// Runs operation `id` (an override of it) in the progress dialog over owner and closes the
// dialog once it has ended. `duringRun` runs while the operation is held (for an abort, or to
// make another window active).
OperationEnd runInDialog(QWidget* owner, int id, OperationFn fn,
                         const std::function<void(ProgressDialog*)>& duringRun = {})
{
    overrideOperation(id, std::move(fn));
    ProgressDialog dialog(id, owner);
    dialog.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    if (duringRun)
        duringRun(&dialog);
    EXPECT_TRUE(waitUntil([&] { return dialog.endState().has_value(); }, kLongestWait));
    const OperationEnd end = dialog.endState().value_or(OperationEnd::Failed);
    dialog.reject();
    overrideOperation(id, {});
    joinWorker(globalContext());
    return end;
}

// An operation that logs, moves the bar to 37 and 80, takes ms and then ends with `result`
// (or stops on the abort request).
OperationFn loggingOperation(int ms, bool result, std::atomic<bool>* entered = nullptr)
{
    return [=](OperationContext& ctx) {
        if (entered)
            *entered = true;
        appendLogLine(ctx, u"开始"_qs);
        showPercentage(ctx, 37);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until && !ctx.abortRequested.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (ctx.abortRequested.load())
            return false;
        showPercentage(ctx, 80);
        appendLogLine(ctx, result ? u"WIM 操作成功."_qs : u"错误: 打开 WIM 文件失败."_qs);
        appendLogLine(ctx, QString());
        return result;
    };
}

class SessionBus : public MainWindowFixture {
protected:
    void SetUp() override
    {
        if (!inChild("PELLORIC_SESSION_BUS"))
            GTEST_SKIP() << "runs inside dbus-run-session, started by Notifications.*";
        MainWindowFixture::SetUp();
        globalContext().request.captureTarget = u"/srv/镜像/目标.wim"_qs;
        globalContext().request.applySource = u"/srv/镜像/来源.wim"_qs;
        ASSERT_TRUE(watch.start()) << "dbus-monitor did not start";
    }
    void TearDown() override
    {
        OperationNotices::setMinimumDuration(10000);
        MainWindowFixture::TearDown();
    }
    // Another program's window takes the focus: the program's windows are not active.
    void activateAnotherWindow()
    {
        other.show();
        other.activateWindow();
        ASSERT_TRUE(waitUntil([&] { return QApplication::activeWindow() == &other; }));
    }

    BusWatch watch;
    QWidget other;
};

class NoSessionBus : public MainWindowFixture {};

} // namespace

// An operation of the minimum duration or more that ends while another window is active is
// announced with how it ended and the WIM's name; the log's last line is the body.
TEST_F(SessionBus, LongOperationsThatEndInTheBackgroundAreAnnounced)
{
    EXPECT_EQ(OperationNotices::minimumDuration(), 10000);
    OperationNotices::setMinimumDuration(150);
    auto inBackground = [&](ProgressDialog*) { activateAnotherWindow(); };

    EXPECT_EQ(runInDialog(window.get(), ID_CAPTURE, loggingOperation(300, true), inBackground),
              OperationEnd::Finished);
    EXPECT_EQ(runInDialog(window.get(), ID_APPLY, loggingOperation(300, false), inBackground),
              OperationEnd::Failed);
    std::atomic<bool> entered{false};
    EXPECT_EQ(runInDialog(window.get(), ID_APPLY, loggingOperation(20000, true, &entered),
                          [&](ProgressDialog* d) {
                              activateAnotherWindow();
                              ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
                              QTest::qWait(200);
                              d->findChild<QPushButton*>(u"c2"_qs)->click();
                          }),
              OperationEnd::Aborted);

    ASSERT_TRUE(waitUntil([&] { return watch.notifications().size() >= 3; }, 10000))
        << watch.notifications().size() << " notifications";
    const std::vector<BusMessage> seen = watch.notifications();
    ASSERT_EQ(seen.size(), 3u);
    const QStringList expected[] = {
        {u"Pelloric"_qs, u"0"_qs, u"pelloric"_qs,
         formatMessage(Text::NoticeSucceeded, {u"目标.wim"_qs}), u"WIM 操作成功."_qs},
        {u"Pelloric"_qs, u"0"_qs, u"pelloric"_qs,
         formatMessage(Text::NoticeFailed, {u"来源.wim"_qs}), u"错误: 打开 WIM 文件失败."_qs},
        {u"Pelloric"_qs, u"0"_qs, u"pelloric"_qs,
         formatMessage(Text::NoticeAborted, {u"来源.wim"_qs}), loadString(Text::AbortingOperation)},
    };
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(seen[i].header.contains(u"destination=org.freedesktop.Notifications"_qs));
        EXPECT_EQ(seen[i].values().mid(0, 5), expected[i])
            << seen[i].arguments.join('\n').toStdString();
    }
}

// No notification for a short operation, nor for one that ends while the window is active;
// the taskbar entry follows the bar and shows no progress after the end.
TEST_F(SessionBus, ShortOrWatchedOperationsAreNotAnnouncedAndTheTaskbarFollowsTheBar)
{
    OperationNotices::setMinimumDuration(5000);
    runInDialog(window.get(), ID_CAPTURE, loggingOperation(50, true),
                [&](ProgressDialog*) { activateAnotherWindow(); });
    OperationNotices::setMinimumDuration(0);
    runInDialog(window.get(), ID_CAPTURE, loggingOperation(50, true));

    ASSERT_TRUE(waitUntil([&] { return watch.updates().size() >= 8; }, 10000))
        << watch.updates().size() << " taskbar updates";
    QTest::qWait(200);
    EXPECT_TRUE(watch.notifications().empty());
    QStringList progress;
    for (const BusMessage& update : watch.updates()) {
        EXPECT_TRUE(update.header.contains(u"path=/com/canonical/unity/launcherentry/"_qs));
        const QStringList v = update.values();
        ASSERT_EQ(v.size(), 5) << update.arguments.join('\n').toStdString();
        EXPECT_EQ(v[0], u"application://pelloric.desktop"_qs);
        progress << v[2] + u"/"_qs + v[4]; // progress value and visibility
    }
    const QStringList oneRun = {u"0/true"_qs, u"0.37/true"_qs, u"0.8/true"_qs, u"0.8/false"_qs};
    EXPECT_EQ(progress, oneRun + oneRun);
}

// The same runs without a session bus: every operation ends as it should, and nothing is said
// about a bus.
TEST_F(NoSessionBus, OperationsEndAndNothingIsSaid)
{
    if (!inChild("PELLORIC_NO_SESSION_BUS"))
        GTEST_SKIP() << "runs without a session bus, started by Notifications.*";
    OperationNotices::setMinimumDuration(0);
    QWidget other;
    other.show();
    EXPECT_EQ(runInDialog(window.get(), ID_CAPTURE, loggingOperation(50, true),
                          [&](ProgressDialog*) { other.activateWindow(); }),
              OperationEnd::Finished);
    EXPECT_EQ(runInDialog(window.get(), ID_APPLY, loggingOperation(50, false)),
              OperationEnd::Failed);
}

TEST(Notifications, OnASessionBusStartedByTheTest)
{
    if (inChild("PELLORIC_SESSION_BUS") || inChild("PELLORIC_NO_SESSION_BUS"))
        GTEST_SKIP() << "the parent run";
    QString output;
    const int code = runThisProgram(u"SessionBus.*"_qs, {{u"PELLORIC_SESSION_BUS"_qs, u"1"_qs}},
                                    &output, {u"dbus-run-session"_qs, u"--"_qs});
    EXPECT_EQ(code, 0) << output.toStdString();
    EXPECT_TRUE(output.contains(u"[  PASSED  ] 2 tests"_qs)) << output.toStdString();
}

TEST(Notifications, NothingWithoutASessionBus)
{
    if (inChild("PELLORIC_SESSION_BUS") || inChild("PELLORIC_NO_SESSION_BUS"))
        GTEST_SKIP() << "the parent run";
    QString output;
    // No bus address, no runtime folder with a bus socket, no display to start one for.
    const int code = runThisProgram(u"NoSessionBus.*"_qs,
                                    {{u"PELLORIC_NO_SESSION_BUS"_qs, u"1"_qs},
                                     {u"DBUS_SESSION_BUS_ADDRESS"_qs, QString()},
                                     {u"XDG_RUNTIME_DIR"_qs, QString()},
                                     {u"DISPLAY"_qs, QString()}},
                                    &output);
    EXPECT_EQ(code, 0) << output.toStdString();
    EXPECT_TRUE(output.contains(u"[  PASSED  ] 1 test"_qs)) << output.toStdString();
    for (const QString& line : output.split(u'\n')) {
        EXPECT_FALSE(line.contains(u"bus"_qs, Qt::CaseInsensitive) &&
                     !line.contains(u"NoSessionBus"_qs) && !line.contains(u"Google Test"_qs))
            << "said: " << line.toStdString();
    }
}
