// The worker frame: button texts and states per operation kind, running flag, abort, reset.
#include "ops/Text.h"
#include "ops/Worker.h"
#include "support/OperationRun.h"
#include "support/RecordingPort.h"

#include <gtest/gtest.h>

#include <future>

namespace {

// Waits for the worker's result; the frame has ended by then.
void waitUntilIdle(OperationContext& context)
{
    ASSERT_TRUE(oprun::waitWhileRunning(context, 20));
    joinWorker(context);
}

class WorkerFrameTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (int id : {int(ID_CAPTURE), int(ID_APPEND), int(ID_APPLY), int(ID_MODIFY), int(ID_MOUNT), int(ID_UNMOUNT),
                       int(ID_DELETE), int(ID_EXPORT), 4242})
            overrideOperation(id, {});
        joinWorker(context);
    }
    OperationContext context;
    RecordingPort port;
};

struct FrameCase {
    int id;
    QString start;
    QString end;
    bool enabledWhileRunning;
    bool countCleared;
    bool succeeds; // what the operation returns, and the worker gives back
};

} // namespace

TEST_F(WorkerFrameTest, ButtonTextsAndStatesFollowTheOperationKind)
{
    const FrameCase cases[] = {
        {ID_APPLY, "Abort", "Close", true, true, true},
        {ID_EXPORT, "Abort", "Close", true, true, false},
        {ID_CAPTURE, "终止", "关闭", true, false, false},
        {ID_APPEND, "终止", "关闭", true, false, true},
        {ID_DELETE, "终止", "关闭", false, true, true},
        {ID_MODIFY, "终止", "关闭", false, true, false},
        {ID_MOUNT, "终止", "关闭", false, true, true},
        {ID_UNMOUNT, "终止", "关闭", false, true, false},
    };
    for (const FrameCase& c : cases) {
        port.clear();
        QString textDuring;
        bool enabledDuring = true;
        overrideOperation(c.id, [&](OperationContext& ctx) {
            textDuring = port.itemText(IDC_CLOSE_BUTTON);
            enabledDuring = port.itemEnabled(IDC_CLOSE_BUTTON);
            EXPECT_TRUE(ctx.running);
            setDialogItemText(ctx, IDC_COUNT, QStringLiteral("文件数: 1 / 1"));
            return c.succeeds;
        });
        ASSERT_TRUE(startOperation(context, c.id, &port)) << c.id;
        waitUntilIdle(context);
        EXPECT_EQ(textDuring, c.start) << c.id;
        EXPECT_EQ(enabledDuring, c.enabledWhileRunning) << c.id;
        EXPECT_EQ(port.itemText(IDC_CLOSE_BUTTON), c.end) << c.id;
        EXPECT_TRUE(port.itemEnabled(IDC_CLOSE_BUTTON)) << c.id;
        EXPECT_EQ(port.itemText(IDC_STATUS), QString()) << c.id;
        EXPECT_EQ(port.itemText(IDC_COUNT).isEmpty(), c.countCleared) << c.id;
        EXPECT_EQ(context.operationResult.get(), c.succeeds) << c.id;
    }
}

TEST_F(WorkerFrameTest, UnknownIdStartsNoWorkerAndTheDialogCanClose)
{
    EXPECT_FALSE(startOperation(context, 4242, &port));
    EXPECT_FALSE(context.running);
    EXPECT_EQ(port.itemText(IDC_PERCENT), QStringLiteral("0%"));
    EXPECT_TRUE(requestCloseOrAbort(context));
    EXPECT_EQ(context.progressWindow.load(), nullptr);
}

TEST_F(WorkerFrameTest, DialogCannotCloseBeforeTheWorkerHasStarted)
{
    std::promise<void> release;
    auto released = release.get_future().share();
    overrideOperation(ID_DELETE, [released](OperationContext&) {
        released.wait();
        return true;
    });
    ASSERT_TRUE(startOperation(context, ID_DELETE, &port));
    // Immediately after the start, before the worker has necessarily run a line.
    EXPECT_TRUE(context.running);
    EXPECT_FALSE(requestCloseOrAbort(context));
    EXPECT_NE(context.progressWindow.load(), nullptr);
    release.set_value();
    waitUntilIdle(context);
    EXPECT_TRUE(requestCloseOrAbort(context));
}

TEST_F(WorkerFrameTest, AbortWhileRunningDisablesTheButtonAndLogsOnce)
{
    std::promise<void> release;
    auto released = release.get_future().share();
    bool sawAbort = false;
    overrideOperation(ID_APPLY, [&, released](OperationContext& ctx) {
        released.wait();
        sawAbort = ctx.abortRequested;
        return false;
    });
    ASSERT_TRUE(startOperation(context, ID_APPLY, &port));
    EXPECT_FALSE(requestCloseOrAbort(context)); // Abort
    EXPECT_FALSE(requestCloseOrAbort(context)); // Escape while aborting: nothing more
    EXPECT_TRUE(context.abortRequested);
    EXPECT_EQ(port.itemText(IDC_CLOSE_BUTTON), QStringLiteral("正在终止..."));
    EXPECT_FALSE(port.itemEnabled(IDC_CLOSE_BUTTON));
    release.set_value();
    waitUntilIdle(context);
    EXPECT_TRUE(sawAbort);
    EXPECT_EQ(port.logLines(), QStringList{QStringLiteral("正在终止映像操作...请稍候...")});
    EXPECT_EQ(port.itemText(IDC_CLOSE_BUTTON), QStringLiteral("Close"));
    EXPECT_TRUE(port.itemEnabled(IDC_CLOSE_BUTTON));
    // One more press closes the dialog; the abort flag stays set until the next start.
    EXPECT_TRUE(requestCloseOrAbort(context));
    EXPECT_TRUE(context.abortRequested);
}

TEST_F(WorkerFrameTest, NextStartResetsLogCountersAndFlags)
{
    overrideOperation(ID_CAPTURE, [](OperationContext& ctx) {
        appendLogLine(ctx, QStringLiteral("line"));
        ctx.processedCount = 10;
        ctx.fileCount = 20;
        ctx.folderCount = 3;
        ctx.scanNoticeShown = true;
        return true;
    });
    ASSERT_TRUE(startOperation(context, ID_CAPTURE, &port));
    waitUntilIdle(context);
    EXPECT_EQ(context.logText, QStringLiteral("line\r\n"));
    EXPECT_TRUE(requestCloseOrAbort(context));
    // Values survive the closed dialog...
    EXPECT_EQ(context.processedCount.load(), 10u);

    overrideOperation(ID_CAPTURE, [](OperationContext& ctx) {
        EXPECT_TRUE(ctx.logText.isEmpty());
        EXPECT_EQ(ctx.processedCount.load(), 0u);
        EXPECT_EQ(ctx.fileCount.load(), 0u);
        EXPECT_EQ(ctx.folderCount.load(), 0u);
        EXPECT_FALSE(ctx.scanNoticeShown);
        EXPECT_FALSE(ctx.abortRequested);
        return true;
    });
    context.abortRequested = true;
    RecordingPort second;
    ASSERT_TRUE(startOperation(context, ID_CAPTURE, &second));
    waitUntilIdle(context);
    // ...until the next start, which begins at 0%.
    const auto calls = second.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().kind, RecordingPort::Call::Progress);
    EXPECT_EQ(calls.front().id, 0);
    EXPECT_EQ(second.itemText(IDC_PERCENT), QStringLiteral("0%"));
}

TEST_F(WorkerFrameTest, WorkerWritesAfterTheDialogClosedOnlyReachTheLog)
{
    std::promise<void> release;
    auto released = release.get_future().share();
    overrideOperation(ID_EXPORT, [released](OperationContext& ctx) {
        released.wait();
        appendLogLine(ctx, QStringLiteral("late"));
        return true;
    });
    ASSERT_TRUE(startOperation(context, ID_EXPORT, &port));
    // Simulate the dialog going away while the worker still runs (as only a crash could).
    context.progressWindow = nullptr;
    release.set_value();
    waitUntilIdle(context);
    EXPECT_EQ(context.logText, QStringLiteral("late\r\n"));
    EXPECT_TRUE(port.logLines().isEmpty());
}

TEST_F(WorkerFrameTest, AThrowingOperationEndsTheFrameWithAnErrorLineAndItsText)
{
    overrideOperation(ID_MODIFY, [](OperationContext&) -> bool {
        throw std::runtime_error("boom");
    });
    ASSERT_TRUE(startOperation(context, ID_MODIFY, &port));
    waitUntilIdle(context);
    EXPECT_EQ(port.itemText(IDC_CLOSE_BUTTON), QStringLiteral("关闭"));
    EXPECT_EQ(port.logLines(),
              (QStringList{QStringLiteral("错误: 发生内部错误。"), QStringLiteral("boom")}));
    EXPECT_FALSE(context.operationResult.get());
}
