// Apply end to end: WIM files made with libwim, applied through the real operation, the
// applied folder compared with the captured tree.
#include "ops/Operations.h"
#include "ops/Text.h"
#include "support/OperationRun.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace oprun;

namespace
{

class ApplyTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        globalContext().progressWindow = nullptr;
        globalContext().abortRequested = false;
    }
    static QStringList logLines()
    {
        QStringList lines = logText().split(QStringLiteral("\r\n"));
        lines.removeLast();
        return lines;
    }
    static bool hasSuccessLine() { return logText().contains(QStringLiteral("WIM 应用成功")); }
    static void expectSameTree(const QString& expectedRoot, const QString& actualRoot)
    {
        const auto expected = wimfix::treeContents(expectedRoot);
        const auto actual = wimfix::treeContents(actualRoot);
        EXPECT_EQ(actual.size(), expected.size());
        for (const auto& [rel, content] : expected) {
            auto it = actual.find(rel);
            if (it == actual.end())
                ADD_FAILURE() << "missing after apply: " << rel.toStdString();
            else
                EXPECT_EQ(it->second, content) << rel.toStdString();
        }
    }

    TempDir dir;
    RecordingPort port;
};

} // namespace

TEST_F(ApplyTest, AppliesTheChosenImageWithItsLogLines)
{
    const QString first = dir.file("first");
    const QString second = dir.file("second");
    wimfix::makeSampleTree(first);
    makeRichTree(second, 40);
    const QString wim = dir.file("two images.wim");
    ASSERT_TRUE(wimfix::makeWim(wim, {{{first, "one"}, {second, "two"}}, 2}));

    OperationRequest& r = freshRequest();
    r.applySource = wim;
    dir.mkdir("目标");
    r.applyTarget = dir.file("out/../目标");
    r.applyIndex = 2;
    r.applyVerify = true;
    ASSERT_TRUE(runOperation(ID_APPLY, port));

    const QString target = dir.file("目标");
    const QStringList lines = logLines();
    const QStringList head = {
        "来源: " + wim,
        "目标: " + target,
        "映像: 2",
        "校验: 开启",
        "检测: 关闭",
        "临时文件数: " + target,
        "",
        "正在打开 WIM...请稍候...",
        "",
    };
    EXPECT_EQ(lines.mid(0, head.size()), head) << logText().toStdString();
    const QString counts = wimfix::imageProperty(wim, 2, "DIRCOUNT");
    const QString files = wimfix::imageProperty(wim, 2, "FILECOUNT");
    EXPECT_TRUE(logText().contains(
        QStringLiteral("\r\n映像包含 %1 个文件夹和 %2 个文件.\r\n正在开始应用...\r\n")
            .arg(counts, files)))
        << logText().toStdString();
    EXPECT_TRUE(lines.last().contains(
        QRegularExpression(QStringLiteral("^(WIM 应用成功\\.\\.|WIM 应用成功,耗时 \\S+\\.)$"))))
        << lines.last().toStdString();
    expectSameTree(second, target);
    EXPECT_EQ(globalContext().folderCount, counts.toUInt());
    EXPECT_EQ(globalContext().fileCount, files.toUInt());
    EXPECT_GT(globalContext().processedCount, 0u);
    EXPECT_EQ(port.itemText(IDC_CLOSE_BUTTON), QStringLiteral("Close"));
    EXPECT_EQ(port.itemText(IDC_COUNT), QString());
}

TEST_F(ApplyTest, LargeSparseFileComesBackWhole)
{
    const QString source = dir.mkdir("src");
    {
        QFile big(source + "/big.img");
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        ASSERT_TRUE(big.resize(300LL * 1024 * 1024));
        big.seek(123456789);
        big.write("a marker in the middle");
        big.seek(big.size() - 4);
        big.write("end!");
    }
    wimfix::makeTree(source, {{"small.txt", "small\n"}});
    OperationRequest& r = freshRequest();
    r.captureSource = source;
    r.captureTarget = dir.file("big.wim");
    ASSERT_TRUE(runOperation(ID_CAPTURE, port));
    ASSERT_TRUE(logText().contains(QStringLiteral("WIM 捕获成功"))) << logText().toStdString();

    r.applySource = r.captureTarget;
    r.applyTarget = dir.mkdir("out");
    ASSERT_TRUE(runOperation(ID_APPLY, port));
    ASSERT_TRUE(hasSuccessLine()) << logText().toStdString();
    EXPECT_EQ(QFileInfo(dir.file("out/big.img")).size(), 300LL * 1024 * 1024);
    EXPECT_EQ(wimfix::fileDigest(dir.file("out/big.img")), wimfix::fileDigest(source + "/big.img"));
    EXPECT_EQ(readFileBytes(dir.file("out/small.txt")), QByteArray("small\n"));
}

TEST_F(ApplyTest, BadInputIsReported)
{
    const QString source = dir.file("src");
    wimfix::makeSampleTree(source);
    const QString wim = dir.file("good.wim");
    ASSERT_TRUE(wimfix::makeWim(wim, {{{source, "one"}, {source, "two"}}}));
    const QByteArray digest = wimfix::fileDigest(wim);
    const QString notWim = dir.write("text.wim", QByteArray("MSWIM\0\0\0 but nothing more", 26));

    const struct {
        const char* name;
        QString wim;
        std::uint32_t index;
        QStringList expected;
    } cases[] = {
        {"missing WIM", dir.file("missing.wim"), 1, {"错误: 打开 WIM 文件失败."}},
        {"not a WIM", notWim, 1, {"错误: 打开 WIM 文件失败."}},
        {"index 0", wim, 0, {"错误:从 WIM 文件中挂载索引 \"0\" 失败."}},
        {"index above the count", wim, 3, {"错误:WIM文件中无索引\"3\""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OperationRequest& r = freshRequest();
        r.applySource = c.wim;
        r.applyIndex = c.index;
        r.applyTarget = dir.mkdir("out");
        ASSERT_TRUE(runOperation(ID_APPLY, port));
        EXPECT_EQ(logLines().mid(logLines().size() - c.expected.size()), c.expected)
            << logText().toStdString();
        EXPECT_FALSE(hasSuccessLine());
        EXPECT_FALSE(QFileInfo::exists(dir.file("out/docs")));
    }
    EXPECT_EQ(wimfix::fileDigest(wim), digest);
}

TEST_F(ApplyTest, ReadOnlyAndFullTargetsFail)
{
    const QString source = dir.file("src");
    wimfix::makeSampleTree(source);
    wimfix::makeTree(source, {{"noise.bin", noiseBytes(6 * 1024 * 1024)}});
    const QString wim = dir.file("noise.wim");
    ASSERT_TRUE(wimfix::makeWim(wim, {{{source, "one"}}}));

    const QString readOnly = dir.mkdir("ro");
    TmpfsMount roMount(readOnly, "ro,size=1m");
    if (!roMount.ok())
        GTEST_SKIP() << roMount.error().toStdString();
    const QString small = dir.mkdir("small");
    TmpfsMount smallMount(small, "size=2m");
    ASSERT_TRUE(smallMount.ok()) << smallMount.error().toStdString();

    for (const QString& target : {readOnly, small}) {
        SCOPED_TRACE(target.toStdString());
        OperationRequest& r = freshRequest();
        r.applySource = wim;
        r.applyTarget = target;
        ASSERT_TRUE(runOperation(ID_APPLY, port));
        EXPECT_FALSE(hasSuccessLine()) << logText().toStdString();
        const QStringList lines = logLines();
        const bool applyFailed = lines.contains(QStringLiteral("错误:应用 WIM 出错.")) &&
                                 lines.last().startsWith(QStringLiteral("错误: "));
        const bool tempRefused = lines.last() == QStringLiteral("错误,临时文件夹不可用.");
        EXPECT_TRUE(applyFailed || tempRefused) << logText().toStdString();
    }
}

TEST_F(ApplyTest, AbortBeforeOpenAndDuringTheApply)
{
    const QString source = dir.file("src");
    makeRichTree(source, 4000);
    const QString wim = dir.file("many.wim");
    ASSERT_TRUE(wimfix::makeWim(wim, {{{source, "many"}}, 2}));

    // An abort requested before the WIM is open stops right after opening it.
    OperationContext& context = globalContext();
    OperationRequest& r = freshRequest();
    r.applySource = wim;
    r.applyTarget = dir.mkdir("early");
    {
        std::lock_guard lock(context.logMutex);
        context.logText.clear();
    }
    context.progressWindow = &port;
    context.abortRequested = true;
    EXPECT_FALSE(RunApply(context));
    context.abortRequested = false;
    EXPECT_EQ(logLines().last(), QStringLiteral("错误:应用 WIM 出错."));
    EXPECT_FALSE(QFileInfo::exists(dir.file("early/many")));

    // Abort once some entries have been written.
    r.applyTarget = dir.mkdir("late");
    AbortWhen abort([](const OperationContext& c) { return c.processedCount >= 50; });
    ASSERT_TRUE(runOperation(ID_APPLY, port));
    ASSERT_TRUE(abort.abortSent());
    const QStringList lines = logLines();
    EXPECT_TRUE(lines.contains(QStringLiteral("错误:应用 WIM 出错."))) << logText().toStdString();
    EXPECT_TRUE(lines.last().startsWith(QStringLiteral("错误: ")));
    EXPECT_FALSE(hasSuccessLine());
    EXPECT_LT(context.processedCount, context.fileCount + context.folderCount);
}
