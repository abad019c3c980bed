// The message callbacks of apply, capture and export, called directly as the imaging layer
// calls them, with a context of the test's own as the user data (as the operations register
// them) and a recording dialog; and an operation on such a context that is aborted.
#include "config/CaptureConfig.h"
#include "ops/Callbacks.h"
#include "ops/Text.h"
#include "ops/Worker.h"
#include "platform/Kernel.h"
#include "support/RecordingPort.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QFileInfo>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>

namespace
{

using Callback = DWORD (*)(DWORD, WPARAM, LPARAM, PVOID);

struct NamedCallback {
    const char* name;
    Callback fn;
};
const NamedCallback kCallbacks[] = {
    {"apply", ApplyMessageCallback},
    {"capture", CaptureMessageCallback},
    {"export", ExportMessageCallback},
};

class CallbacksTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        OperationContext& c = context();
        c.progressWindow = &port;
        c.startTime = timeGetTime();
        auto config = std::make_shared<CaptureConfig>();
        config->load(QString(), QString(), QString());
        config->mergeText("[ExclusionList]\n*.bak\n\\Skip\\*\n[ExclusionException]\nkeep.bak\n");
        c.captureConfig = config;
    }
    void TearDown() override
    {
        context().progressWindow = nullptr;
        context().captureConfig.reset();
    }
    OperationContext& context() { return ctx; }

    // A processing question for `path`; returns the callback's answer and the bool.
    std::pair<DWORD, BOOL> process(Callback fn, const QString& path)
    {
        BOOL take = TRUE;
        const DWORD r = fn(WIM_MSG_PROCESS, reinterpret_cast<WPARAM>(path.utf16()),
                           reinterpret_cast<LPARAM>(&take), data);
        return {r, take};
    }
    std::vector<QString> countTexts() const
    {
        std::vector<QString> out;
        for (const auto& call : port.calls())
            if (call.kind == RecordingPort::Call::Text && call.id == IDC_COUNT)
                out.push_back(call.text);
        return out;
    }

    OperationContext ctx; // not the process-wide one: the callbacks find it in their user data
    PVOID data = &ctx;
    RecordingPort port;
};

// Sets the abort flag of `context` on the worker thread when a log line that `trigger`
// accepts arrives, as an Abort press at that moment would.
class AbortOnLine : public RecordingPort {
public:
    AbortOnLine(OperationContext& context, std::function<bool(const QString&)> trigger)
        : context_(context), trigger_(std::move(trigger))
    {
    }
    void appendLog(const QString& line) override
    {
        RecordingPort::appendLog(line);
        if (trigger_(line))
            context_.abortRequested = true;
    }

private:
    OperationContext& context_;
    std::function<bool(const QString&)> trigger_;
};

} // namespace

TEST_F(CallbacksTest, AbortIsAnsweredOnlyToProcessingMessages)
{
    const QString path = QStringLiteral("/src/a.txt");
    for (const auto& cb : kCallbacks) {
        SCOPED_TRACE(cb.name);
        context().abortRequested = true;
        context().fileCount = 5;
        EXPECT_EQ(process(cb.fn, path).first, WIM_MSG_ABORT_IMAGE);
        BOOL flag = TRUE;
        const auto p = reinterpret_cast<WPARAM>(path.utf16());
        const auto f = reinterpret_cast<LPARAM>(&flag);
        EXPECT_EQ(cb.fn(WIM_MSG_PROGRESS, 40, 5000, data), WIM_MSG_SUCCESS);
        EXPECT_EQ(cb.fn(WIM_MSG_ERROR, p, 5, data), WIM_MSG_SUCCESS);
        EXPECT_EQ(cb.fn(WIM_MSG_WARNING, p, 5, data), WIM_MSG_SUCCESS);
        EXPECT_EQ(cb.fn(WIM_MSG_SCANNING, 1, 1, data), WIM_MSG_SUCCESS);
        EXPECT_EQ(cb.fn(WIM_MSG_COMPRESS, p, f, data), WIM_MSG_SUCCESS);
        EXPECT_EQ(cb.fn(WIM_MSG_SETRANGE, 0, 5, data), WIM_MSG_SUCCESS);
        context().abortRequested = false;
        EXPECT_EQ(process(cb.fn, path).first, WIM_MSG_SUCCESS);
    }
}

TEST_F(CallbacksTest, ExclusionQuestionsAreAnsweredOnlyBeforeSetRange)
{
    // Scanning: excluded paths are refused and logged with the letter case they came in.
    const struct {
        QString path;
        bool taken;
    } scan[] = {
        {"/src/Old/Notes.BAK", false}, // *.bak at any depth
        {"/src/keep.bak", true},       // exclusion exception
        {"/src/a.txt", true},
        {"/src/Skip/inner.txt", true}, // anchored at the volume root, not at /src
    };
    for (const auto& c : scan) {
        const auto [answer, take] = process(CaptureMessageCallback, c.path);
        EXPECT_EQ(answer, WIM_MSG_SUCCESS) << c.path.toStdString();
        EXPECT_EQ(take != FALSE, c.taken) << c.path.toStdString();
    }
    EXPECT_EQ(context().processedCount, 0u);

    // The library announces the count: questions are now only counted.
    EXPECT_EQ(CaptureMessageCallback(WIM_MSG_SETRANGE, 0, 7, data), WIM_MSG_SUCCESS);
    const auto [answer, take] = process(CaptureMessageCallback, "/src/Old/Notes.BAK");
    EXPECT_EQ(answer, WIM_MSG_SUCCESS);
    EXPECT_TRUE(take);
    EXPECT_EQ(context().processedCount, 1u);

    const QStringList lines = port.logLines();
    EXPECT_EQ(lines.count(QStringLiteral("\t正在排除: /src/Old/Notes.BAK")), 1);
    EXPECT_EQ(lines.filter(QStringLiteral("正在排除")).size(), 1);
}

TEST_F(CallbacksTest, ScanNoticeIsLoggedOnceAndSetRangeStartsTheCapture)
{
    for (int i = 0; i < 5; ++i)
        process(CaptureMessageCallback, QStringLiteral("/src/f%1.txt").arg(i));
    CaptureMessageCallback(WIM_MSG_SCANNING, 3, 5, data);
    CaptureMessageCallback(WIM_MSG_SETRANGE, 0, 5, data);
    const QStringList lines = port.logLines();
    EXPECT_EQ(lines.count(QStringLiteral("正在扫描需要捕获的文件,请稍候...")), 1);
    EXPECT_TRUE(
        lines.contains(QStringLiteral("包括 3 个文件夹和 5 个文件.\r\n正在开始捕获...\r\n")));
    EXPECT_EQ(context().fileCount, 5u);
    EXPECT_EQ(context().processedCount, 0u);
    EXPECT_EQ(port.itemText(IDC_COUNT), QStringLiteral("文件数: 0 / 5"));
    // Apply and export never treat processing messages as scan questions.
    process(ApplyMessageCallback, "/x/a.bak");
    process(ExportMessageCallback, "/x/a.bak");
    EXPECT_EQ(port.logLines().size(), lines.size());
}

TEST_F(CallbacksTest, CompressionExclusionSetsTheBoolAndLogsNothing)
{
    const struct {
        QString path;
        bool compressed;
    } cases[] = {
        {"/src/music/Song.MP3", false},
        {"/src/a/b/c.cab", false},
        {"/src/doc.txt", true},
        {"/src/mp3", true},
    };
    for (const auto& c : cases) {
        BOOL compress = TRUE;
        EXPECT_EQ(CaptureMessageCallback(WIM_MSG_COMPRESS, reinterpret_cast<WPARAM>(c.path.utf16()),
                                         reinterpret_cast<LPARAM>(&compress), data),
                  WIM_MSG_SUCCESS);
        EXPECT_EQ(compress != FALSE, c.compressed) << c.path.toStdString();
        // Only capture answers compression questions.
        BOOL untouched = TRUE;
        ApplyMessageCallback(WIM_MSG_COMPRESS, reinterpret_cast<WPARAM>(c.path.utf16()),
                             reinterpret_cast<LPARAM>(&untouched), data);
        EXPECT_TRUE(untouched);
    }
    EXPECT_TRUE(port.logLines().isEmpty());
}

TEST_F(CallbacksTest, ProgressShowsPercentTimesAndCounts)
{
    context().folderCount = 4;
    context().fileCount = 6;
    context().processedCount = 3;
    context().startTime = timeGetTime() - 65000;

    ApplyMessageCallback(WIM_MSG_PROGRESS, 37, 125000, data);
    EXPECT_EQ(port.lastProgress(), 37);
    EXPECT_EQ(port.itemText(IDC_PERCENT), QStringLiteral("37%"));
    EXPECT_EQ(port.itemText(IDC_STATUS), QStringLiteral("耗时: 1m05s    剩余时间: 2m05s"));
    EXPECT_EQ(port.itemText(IDC_COUNT), QStringLiteral("文件数: 3 / 10"));

    // Capture counts against the announced number of files only.
    CaptureMessageCallback(WIM_MSG_PROGRESS, 50, 999, data);
    EXPECT_EQ(port.itemText(IDC_COUNT), QStringLiteral("文件数: 3 / 6"));
    // A remaining time below one second is still being estimated.
    EXPECT_TRUE(port.itemText(IDC_STATUS).endsWith(QStringLiteral("剩余时间: 正在估算...")));

    ExportMessageCallback(WIM_MSG_PROGRESS, 99, 2000, data);
    EXPECT_EQ(port.itemText(IDC_COUNT), QStringLiteral("文件数: 3 / 10"));
    ExportMessageCallback(WIM_MSG_PROGRESS, 100, 0, data);
    EXPECT_EQ(port.itemText(IDC_COUNT), QString());
    EXPECT_EQ(port.itemText(IDC_PERCENT), QStringLiteral("100%"));
    EXPECT_TRUE(port.itemText(IDC_STATUS).startsWith(QStringLiteral("耗时: 1m05s")));
    // Apply keeps its count line at 100.
    ApplyMessageCallback(WIM_MSG_PROGRESS, 100, 0, data);
    EXPECT_EQ(port.itemText(IDC_COUNT), QStringLiteral("文件数: 3 / 10"));
}

TEST_F(CallbacksTest, ScanCountLineIsRedrawnEveryThirtyTwoFiles)
{
    for (int files = 1; files <= 100; ++files)
        CaptureMessageCallback(WIM_MSG_SCANNING, files % 10 == 0 ? 1 : 0, files, data);
    // A smaller running count does not lower the largest one seen.
    CaptureMessageCallback(WIM_MSG_SCANNING, 0, 50, data);
    EXPECT_EQ(context().processedCount, 100u);
    EXPECT_EQ(context().folderCount, 10u);
    const std::vector<QString> expected = {
        QStringLiteral("文件数:32  文件夹数:3"),
        QStringLiteral("文件数:64  文件夹数:6"),
        QStringLiteral("文件数:96  文件夹数:9"),
    };
    EXPECT_EQ(countTexts(), expected);
}

TEST_F(CallbacksTest, LibraryMessagesAreLoggedAsFixedLines)
{
    const QString path = QStringLiteral("/src/文件 %2.txt");
    const auto p = reinterpret_cast<WPARAM>(path.utf16());
    for (const auto& cb : kCallbacks) {
        SCOPED_TRACE(cb.name);
        port.clear();
        cb.fn(WIM_MSG_ERROR, p, 5, data);
        cb.fn(WIM_MSG_RETRY, p, 32, data);
        cb.fn(WIM_MSG_INFO, p, 0, data);
        cb.fn(WIM_MSG_WARNING, p, -2, data);
        const QStringList expected = {
            "ERROR: /src/文件 %2.txt [err = 5]",
            "RETRY: /src/文件 %2.txt [err = 32]",
            "INFO: /src/文件 %2.txt [err = 0]\n",
            "WARNING: /src/文件 %2.txt [err = -2]",
        };
        EXPECT_EQ(port.logLines(), expected);
    }
}

TEST_F(CallbacksTest, MessagesOutsideTheHandledRangeHaveNoEffect)
{
    context().abortRequested = true;
    const QString path = QStringLiteral("/src/a.bak");
    const auto p = reinterpret_cast<WPARAM>(path.utf16());
    BOOL flag = TRUE;
    const auto f = reinterpret_cast<LPARAM>(&flag);
    for (const auto& cb : kCallbacks) {
        for (DWORD id : {WIM_MSG_TEXT, WIM_MSG_SETPOS, WIM_MSG_STEPIT, WIM_MSG_ALIGNMENT,
                         WIM_MSG_SPLIT, WIM_MSG_FILEINFO, DWORD{WIM_MSG_WARNING + 1}, DWORD{0}})
            EXPECT_EQ(cb.fn(id, 7, 7, data), WIM_MSG_SUCCESS) << cb.name << " " << id;
        // Registered without a context, a callback has nowhere to report to: nothing happens.
        for (DWORD id : {WIM_MSG_PROGRESS, WIM_MSG_PROCESS, WIM_MSG_SCANNING, WIM_MSG_SETRANGE,
                         WIM_MSG_COMPRESS, WIM_MSG_ERROR, WIM_MSG_WARNING})
            EXPECT_EQ(cb.fn(id, id == WIM_MSG_PROGRESS ? 7 : p, f, nullptr), WIM_MSG_SUCCESS)
                << cb.name << " " << id;
    }
    EXPECT_TRUE(flag);
    EXPECT_TRUE(port.calls().empty());
    EXPECT_EQ(context().processedCount, 0u);
    EXPECT_EQ(context().folderCount, 0u);
}

TEST_F(CallbacksTest, AnOperationOnAContextOfItsOwnIsAbortedThroughItsCallback)
{
    TempDir dir;
    const QString tree = dir.mkdir(QStringLiteral("tree"));
    wimfix::makeSampleTree(tree);
    const QString wim = dir.file(QStringLiteral("source.wim"));
    ASSERT_TRUE(wimfix::makeWim(wim, {{{tree, QStringLiteral("one")}}}));
    // Each abort comes after the operation's own abort checks, just before the imaging call:
    // only the callback, finding this context in its user data, can pass it on.
    const struct {
        int id;
        Text::Id trigger;
        Text::Id failure;
        QString target;
        bool newFile;
    } cases[] = {
        {ID_CAPTURE, Text::OpeningWim, Text::CaptureFailed, dir.file("captured.wim"), true},
        {ID_APPLY, Text::ApplyStarting, Text::ApplyFailed, dir.mkdir("applied"), false},
        {ID_EXPORT, Text::ExportingImage, Text::ExportFailed, dir.file("exported.wim"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        OperationRequest& r = ctx.request;
        resetRequestDefaults(r);
        r.captureSource = tree;
        r.captureTarget = c.target;
        r.applySource = wim;
        r.applyTarget = c.target;
        r.exportSource = wim;
        r.exportTarget = c.target;
        // The trigger's text up to its first insert.
        const QString opening = loadString(c.trigger).section(u'%', 0, 0);
        AbortOnLine abortingPort(
            ctx, [opening](const QString& line) { return line.startsWith(opening); });
        ASSERT_TRUE(startOperation(ctx, c.id, &abortingPort));
        ASSERT_EQ(ctx.operationResult.wait_for(std::chrono::seconds(40)),
                  std::future_status::ready);
        joinWorker(ctx);
        EXPECT_TRUE(requestCloseOrAbort(ctx));
        EXPECT_FALSE(ctx.operationResult.get());
        EXPECT_TRUE(ctx.abortRequested);
        EXPECT_FALSE(globalContext().abortRequested);
        const QStringList lines = abortingPort.logLines();
        EXPECT_TRUE(lines.contains(loadString(c.failure))) << lines.join('\n').toStdString();
        if (c.newFile) {
            EXPECT_FALSE(QFileInfo::exists(c.target));
        }
    }
}
