// Export end to end: images copied between WIM files made with libwim, the destination
// checked with libwim, wimlib-imagex and 7-Zip, the source left as it was.
#include "ops/Operations.h"
#include "ops/Text.h"
#include "support/OperationRun.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <iostream>

using namespace oprun;

namespace {

// The system's temporary folder as the platform reports it ($TMPDIR or /tmp, with a '/').
QString systemTempPath()
{
    QString path = qEnvironmentVariable("TMPDIR");
    if (path.isEmpty())
        path = QStringLiteral("/tmp");
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

class ExportTest : public ::testing::Test {
protected:
    void TearDown() override { globalContext().progressWindow = nullptr; }
    static QStringList logLines()
    {
        QStringList lines = logText().split(QStringLiteral("\r\n"));
        lines.removeLast();
        return lines;
    }
    static bool hasSuccessLine()
    {
        return logText().contains(QRegularExpression(QStringLiteral("WIM (文件)?导出成功")));
    }

    TempDir dir;
    RecordingPort port;
};

} // namespace

TEST_F(ExportTest, ExportsIntoANewAndAnExistingDestination)
{
    const QString first = dir.file("first");
    const QString second = dir.file("second");
    wimfix::makeSampleTree(first);
    makeRichTree(second, 50);
    const QString source = dir.file("source.wim");
    ASSERT_TRUE(wimfix::makeWim(source, {{{first, "one"}, {second, "two", "second image"}}, 2}));
    const QByteArray sourceDigest = wimfix::fileDigest(source);
    const QString target = dir.file("新的/导出.wim");
    dir.mkdir("新的");

    OperationRequest& r = freshRequest();
    r.exportSource = source;
    r.exportTarget = target;
    r.exportIndex = 2;
    r.exportName = QStringLiteral("新名称");
    r.exportCompression = QStringLiteral("无");
    r.exportBootable = true;
    ASSERT_TRUE(runOperation(ID_EXPORT, port));

    const QStringList lines = logLines();
    const QStringList head = {
        "来源: " + source,
        "映像: 2",
        "目标: " + target,
        "压缩: 无",
        "检测: 关闭",
        "临时文件数: " + systemTempPath(),
        "",
        "正在打开 WIM...请稍候...",
        "",
        "正在从 WIM 文件中导出映像索引 \"2\" ...",
        "正在更改名称: 新名称",
    };
    EXPECT_EQ(lines.mid(0, head.size()), head) << logText().toStdString();
    EXPECT_TRUE(lines.last().contains(
        QRegularExpression(QStringLiteral("^(WIM 文件导出成功\\.|WIM 导出成功,耗时 \\S+\\.)$"))))
        << lines.last().toStdString();
    EXPECT_EQ(wimfix::imageCount(target), 1);
    EXPECT_EQ(wimfix::imageProperty(target, 1, "NAME"), QStringLiteral("新名称"));
    EXPECT_EQ(wimfix::imageProperty(target, 1, "DESCRIPTION"), QStringLiteral("second image"));
    EXPECT_EQ(wimfix::bootIndex(target), 1);
    EXPECT_EQ(wimCompression(target), QStringLiteral("None"));
    EXPECT_EQ(wimfix::imagePaths(target, 1), wimfix::imagePaths(source, 2));
    QString output;
    EXPECT_TRUE(wimfix::imagexVerify(target, &output)) << output.toStdString();
    EXPECT_EQ(runProgram("7z", {"l", target}, &output), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QString::fromUtf8("𠜎𠜱.txt")));
    EXPECT_EQ(wimfix::fileDigest(source), sourceDigest);
    EXPECT_EQ(port.itemText(IDC_CLOSE_BUTTON), QStringLiteral("Close"));

    // The same image again, and the first: duplicates are added; the destination keeps its
    // compression and its boot image.
    r.exportName.clear();
    r.exportBootable = false;
    r.exportCompression = QStringLiteral("最大");
    r.exportCheck = true;
    for (std::uint32_t index : {2u, 1u}) {
        r.exportIndex = index;
        ASSERT_TRUE(runOperation(ID_EXPORT, port));
        EXPECT_TRUE(hasSuccessLine()) << logText().toStdString();
        EXPECT_FALSE(logText().contains(QStringLiteral("正在更改名称")));
        EXPECT_TRUE(logText().contains(QStringLiteral("\r\n正在添加整体信息,请稍候...\r\n\r\n")));
    }
    EXPECT_EQ(wimfix::imageCount(target), 3);
    EXPECT_EQ(wimfix::imageProperty(target, 2, "NAME"), QStringLiteral("two"));
    EXPECT_EQ(wimfix::imageProperty(target, 3, "NAME"), QStringLiteral("one"));
    EXPECT_EQ(wimfix::bootIndex(target), 1);
    EXPECT_EQ(wimCompression(target), QStringLiteral("None"));
    EXPECT_TRUE(wimfix::imagexVerify(target, &output)) << output.toStdString();
    EXPECT_EQ(wimfix::fileDigest(source), sourceDigest);
}

TEST_F(ExportTest, BadInputIsReportedAndLosesNothing)
{
    const QString tree = dir.file("tree");
    wimfix::makeSampleTree(tree);
    const QString source = dir.file("source.wim");
    ASSERT_TRUE(wimfix::makeWim(source, {{{tree, "one"}}}));
    const QString existing = dir.file("existing.wim");
    ASSERT_TRUE(wimfix::makeWim(existing, {{{tree, "kept"}}}));
    const QString notWim = dir.write("notes.wim", "not a WIM at all\n");
    const QString readOnly = dir.mkdir("ro");
    TmpfsMount roMount(readOnly, "ro,size=1m");

    const QString open = QStringLiteral("错误: 打开 WIM 文件失败.");
    const struct {
        const char* name;
        QString source;
        QString target;
        std::uint32_t index;
        QString expectedLast;
    } cases[] = {
        {"missing source", dir.file("missing.wim"), existing, 1, open},
        {"source is no WIM", notWim, existing, 1, open},
        {"index above the count", source, existing, 2, "错误:WIM文件中无索引\"2\""},
        {"index 0", source, existing, 0, "错误:从 WIM 文件中挂载索引 \"0\" 失败."},
        {"destination is no WIM", source, notWim, 1, open},
        {"destination folder missing", source, dir.file("no/such/dir.wim"), 1, open},
        {"destination read-only", source, readOnly + "/x.wim", 1, open},
    };
    const QByteArray sourceDigest = wimfix::fileDigest(source);
    const QByteArray existingDigest = wimfix::fileDigest(existing);
    const QByteArray notWimBytes = readFileBytes(notWim);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.target.startsWith(readOnly) && !roMount.ok()) {
            std::cout << "skipped: " << roMount.error().toStdString() << "\n";
            continue;
        }
        OperationRequest& r = freshRequest();
        r.exportSource = c.source;
        r.exportTarget = c.target;
        r.exportIndex = c.index;
        ASSERT_TRUE(runOperation(ID_EXPORT, port));
        EXPECT_EQ(logLines().last(), c.expectedLast) << logText().toStdString();
        EXPECT_FALSE(hasSuccessLine());
    }
    EXPECT_EQ(wimfix::fileDigest(source), sourceDigest);
    EXPECT_EQ(wimfix::fileDigest(existing), existingDigest);
    EXPECT_EQ(readFileBytes(notWim), notWimBytes);
    EXPECT_FALSE(QFileInfo::exists(readOnly + "/x.wim"));
}

TEST_F(ExportTest, AbortAndFullDiskKeepTheDestinationsImages)
{
    const QString tree = dir.file("tree");
    makeRichTree(tree, 4000);
    wimfix::makeTree(tree, {{"noise.bin", noiseBytes(6 * 1024 * 1024)}});
    const QString source = dir.file("source.wim");
    ASSERT_TRUE(wimfix::makeWim(source, {{{tree, "many"}}, 2}));
    const QString tiny = dir.file("tiny");
    wimfix::makeTree(tiny, {{"a.txt", "a\n"}});

    const QString small = dir.mkdir("small");
    TmpfsMount smallMount(small, "size=2m");
    struct Case {
        const char* name;
        QString destination;
        bool abort;
    };
    std::vector<Case> cases = {{"abort", dir.file("dest.wim"), true}};
    if (smallMount.ok())
        cases.push_back({"disk full", small + "/dest.wim", false});
    else
        std::cout << "full-disk case skipped: " << smallMount.error().toStdString() << "\n";

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(wimfix::makeWim(c.destination, {{{tiny, "first"}, {tiny, "second"}}}));
        const QStringList formerPaths = wimfix::imagePaths(c.destination, 2);
        OperationRequest& r = freshRequest();
        r.exportSource = source;
        r.exportTarget = c.destination;
        r.exportName = QStringLiteral("never");
        {
            AbortWhen abort(
                [&c](const OperationContext& ctx) { return c.abort && ctx.processedCount >= 20; });
            ASSERT_TRUE(runOperation(ID_EXPORT, port));
            EXPECT_EQ(abort.abortSent(), c.abort);
        }
        const QStringList lines = logLines();
        EXPECT_FALSE(hasSuccessLine()) << logText().toStdString();
        EXPECT_TRUE(lines.last().startsWith(QStringLiteral("错误: "))) << logText().toStdString();
        if (c.abort) {
            EXPECT_TRUE(lines.contains(QStringLiteral("错误:导出 WIM 出错.")));
        }
        QString output;
        EXPECT_TRUE(wimfix::imagexVerify(c.destination, &output)) << output.toStdString();
        EXPECT_EQ(wimfix::imageCount(c.destination), 2);
        EXPECT_EQ(wimfix::imagePaths(c.destination, 2), formerPaths);
    }
}

TEST_F(ExportTest, ExportIntoTheSourceFileAddsADuplicateOrFailsCleanly)
{
    const QString tree = dir.file("tree");
    makeRichTree(tree, 20);
    const QString wim = dir.file("self.wim");
    ASSERT_TRUE(wimfix::makeWim(wim, {{{tree, "only"}}}));
    const QStringList paths = wimfix::imagePaths(wim, 1);

    OperationRequest& r = freshRequest();
    r.exportSource = wim;
    r.exportTarget = dir.file("./self.wim");
    ASSERT_TRUE(runOperation(ID_EXPORT, port));
    QString output;
    EXPECT_TRUE(wimfix::imagexVerify(wim, &output)) << output.toStdString();
    EXPECT_EQ(wimfix::imagePaths(wim, 1), paths);
    if (hasSuccessLine()) {
        EXPECT_EQ(wimfix::imageCount(wim), 2);
        EXPECT_EQ(wimfix::imagePaths(wim, 2), paths);
    } else {
        EXPECT_EQ(wimfix::imageCount(wim), 1);
        EXPECT_TRUE(logLines().last().startsWith(QStringLiteral("错误")))
            << logText().toStdString();
    }
}

TEST_F(ExportTest, AbortRequestedBeforeTheExportLeavesTheDestinationAlone)
{
    const QString tree = dir.file("tree");
    wimfix::makeSampleTree(tree);
    const QString source = dir.file("source.wim");
    ASSERT_TRUE(wimfix::makeWim(source, {{{tree, "one"}}}));
    const QString existing = dir.file("existing.wim");
    ASSERT_TRUE(wimfix::makeWim(existing, {{{tree, "kept"}}}));
    const QByteArray digest = wimfix::fileDigest(existing);

    OperationContext& context = globalContext();
    OperationRequest& r = freshRequest();
    r.exportSource = source;
    for (const QString& target : {existing, dir.file("new.wim")}) {
        SCOPED_TRACE(target.toStdString());
        r.exportTarget = target;
        {
            std::lock_guard lock(context.logMutex);
            context.logText.clear();
        }
        context.progressWindow = &port;
        context.abortRequested = true;
        EXPECT_FALSE(RunExport(context));
        context.abortRequested = false;
        EXPECT_EQ(logLines().last(), QStringLiteral("错误:导出 WIM 出错."));
    }
    EXPECT_EQ(wimfix::fileDigest(existing), digest);
    EXPECT_NE(wimfix::imageCount(dir.file("new.wim")), 1);
}

TEST_F(ExportTest, FailedCommitAtTheEndIsReportedInsteadOfSuccess)
{
    const QString tree = dir.file("tree");
    wimfix::makeSampleTree(tree, 200);
    const QString source = dir.file("source.wim");
    ASSERT_TRUE(wimfix::makeWim(source, {{{tree, "one"}}}));
    const QString small = dir.mkdir("small");
    TmpfsMount mount(small, "size=4m");
    if (!mount.ok())
        GTEST_SKIP() << mount.error().toStdString();
    const QString destination = small + "/dest.wim";
    ASSERT_TRUE(wimfix::makeWim(destination, {{{tree, "kept"}}}));

    FillDiskOnLine full(QStringLiteral("正在添加整体信息,请稍候...\r\n"), small);
    OperationRequest& r = freshRequest();
    r.exportSource = source;
    r.exportTarget = destination;
    r.exportCheck = true;
    r.exportName = QString(64 * 1024, QLatin1Char('n')); // more than the file's slack
    ASSERT_TRUE(runOperation(ID_EXPORT, full));
    ASSERT_TRUE(full.filled());
    EXPECT_FALSE(hasSuccessLine()) << logText().toStdString();
    EXPECT_TRUE(logLines().last().startsWith(QStringLiteral("错误: "))) << logText().toStdString();
    QFile::remove(small + "/filler");
    QString output;
    EXPECT_TRUE(wimfix::imagexVerify(destination, &output)) << output.toStdString();
    EXPECT_EQ(wimfix::imageProperty(destination, 1, "NAME"), QStringLiteral("kept"));
}
