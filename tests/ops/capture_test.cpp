// Capture and append end to end: real trees, the real imaging layer over libwim, the WIM
// checked with libwim, wimlib-imagex and 7-Zip, and applied back to compare with the source.
#include "ops/Text.h"
#include "support/OperationRun.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace oprun;

namespace {

class CaptureTest : public ::testing::Test {
protected:
    void TearDown() override { globalContext().progressWindow = nullptr; }

    // Source tree minus what the test configuration excludes.
    static std::map<QString, QByteArray> expectedTree(const QString& source)
    {
        auto tree = wimfix::treeContents(source);
        for (const QString& rel : richTreeExcluded())
            tree.erase(rel);
        return tree;
    }
    static QStringList logLines()
    {
        QStringList lines = logText().split(QStringLiteral("\r\n"));
        lines.removeLast(); // the break after the last line
        return lines;
    }
    static bool hasSuccessLine() { return logText().contains(QStringLiteral("WIM 捕获成功")); }

    TempDir dir;
    RecordingPort port;
};

} // namespace

TEST_F(CaptureTest, CaptureApplyAndAppendKeepTheTreeMinusExclusions)
{
    const QString source = dir.file("源 src");
    makeRichTree(source, 300);
    const QString config = dir.write("config/排除.ini", richTreeConfig());
    const QString wim = dir.file("out/映像.wim");
    dir.mkdir("out");

    OperationRequest& r = freshRequest();
    r.captureSource = source;
    r.captureTarget = wim;
    r.captureConfigFile = config;
    r.captureShowConfig = true;
    r.captureName = QStringLiteral("第一个");
    r.captureDescription = QStringLiteral("描述 <&>");
    r.captureDisplayName.clear();
    r.captureFlags = QStringLiteral("Professional");
    ASSERT_TRUE(runOperation(ID_CAPTURE, port));

    const QStringList lines = logLines();
    const QString log = logText();
    EXPECT_EQ(lines.value(0), "来源: " + source);
    EXPECT_EQ(lines.value(1), "目标: " + wim);
    EXPECT_EQ(lines.value(2), QStringLiteral("压缩: 最快"));
    EXPECT_EQ(lines.value(3), QStringLiteral("校验: 关闭"));
    EXPECT_EQ(lines.value(4), QStringLiteral("检测: 关闭"));
    EXPECT_TRUE(lines.contains("配置文件: " + config));
    // The listing: headings of non-empty lists, each pattern as stored (upper case).
    for (const char* expected : {"\r\n\r\n[ExclusionList]\r\n", "\r\n*.BAK\r\nTMP\\*\r\n",
                                 "\r\n\r\n[CompressionExclusionList]\r\n", "\r\n*.MP3\r\n",
                                 "\r\n*.NONE\r\n", "\r\n\r\n[ExclusionException]\r\nKEEP.BAK\r\n"})
        EXPECT_TRUE(log.contains(QString::fromUtf8(expected))) << expected;
    EXPECT_EQ(lines.count(QStringLiteral("正在扫描需要捕获的文件,请稍候...")), 1);
    for (const QString& rel : richTreeExcluded()) {
        const QString path = source + "/" + (rel.endsWith('/') ? rel.chopped(1) : rel);
        const bool insideExcludedFolder = rel == QStringLiteral("tmp/sub/inner.txt");
        EXPECT_EQ(lines.count("\t正在排除: " + path), insideExcludedFolder ? 0 : 1)
            << path.toStdString();
    }
    EXPECT_FALSE(log.contains(QStringLiteral("keep.bak")));
    EXPECT_TRUE(log.contains(QRegularExpression(
        QStringLiteral("包括 \\d+ 个文件夹和 \\d+ 个文件.\r\n正在开始捕获...\r\n\r\n"))));
    EXPECT_TRUE(lines.last().contains(QRegularExpression(
        QStringLiteral("^WIM 捕获成功,(耗时 \\S+ ,)?现在 WIM 中含有 1 个映像\\.$"))))
        << lines.last().toStdString();
    // The count line stays after a capture.
    EXPECT_TRUE(port.itemText(IDC_COUNT).startsWith(QStringLiteral("文件数: ")));

    QString verifyOutput;
    EXPECT_TRUE(wimfix::imagexVerify(wim, &verifyOutput)) << verifyOutput.toStdString();
    QString listing;
    EXPECT_EQ(runProgram("7z", {"l", wim}, &listing), 0) << listing.toStdString();
    EXPECT_TRUE(listing.contains(QString::fromUtf8("𠜎𠜱.txt"))) << listing.toStdString();
    EXPECT_TRUE(listing.contains(QString::fromUtf8("说明文件.txt")));
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "NAME"), QStringLiteral("第一个"));
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "DESCRIPTION"), QStringLiteral("描述 <&>"));
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "FLAGS"), QStringLiteral("Professional"));
    EXPECT_TRUE(wimfix::imageProperty(wim, 1, "DISPLAYNAME").isNull());
    EXPECT_EQ(wimCompression(wim), QStringLiteral("XPRESS"));

    // Apply it back: the source minus the exclusions, names, contents, sizes and links.
    const QString applied = dir.mkdir("applied");
    r.applySource = wim;
    r.applyTarget = applied;
    port.clear();
    ASSERT_TRUE(runOperation(ID_APPLY, port));
    const QString applyLog = logText();
    EXPECT_TRUE(applyLog.contains(QStringLiteral("WIM 应用成功"))) << applyLog.toStdString();
    EXPECT_TRUE(applyLog.contains("临时文件数: " + applied));
    const auto expected = expectedTree(source);
    const auto actual = wimfix::treeContents(applied);
    EXPECT_EQ(actual.size(), expected.size());
    for (const auto& [rel, content] : expected) {
        auto it = actual.find(rel);
        if (it == actual.end()) {
            ADD_FAILURE() << "missing after apply: " << rel.toStdString();
            continue;
        }
        EXPECT_EQ(it->second, content) << rel.toStdString();
    }
    EXPECT_EQ(port.itemText(IDC_COUNT), QString()); // apply empties its count line

    // Append a second image, bootable: the final line counts both.
    r.captureName = QStringLiteral("second");
    r.captureFlags.clear();
    r.captureBootable = true;
    r.captureShowConfig = false;
    port.clear();
    ASSERT_TRUE(runOperation(ID_APPEND, port));
    EXPECT_TRUE(logLines().last().contains(QStringLiteral("现在 WIM 中含有 2 个映像")))
        << logText().toStdString();
    EXPECT_FALSE(logText().contains(QStringLiteral("[ExclusionList]")));
    EXPECT_EQ(wimfix::imageCount(wim), 2);
    EXPECT_EQ(wimfix::bootIndex(wim), 2);
    EXPECT_EQ(wimfix::imageProperty(wim, 2, "NAME"), QStringLiteral("second"));
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "NAME"), QStringLiteral("第一个"));
    EXPECT_TRUE(wimfix::imagexVerify(wim));
}

TEST_F(CaptureTest, CompressionTextChoosesTheWimCompression)
{
    const QString source = dir.file("src");
    wimfix::makeSampleTree(source);
    const struct {
        QString text;
        QString logLine;
        QString compression;
    } cases[] = {
        {"无", "压缩: 无", "None"},
        {"快速", "压缩: 最快", "XPRESS"},
        {"最大", "压缩: 最大", "LZX"},
        {"something else", "压缩: 最快", "XPRESS"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        OperationRequest& r = freshRequest();
        r.captureSource = source;
        r.captureTarget = dir.file(QStringLiteral("c%1.wim").arg(n++));
        r.captureCompression = c.text;
        r.captureCheck = true;
        ASSERT_TRUE(runOperation(ID_CAPTURE, port));
        const QStringList lines = logLines();
        EXPECT_EQ(lines.value(2), c.logLine);
        EXPECT_EQ(lines.value(4), QStringLiteral("检测: 开启"));
        EXPECT_TRUE(logText().contains(QStringLiteral("\r\n正在添加整体信息,请稍候...\r\n\r\n")));
        EXPECT_TRUE(hasSuccessLine()) << logText().toStdString();
        EXPECT_EQ(wimCompression(r.captureTarget), c.compression);
        EXPECT_TRUE(wimfix::imagexVerify(r.captureTarget));
    }
}

// The source folder is always captured, also when a pattern matches the folder itself: the
// patterns decide about the entries the scan meets in it.
TEST_F(CaptureTest, ASourceFolderThatMatchesAPatternIsStillCaptured)
{
    const QString volume = dir.mkdir("vol");
    TmpfsMount mounted(volume, "size=1m"); // a volume of its own for the built-in patterns
    const struct {
        const char* what;
        const char* config; // nullptr: no configuration file
        QString source;
        int files; // FILECOUNT of the image
    } cases[] = {
        {"a lone *", "[ExclusionList]\n*\n[ExclusionException]\nkept.txt\n", dir.file("a/src"), 1},
        {"Temp\\* and a source below a Temp folder", "[ExclusionList]\nTemp\\*\n",
         dir.file("b/Temp/Sub"), 2},
        {"the built-in \\$Recycle.Bin\\*", nullptr, volume + "/$Recycle.Bin/S-1-5", 2},
    };
    int n = 0;
    bool skipped = false;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.config && !mounted.ok()) {
            skipped = true;
            continue;
        }
        dir.write(c.source.mid(dir.path().size() + 1) + "/kept.txt", "kept");
        dir.write(c.source.mid(dir.path().size() + 1) + "/other.txt", "other");
        OperationRequest& r = freshRequest();
        r.captureSource = c.source;
        r.captureTarget = dir.file(QStringLiteral("s%1.wim").arg(n++));
        r.captureConfigFile =
            c.config ? dir.write(QStringLiteral("c%1.ini").arg(n), c.config) : QString();
        port.clear();
        ASSERT_TRUE(runOperation(ID_CAPTURE, port));
        EXPECT_TRUE(hasSuccessLine()) << logText().toStdString();
        EXPECT_FALSE(logLines().contains("\t正在排除: " + c.source)) << logText().toStdString();
        EXPECT_EQ(wimfix::imageProperty(r.captureTarget, 1, "FILECOUNT"), QString::number(c.files));
    }
    if (skipped)
        GTEST_SKIP() << "the built-in pattern case: " << mounted.error().toStdString();
}

TEST_F(CaptureTest, TemporaryFolderFallsBackToTheTargetFolder)
{
    const QString source = dir.file("src");
    wimfix::makeSampleTree(source);
    OperationRequest& r = freshRequest();
    r.captureSource = source;
    r.captureTarget = dir.file("t.wim");
    r.captureTempFolder = dir.file("no such folder");
    ASSERT_TRUE(runOperation(ID_CAPTURE, port));
    EXPECT_TRUE(logLines().contains("临时文件数: " + dir.path() + "/"));
    EXPECT_TRUE(hasSuccessLine());

    // Without a temporary folder the source is probed, and the probe leaves nothing behind.
    r.captureTempFolder.clear();
    r.captureTarget = dir.file("t2.wim");
    ASSERT_TRUE(runOperation(ID_CAPTURE, port));
    EXPECT_TRUE(logLines().contains("临时文件数: " + source));
    EXPECT_TRUE(QDir(source).entryList({"OFL*"}, QDir::Files).isEmpty());
}

TEST_F(CaptureTest, ConfigurationFilesInOtherEncodingsStillExclude)
{
    const QString source = dir.file("src");
    makeRichTree(source);
    const QString text = QString::fromLatin1(richTreeConfig());
    QByteArray utf16 = QByteArray("\xFF\xFE", 2);
    for (QChar c : text) {
        utf16.append(char(c.unicode() & 0xFF));
        utf16.append(char(c.unicode() >> 8));
    }
    const struct {
        const char* name;
        QByteArray bytes;
    } cases[] = {
        {"utf16.ini", utf16},
        {"utf8bom.ini", QByteArray("\xEF\xBB\xBF") + richTreeConfig()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OperationRequest& r = freshRequest();
        r.captureSource = source;
        r.captureTarget = dir.file(QString::fromLatin1(c.name) + ".wim");
        r.captureConfigFile = dir.write(QString::fromLatin1(c.name), c.bytes);
        ASSERT_TRUE(runOperation(ID_CAPTURE, port));
        EXPECT_TRUE(hasSuccessLine()) << logText().toStdString();
        EXPECT_TRUE(logText().contains("\t正在排除: " + source + "/old/notes.bak"));
        const QStringList paths = wimfix::imagePaths(r.captureTarget, 1);
        EXPECT_FALSE(paths.contains("old/notes.bak"));
        EXPECT_FALSE(paths.contains("tmp/scratch.txt"));
        EXPECT_TRUE(paths.contains("keep.bak"));
    }
}

TEST_F(CaptureTest, BadInputIsReportedAndLosesNothing)
{
    const QString source = dir.file("src");
    wimfix::makeSampleTree(source);
    const QString existing = dir.file("existing.wim");
    ASSERT_TRUE(wimfix::makeWim(existing, {{{source, "old one"}}}));
    const QByteArray existingDigest = wimfix::fileDigest(existing);
    const QString notWim = dir.write("not-a-wim.wim", "this is only text\n");
    const QString fresh = dir.file("fresh.wim");

    const struct {
        const char* name;
        int id;
        QString source;
        QString target;
        QString config;
        QStringList expectedLines;
        QString untouched; // a file that must keep its bytes
        QString absent;    // a file that must not appear
    } cases[] = {
        {"missing source, new WIM",
         ID_CAPTURE,
         dir.file("nothing here"),
         fresh,
         {},
         {"错误:捕获 WIM 出错."},
         {},
         {}},
        {"empty source", ID_CAPTURE, {}, fresh, {}, {"错误:捕获 WIM 出错."}, {}, {}},
        {"empty target", ID_CAPTURE, source, {}, {}, {"错误:不能写入到 \"\"."}, {}, {}},
        {"missing source, append",
         ID_APPEND,
         dir.file("nothing here"),
         existing,
         {},
         {"错误:捕获 WIM 出错."},
         existing,
         {}},
        {"append to a missing WIM",
         ID_APPEND,
         source,
         dir.file("missing.wim"),
         {},
         {"错误:不能写入到 \"" + dir.file("missing.wim") + "\"."},
         {},
         dir.file("missing.wim")},
        {"append to a file that is no WIM",
         ID_APPEND,
         source,
         notWim,
         {},
         {"错误:不能写入到 \"" + notWim + "\"."},
         notWim,
         {}},
        {"configuration file missing",
         ID_APPEND,
         source,
         existing,
         dir.file("none.ini"),
         {"配置文件: " + dir.file("none.ini"), "错误:不能读取配置文件"},
         existing,
         {}},
        {"configuration file unreadable",
         ID_CAPTURE,
         source,
         fresh,
         dir.path(),
         {"配置文件: " + dir.path(), "错误:不能读取配置文件"},
         {},
         fresh},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(fresh);
        OperationRequest& r = freshRequest();
        r.captureSource = c.source;
        r.captureTarget = c.target;
        r.captureConfigFile = c.config;
        const QByteArray before =
            c.untouched.isEmpty() ? QByteArray() : wimfix::fileDigest(c.untouched);
        ASSERT_TRUE(runOperation(c.id, port));
        const QStringList lines = logLines();
        for (const QString& expected : c.expectedLines) {
            EXPECT_TRUE(lines.contains(expected)) << expected.toStdString() << "\n"
                                                  << logText().toStdString();
        }
        if (c.expectedLines.contains(QStringLiteral("错误:捕获 WIM 出错."))) {
            EXPECT_TRUE(lines.last().startsWith(QStringLiteral("错误: ")))
                << logText().toStdString();
        }
        EXPECT_FALSE(hasSuccessLine());
        if (!c.untouched.isEmpty()) {
            EXPECT_EQ(wimfix::fileDigest(c.untouched), before);
        }
        if (!c.absent.isEmpty()) {
            EXPECT_FALSE(QFileInfo::exists(c.absent));
        }
    }
    EXPECT_EQ(wimfix::fileDigest(existing), existingDigest);
    EXPECT_EQ(wimfix::imageCount(existing), 1);
}

TEST_F(CaptureTest, ReadOnlyAndFullTargetsFailWithoutDamage)
{
    const QString source = dir.file("src");
    wimfix::makeSampleTree(source);
    wimfix::makeTree(source, {{"big/noise.bin", noiseBytes(6 * 1024 * 1024)}});

    const QString readOnly = dir.mkdir("ro");
    TmpfsMount roMount(readOnly, "ro,size=1m");
    if (!roMount.ok())
        GTEST_SKIP() << roMount.error().toStdString();
    OperationRequest& r = freshRequest();
    r.captureSource = source;
    r.captureTarget = readOnly + "/new.wim";
    ASSERT_TRUE(runOperation(ID_CAPTURE, port));
    EXPECT_FALSE(hasSuccessLine()) << logText().toStdString();
    EXPECT_TRUE(logText().contains(QStringLiteral("错误"))) << logText().toStdString();
    EXPECT_FALSE(QFileInfo::exists(r.captureTarget));

    // A disk that fills up: a new WIM and an append to a WIM that is already there.
    const QString small = dir.mkdir("small");
    TmpfsMount smallMount(small, "size=2m");
    ASSERT_TRUE(smallMount.ok()) << smallMount.error().toStdString();
    const QString tiny = dir.file("tiny");
    wimfix::makeTree(tiny, {{"a.txt", "a\n"}});
    const QString existing = small + "/existing.wim";
    ASSERT_TRUE(wimfix::makeWim(existing, {{{tiny, "tiny"}}}));
    const QStringList formerPaths = wimfix::imagePaths(existing, 1);

    for (int id : {ID_CAPTURE, ID_APPEND}) {
        SCOPED_TRACE(id);
        r = OperationRequest{};
        resetRequestDefaults(r);
        r.captureSource = source;
        r.captureCompression = QStringLiteral("无");
        r.captureTarget = id == ID_CAPTURE ? small + "/full.wim" : existing;
        ASSERT_TRUE(runOperation(id, port));
        EXPECT_FALSE(hasSuccessLine()) << logText().toStdString();
        EXPECT_TRUE(logLines().last().startsWith(QStringLiteral("错误: ")))
            << logText().toStdString();
        QFile::remove(small + "/full.wim");
    }
    EXPECT_TRUE(wimfix::imagexVerify(existing));
    EXPECT_EQ(wimfix::imageCount(existing), 1);
    EXPECT_EQ(wimfix::imagePaths(existing, 1), formerPaths);
}

TEST_F(CaptureTest, AbortStopsCaptureAndAppendAndKeepsTheExistingWim)
{
    const QString source = dir.file("src");
    makeRichTree(source, 4000);
    const QString existing = dir.file("existing.wim");
    const QString tiny = dir.file("tiny");
    wimfix::makeTree(tiny, {{"a.txt", "a\n"}, {"b/c.txt", "c\n"}});
    ASSERT_TRUE(wimfix::makeWim(existing, {{{tiny, "one"}, {tiny, "two"}}}));
    const QStringList formerPaths = wimfix::imagePaths(existing, 2);

    for (int id : {ID_CAPTURE, ID_APPEND}) {
        SCOPED_TRACE(id);
        OperationRequest& r = freshRequest();
        r.captureSource = source;
        r.captureCompression = QStringLiteral("最大");
        r.captureTarget = id == ID_CAPTURE ? dir.file("aborted.wim") : existing;
        port.clear();
        {
            AbortWhen abort([](const OperationContext& c) {
                return c.fileCount != 0 && c.processedCount >= 50;
            });
            ASSERT_TRUE(runOperation(id, port));
            ASSERT_TRUE(abort.abortSent()) << "the capture ended before the abort";
        }
        const QStringList lines = logLines();
        EXPECT_TRUE(lines.contains(QStringLiteral("正在终止映像操作...请稍候...")));
        EXPECT_TRUE(lines.contains(QStringLiteral("错误:捕获 WIM 出错.")))
            << logText().toStdString();
        EXPECT_TRUE(lines.last().startsWith(QStringLiteral("错误: ")));
        EXPECT_FALSE(hasSuccessLine());
        EXPECT_LT(globalContext().processedCount, globalContext().fileCount);
        EXPECT_EQ(port.itemText(IDC_CLOSE_BUTTON), QStringLiteral("关闭"));
    }
    QString output;
    EXPECT_TRUE(wimfix::imagexVerify(existing, &output)) << output.toStdString();
    EXPECT_EQ(wimfix::imageCount(existing), 2);
    EXPECT_EQ(wimfix::imagePaths(existing, 2), formerPaths);
}

TEST_F(CaptureTest, FailedCommitAtTheEndIsReportedInsteadOfSuccess)
{
    const QString source = dir.file("src");
    wimfix::makeSampleTree(source, 200);
    const QString small = dir.mkdir("small");
    TmpfsMount mount(small, "size=4m");
    if (!mount.ok())
        GTEST_SKIP() << mount.error().toStdString();

    // The integrity table and the new information are written when the WIM is closed;
    // the disk is full by then.
    FillDiskOnLine full(QStringLiteral("正在添加整体信息,请稍候...\r\n"), small);
    OperationRequest& r = freshRequest();
    r.captureSource = source;
    r.captureTarget = small + "/x.wim";
    r.captureCheck = true;
    r.captureName = QString(64 * 1024, QLatin1Char('n')); // more than the file's slack
    ASSERT_TRUE(runOperation(ID_CAPTURE, full));
    ASSERT_TRUE(full.filled());
    EXPECT_FALSE(hasSuccessLine()) << logText().toStdString();
    EXPECT_TRUE(logLines().last().startsWith(QStringLiteral("错误: "))) << logText().toStdString();
    EXPECT_NE(logLines().last(), QStringLiteral("错误: ???"));
}
