// The progress dialog around a running operation: button texts and states of each kind of
// operation, abort and close by button and Escape, the count line, resets between runs,
// ordered delivery of many log lines, and the blocking message box.
#include "UiDriver.h"

#include "app/ProgressDialog.h"
#include "ops/Text.h"
#include "ops/Worker.h"
#include "support/OperationRun.h"

#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace uitest;

namespace {

// An operation that holds until released (or aborted) so the test can look at the dialog
// while it runs.
struct HeldOperation {
    std::atomic<bool> release{false};
    std::atomic<bool> sawAbort{false};
    std::atomic<bool> entered{false};

    OperationFn fn(std::function<void(OperationContext&)> before = {})
    {
        return [this, before](OperationContext& ctx) {
            entered = true;
            if (before)
                before(ctx);
            while (!release.load() && !ctx.abortRequested.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            sawAbort = ctx.abortRequested.load();
            return true;
        };
    }
};

class ProgressDialogTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        held.release = true;
        dialog.reset();
        joinWorker(globalContext());
        for (int id : {ID_CAPTURE, ID_APPEND, ID_APPLY, ID_EXPORT, ID_MODIFY, ID_MOUNT, ID_UNMOUNT,
                       ID_DELETE})
            overrideOperation(id, {});
    }

    void open(int id)
    {
        dialog = std::make_unique<ProgressDialog>(id, nullptr);
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    }
    QPushButton* button() const { return dialog->findChild<QPushButton*>(u"c2"_qs); }
    QLabel* label(int id) const { return dialog->findChild<QLabel*>(controlName(id)); }
    QPlainTextEdit* log() const { return dialog->findChild<QPlainTextEdit*>(u"c1012"_qs); }
    QProgressBar* bar() const { return dialog->findChild<QProgressBar*>(u"c1010"_qs); }
    static QString controlName(int id) { return QStringLiteral("c%1").arg(id); }
    bool running() const { return globalContext().running.load(); }
    // Waits until the worker has ended and its last writes are shown.
    void waitForEnd()
    {
        ASSERT_TRUE(waitUntil([&] { return !running(); }));
        dialog->drainPending();
    }

    HeldOperation held;
    std::unique_ptr<ProgressDialog> dialog;
};

} // namespace

TEST_F(ProgressDialogTest, TemplateTextsBeforeTheWorkerWrites)
{
    open(9999); // starts no operation
    EXPECT_EQ(dialog->windowTitle(), u"处理中的映像操作"_qs);
    EXPECT_EQ(button()->text(), u"终止"_qs);
    EXPECT_EQ(label(IDC_PERCENT)->text(), u"0%"_qs);
    EXPECT_EQ(bar()->value(), 0);
    EXPECT_TRUE(label(IDC_COUNT)->text().isEmpty());
    EXPECT_TRUE(log()->isReadOnly());
    EXPECT_FALSE(dialog->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(running());
    // Nothing runs, so the button closes at once.
    QTest::mouseClick(button(), Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(globalContext().progressWindow.load(), nullptr);
}

TEST_F(ProgressDialogTest, ButtonFollowsTheFrameOfEachKindOfOperation)
{
    struct Case {
        int id;
        QString startText, endText;
        bool enabledWhileRunning;
        bool countClearedAtEnd;
    };
    const Case cases[] = {
        {ID_APPLY, u"Abort"_qs, u"Close"_qs, true, true},
        {ID_EXPORT, u"Abort"_qs, u"Close"_qs, true, true},
        {ID_CAPTURE, u"终止"_qs, u"关闭"_qs, true, false},
        {ID_APPEND, u"终止"_qs, u"关闭"_qs, true, false},
        {ID_DELETE, u"终止"_qs, u"关闭"_qs, false, true},
        {ID_MODIFY, u"终止"_qs, u"关闭"_qs, false, true},
        {ID_MOUNT, u"终止"_qs, u"关闭"_qs, false, true},
        {ID_UNMOUNT, u"终止"_qs, u"关闭"_qs, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        held.release = false;
        held.entered = false;
        overrideOperation(c.id, held.fn([](OperationContext& ctx) {
            setDialogItemText(ctx, IDC_COUNT, u"文件数: 1 / 2"_qs);
            setDialogItemText(ctx, IDC_STATUS, u"耗时: 1s"_qs);
        }));
        open(c.id);
        // Both texts travel to the dialog on their own; wait until the later one arrived.
        ASSERT_TRUE(waitUntil([&] {
            return held.entered.load() && label(IDC_COUNT)->text() == u"文件数: 1 / 2"_qs &&
                   label(IDC_STATUS)->text() == u"耗时: 1s"_qs;
        }));
        EXPECT_EQ(button()->text(), c.startText);
        EXPECT_EQ(button()->isEnabled(), c.enabledWhileRunning);
        EXPECT_EQ(dialog->cursor().shape(), Qt::WaitCursor);

        held.release = true;
        waitForEnd();
        EXPECT_EQ(button()->text(), c.endText);
        EXPECT_TRUE(button()->isEnabled());
        EXPECT_TRUE(label(IDC_STATUS)->text().isEmpty());
        EXPECT_EQ(label(IDC_COUNT)->text().isEmpty(), c.countClearedAtEnd);
        EXPECT_FALSE(held.sawAbort.load());
        ASSERT_TRUE(waitUntil([&] { return dialog->cursor().shape() == Qt::ArrowCursor; }));

        QTest::mouseClick(button(), Qt::LeftButton);
        EXPECT_FALSE(dialog->isVisible());
        dialog.reset();
    }
}

TEST_F(ProgressDialogTest, AbortButtonWhileRunningThenClose)
{
    overrideOperation(ID_APPLY, held.fn());
    open(ID_APPLY);
    ASSERT_TRUE(waitUntil([&] { return held.entered.load() && button()->text() == u"Abort"_qs; }));

    QTest::mouseClick(button(), Qt::LeftButton);
    dialog->drainPending();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(globalContext().abortRequested.load());
    // The worker may already have ended on seeing the abort; the abort line is logged anyway.
    EXPECT_TRUE(log()->toPlainText().contains(u"正在终止映像操作...请稍候..."_qs));

    waitForEnd();
    EXPECT_TRUE(held.sawAbort.load());
    EXPECT_EQ(button()->text(), u"Close"_qs);
    EXPECT_TRUE(button()->isEnabled());
    QTest::mouseClick(button(), Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(ProgressDialogTest, AbortShowsTheAbortingStateWhileTheOperationWindsDown)
{
    // An operation that takes its time to stop after the abort request.
    std::atomic<bool> finish{false};
    overrideOperation(ID_EXPORT, [&](OperationContext& ctx) {
        held.entered = true;
        while (!finish.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        held.sawAbort = ctx.abortRequested.load();
        return false;
    });
    open(ID_EXPORT);
    ASSERT_TRUE(waitUntil([&] { return held.entered.load() && button()->text() == u"Abort"_qs; }));
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    dialog->drainPending();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(button()->text(), u"正在终止..."_qs);
    EXPECT_FALSE(button()->isEnabled());
    EXPECT_EQ(log()->document()->lastBlock().text(), u"正在终止映像操作...请稍候..."_qs);
    // A close request from the window system is refused while running.
    EXPECT_FALSE(dialog->close());
    EXPECT_TRUE(dialog->isVisible());

    finish = true;
    waitForEnd();
    EXPECT_TRUE(held.sawAbort.load());
    EXPECT_EQ(button()->text(), u"Close"_qs);
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(ProgressDialogTest, LateAbortTextsDoNotLeaveTheButtonDisabledAfterTheEnd)
{
    overrideOperation(ID_APPLY, held.fn());
    open(ID_APPLY);
    ASSERT_TRUE(waitUntil([&] { return held.entered.load(); }));
    held.release = true;
    // No events are served while the worker ends, then the abort's writes arrive after the
    // worker's end texts, as when Abort is pressed in the same instant.
    ASSERT_TRUE(oprun::waitWhileRunning(globalContext(), 20));
    dialog->enableItem(IDC_CLOSE_BUTTON, false);
    dialog->setItemText(IDC_CLOSE_BUTTON, u"正在终止..."_qs);
    ASSERT_TRUE(
        waitUntil([&] { return button()->isEnabled() && button()->text() == u"Close"_qs; }, 2000));
    QTest::qWait(120); // and it stays so
    EXPECT_TRUE(button()->isEnabled());
    EXPECT_EQ(button()->text(), u"Close"_qs);
    QTest::mouseClick(button(), Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(ProgressDialogTest, EscapeWhileRunningAbortsAndAfterTheEndCloses)
{
    overrideOperation(ID_CAPTURE, held.fn());
    open(ID_CAPTURE);
    ASSERT_TRUE(waitUntil([&] { return held.entered.load(); }));
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(globalContext().abortRequested.load());
    waitForEnd();
    EXPECT_TRUE(held.sawAbort.load());
    EXPECT_EQ(button()->text(), u"关闭"_qs);
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(globalContext().progressWindow.load(), nullptr);
}

TEST_F(ProgressDialogTest, NextStartBeginsWithEmptyLogZeroPercentAndClearedCounters)
{
    overrideOperation(ID_CAPTURE, [](OperationContext& ctx) {
        appendLogLine(ctx, u"第一次"_qs);
        showPercentage(ctx, 64);
        ctx.processedCount = 7;
        setDialogItemText(ctx, IDC_COUNT, u"文件数: 7 / 9"_qs);
        return true;
    });
    open(ID_CAPTURE);
    waitForEnd();
    EXPECT_EQ(label(IDC_PERCENT)->text(), u"64%"_qs);
    EXPECT_EQ(bar()->value(), 64);
    EXPECT_EQ(label(IDC_COUNT)->text(), u"文件数: 7 / 9"_qs); // capture keeps its count
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    dialog.reset();

    overrideOperation(ID_CAPTURE, held.fn());
    open(ID_CAPTURE);
    ASSERT_TRUE(waitUntil([&] { return held.entered.load(); }));
    dialog->drainPending();
    EXPECT_TRUE(log()->toPlainText().isEmpty());
    EXPECT_EQ(label(IDC_PERCENT)->text(), u"0%"_qs);
    EXPECT_EQ(bar()->value(), 0);
    EXPECT_TRUE(label(IDC_COUNT)->text().isEmpty());
    EXPECT_EQ(globalContext().processedCount.load(), 0u);
    EXPECT_TRUE(globalContext().logText.isEmpty());
}

TEST_F(ProgressDialogTest, ManyLinesArriveCompleteAndInOrder)
{
    constexpr int kLines = 30000;
    overrideOperation(ID_CAPTURE, [](OperationContext& ctx) {
        for (int i = 0; i < kLines; ++i) {
            appendLogLine(ctx, QStringLiteral("行 %1 line").arg(i));
            if (i % 1000 == 0)
                setDialogItemText(ctx, IDC_STATUS, QString::number(i));
        }
        appendLogLine(ctx, QString()); // an empty line stays a line
        appendLogLine(ctx, u"包括 1 个文件夹和 2 个文件.\r\n正在开始捕获...\r\n"_qs);
        return true;
    });
    open(ID_CAPTURE);
    waitForEnd();
    const QTextDocument* doc = log()->document();
    ASSERT_EQ(doc->blockCount(), kLines + 4);
    for (int i : {0, 1, 999, 1000, 12345, kLines - 1})
        EXPECT_EQ(doc->findBlockByNumber(i).text(), QStringLiteral("行 %1 line").arg(i));
    EXPECT_EQ(doc->findBlockByNumber(kLines).text(), QString());
    EXPECT_EQ(doc->findBlockByNumber(kLines + 1).text(), u"包括 1 个文件夹和 2 个文件."_qs);
    EXPECT_EQ(doc->findBlockByNumber(kLines + 2).text(), u"正在开始捕获..."_qs);

    QString expected = globalContext().logText;
    expected.replace(u"\r\n"_qs, u"\n"_qs);
    EXPECT_EQ(log()->toPlainText() + u'\n', expected);
    // The view follows the end of the log.
    EXPECT_EQ(log()->verticalScrollBar()->value(), log()->verticalScrollBar()->maximum());
}

TEST_F(ProgressDialogTest, MessageBoxBlocksTheWorkerUntilAnswered)
{
    std::atomic<bool> afterBox{false};
    overrideOperation(ID_MODIFY, [&](OperationContext& ctx) {
        appendLogLine(ctx, u"之前"_qs);
        dialogMessageBox(ctx, u"错误:不能正确解析 WIM 文件的 XML 信息."_qs, u"信息"_qs,
                         MessageIcon::Error);
        afterBox = true;
        appendLogLine(ctx, u"之后"_qs);
        return true;
    });
    QString text, caption, logWhileShown;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool workerWaited = false;
    whenModal<QMessageBox>("XML error box", [&](QMessageBox* box) {
        text = box->text();
        caption = box->windowTitle();
        icon = box->icon();
        logWhileShown = log()->toPlainText();
        QTest::qWait(50);
        workerWaited = !afterBox.load();
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    open(ID_MODIFY);
    waitForEnd();
    EXPECT_EQ(text, u"错误:不能正确解析 WIM 文件的 XML 信息."_qs);
    EXPECT_EQ(caption, u"信息"_qs);
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_TRUE(workerWaited);
    EXPECT_EQ(logWhileShown, u"之前"_qs);
    EXPECT_EQ(log()->toPlainText(), u"之前\n之后"_qs);
}

// The dialog learns how the operation ended as a value through its queue, behind the worker's
// last writes, and nothing else tells it: until its queue is served it does not know, and then
// its button is closable. Finished, failed (false or an exception) and aborted.
TEST_F(ProgressDialogTest, EndStateArrivesThroughTheQueueBehindTheLastWrites)
{
    struct Case {
        const char* what;
        OperationFn fn;
        bool abort;
        OperationEnd end;
    };
    // Each operation waits for the test, so the dialog is up before it ends.
    auto lastLine = [this](bool result) {
        return [this, result](OperationContext& ctx) {
            while (!held.release.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            appendLogLine(ctx, u"最后一行"_qs);
            return result;
        };
    };
    const Case cases[] = {
        {"succeeds", lastLine(true), false, OperationEnd::Finished},
        {"fails", lastLine(false), false, OperationEnd::Failed},
        {"throws",
         [this](OperationContext&) -> bool {
             while (!held.release.load())
                 std::this_thread::sleep_for(std::chrono::milliseconds(1));
             throw std::runtime_error("坏");
         },
         false, OperationEnd::Failed},
        // Stops on the abort request and reports failure, as the operations do.
        {"aborted",
         [this](OperationContext& ctx) {
             held.entered = true;
             while (!ctx.abortRequested.load())
                 std::this_thread::sleep_for(std::chrono::milliseconds(1));
             return false;
         },
         true, OperationEnd::Aborted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        held.release = false;
        held.entered = false;
        overrideOperation(ID_APPLY, c.fn);
        open(ID_APPLY);
        if (c.abort) {
            ASSERT_TRUE(waitUntil([&] { return held.entered.load(); }));
            QTest::mouseClick(button(), Qt::LeftButton);
        } else {
            held.release = true;
        }
        // The worker's frame has ended; the dialog has not served its queue since.
        ASSERT_TRUE(oprun::waitWhileRunning(globalContext(), 20));
        EXPECT_FALSE(dialog->endState().has_value());
        dialog->drainPending();
        ASSERT_TRUE(dialog->endState().has_value());
        EXPECT_EQ(*dialog->endState(), c.end);
        if (!c.abort) {
            EXPECT_EQ(log()->document()->lastBlock().text(),
                      c.end == OperationEnd::Finished || std::string(c.what) == "fails"
                          ? u"最后一行"_qs
                          : u"坏"_qs);
        }
        EXPECT_EQ(button()->text(), u"Close"_qs);
        EXPECT_TRUE(button()->isEnabled());
        EXPECT_EQ(dialog->cursor().shape(), Qt::ArrowCursor);
        QTest::mouseClick(button(), Qt::LeftButton);
        EXPECT_FALSE(dialog->isVisible());
        dialog.reset();
    }
}
