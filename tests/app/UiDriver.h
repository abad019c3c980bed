// Small input helpers and the main-window fixture shared by the user-interface tests.
#pragma once

#include "app/AppSetup.h"
#include "app/MainWindow.h"
#include "app/Page.h"
#include "ops/Context.h"
#include "ops/Worker.h"
#include "platform/Kernel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

#include <gtest/gtest.h>

namespace uitest {

// Switches the interface language (texts and translations) for one test.
class LanguageScope {
public:
    explicit LanguageScope(LANGID language)
    {
        SetProcessUILanguage(language);
        installTranslations();
    }
    ~LanguageScope()
    {
        SetProcessUILanguage(0);
        installTranslations();
    }
};

// Processes events until done() holds or ms have passed; returns done().
inline bool waitUntil(const std::function<bool()>& done, int ms = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(1);
    }
    return true;
}

// Types text into w one character at a time, each as its own key event (Qt 6.4's keyClicks
// cannot carry characters outside Latin-1).
inline void typeText(QWidget* w, const QString& text)
{
    for (QChar c : text)
        QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

// Replaces the text of an edit by keyboard: select all, delete, type.
inline void retype(QWidget* w, const QString& text)
{
    w->setFocus();
    QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(w, Qt::Key_Delete);
    typeText(w, text);
}

// The longest any test waits for one thing: an operation to end, a dialog to appear.
inline constexpr int kLongestWait = 60000;

// Once a modal widget of type T is shown, calls act(it). Polls from the event loop, so it
// also runs inside the modal loop that the code under test starts. A dialog that does not
// appear within ms fails the test, naming `what`. A dialog that is still open 5 s after act
// ran fails the test too and is hidden, which ends its modal loop: no test can hang in one.
template <class T>
void whenModal(const char* what, std::function<void(T*)> act, int ms = 10000)
{
    auto* timer = new QTimer;
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    timer->setInterval(10);
    const std::string name(what);
    QObject::connect(timer, &QTimer::timeout, [timer, elapsed, act, ms, name] {
        T* modal = dynamic_cast<T*>(QApplication::activeModalWidget());
        if (!modal && elapsed->elapsed() < ms)
            return;
        timer->stop();
        timer->deleteLater();
        if (!modal) {
            ADD_FAILURE() << "expected dialog did not appear within " << ms << " ms: " << name;
            return;
        }
        QPointer<QWidget> shown(modal);
        act(modal);
        QTimer::singleShot(5000, [shown, name] {
            if (shown && shown->isVisible()) {
                ADD_FAILURE() << "dialog still open 5 s after the test acted on it: " << name;
                shown->hide();
            }
        });
    });
    timer->start();
}

// Chooses `path` in a file picker and accepts it. The picker's file-name edit takes the path
// directly: QFileDialog::selectFile leaves that edit alone while it has focus, which it gets
// at a moment the test cannot know, and an accept with an empty edit leaves the picker open.
// An empty path accepts the folder the picker shows.
inline void chooseInPicker(QFileDialog* picker, const QString& path)
{
    auto* edit = picker->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(edit, nullptr) << "the picker has no file-name edit";
    edit->setText(path);
    static_cast<QDialog*>(picker)->accept();
}

// Runs this test program once more, as its own process, with the tests `filter` names and the
// environment changed by `env` (a value of "" removes the variable). Returns the exit code
// (-1 when it did not finish within ms) and puts its output into *output. `wrapper` is a
// command that runs the program (dbus-run-session --), or empty.
inline int runThisProgram(const QString& filter,
                          const std::vector<std::pair<QString, QString>>& env, QString* output,
                          const QStringList& wrapper = {}, int ms = 45000)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : env) {
        if (value.isEmpty())
            environment.remove(name);
        else
            environment.insert(name, value);
    }
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    QStringList arguments = wrapper;
    arguments << QCoreApplication::applicationFilePath()
              << QStringLiteral("--gtest_filter=") + filter;
    child.start(arguments.takeFirst(), arguments);
    const bool finished = child.waitForFinished(ms);
    if (!finished)
        child.kill();
    child.waitForFinished(5000);
    *output = QString::fromLocal8Bit(child.readAll());
    return finished && child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
}

// A shown main window on the process-wide context with start-up defaults, and ways to reach
// its tabs and the controls of the page on show.
class MainWindowFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        OperationContext& ctx = globalContext();
        ctx.request = OperationRequest();
        resetRequestDefaults(ctx.request);
        window = std::make_unique<MainWindow>(ctx);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    void TearDown() override
    {
        window.reset();
        joinWorker(globalContext());
    }

    void selectTab(int index)
    {
        QTabBar* bar = window->tabControl()->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
        ASSERT_EQ(window->tabControl()->currentIndex(), index);
        ASSERT_EQ(page()->pageIndex(), index);
    }
    Page* page() const { return window->currentPage(); }
    template <class T> T* ctl(int id) const
    {
        T* w = page()->control<T>(id);
        EXPECT_NE(w, nullptr) << "control " << id << " on page " << page()->pageIndex();
        return w;
    }
    void click(int id) { QTest::mouseClick(ctl<QWidget>(id), Qt::LeftButton); }

    std::unique_ptr<MainWindow> window;
};

} // namespace uitest
