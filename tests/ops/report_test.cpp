// The information report over real WIM files written by libwim at test time.
#include "meta/WimPatch.h"
#include "ops/WimReport.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

namespace
{

// The file's GUID as the platform writes it, from wimlib-imagex's byte-order hex dump.
QString imagexGuid(const QString& wimPath)
{
    QString output;
    if (runProgram(QStringLiteral("wimlib-imagex"), {QStringLiteral("info"), wimPath}, &output) !=
        0)
        return {};
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("GUID:\\s+0x([0-9a-fA-F]{32})")).match(output);
    if (!m.hasMatch())
        return {};
    const QString hex = m.captured(1).toUpper();
    auto bytes = [&hex](std::initializer_list<int> order) {
        QString s;
        for (int i : order)
            s += hex.mid(i * 2, 2);
        return s;
    };
    return QStringLiteral("{%1-%2-%3-%4-%5}")
        .arg(bytes({3, 2, 1, 0}), bytes({5, 4}), bytes({7, 6}), bytes({8, 9}),
             bytes({10, 11, 12, 13, 14, 15}));
}

QString sizeLine(const QString& wimPath, int image)
{
    const qint64 bytes =
        wimfix::imageProperty(wimPath, image, QStringLiteral("TOTALBYTES")).toLongLong();
    return reportSizeText(bytes);
}

QString countLines(const QString& wimPath, int image)
{
    return QStringLiteral("文件数:\t\t%1\r\n文件夹数:\t\t%2\r\n展开大小:\t")
               .arg(wimfix::imageProperty(wimPath, image, QStringLiteral("FILECOUNT")).toInt())
               .arg(wimfix::imageProperty(wimPath, image, QStringLiteral("DIRCOUNT")).toInt()) +
           sizeLine(wimPath, image);
}

class ReportTest : public testing::Test
{
protected:
    TempDir dir;
    QString source;
    void SetUp() override
    {
        source = dir.mkdir(QStringLiteral("tree"));
        wimfix::makeSampleTree(source);
    }
};

// libwim marks captured images for reparse-point fix-ups, so its files carry RP_FIX.
TEST_F(ReportTest, TwoImagesWithoutBootImage)
{
    const QString wim = dir.file(QStringLiteral("two.wim"));
    wimfix::WimRecipe recipe;
    recipe.compression = 1;
    recipe.images.push_back({source,
                           QStringLiteral("第一个 & <one>"),
                           QStringLiteral("desc one"),
                           {{QStringLiteral("FLAGS"), QStringLiteral("Professional")}}});
    recipe.images.push_back({source, QStringLiteral("second"), QString(), {}});
    ASSERT_TRUE(wimfix::makeWim(wim, recipe));

    int xmlErrors = 0;
    const QString report = buildWimReport(wim, [&xmlErrors] { ++xmlErrors; });
    EXPECT_EQ(xmlErrors, 0);

    const QString guid = imagexGuid(wim);
    ASSERT_FALSE(guid.isEmpty());
    const QString expectedHead =
        QStringLiteral("WIM 信息:\r\n---------------------\r\n"
                       "GUID:\t\t%1\r\n"
                       "映像数:\t2\r\n"
                       "压缩:\tXPRESS\r\n"
                       "部分编号:\t1/1\r\n"
                       "属性:\t0x8\r\n\t\tRP_FIX\r\n")
            .arg(guid) +
        QStringLiteral("\r\n映像索引: 1\r\n-------------------\r\n"
                       "名称:\t\t第一个 & <one>\r\n"
                       "描述:\tdesc one\r\n"
                       "标识:\t\tProfessional\r\n") +
        countLines(wim, 1) +
        QStringLiteral("\r\n映像索引: 2\r\n-------------------\r\n"
                       "名称:\t\tsecond\r\n") +
        countLines(wim, 2) +
        QStringLiteral("\r\n\r\nWIM XML 信息:\r\n---------------------------\r\n");
    ASSERT_TRUE(report.startsWith(expectedHead)) << report.toStdString();

    // The raw XML follows unparsed, byte order mark included, with the stored names.
    const QString xml = report.mid(expectedHead.size());
    EXPECT_TRUE(xml.startsWith(QChar(0xFEFF)));
    EXPECT_TRUE(xml.contains(QStringLiteral("<WIM>")));
    EXPECT_TRUE(xml.contains(QStringLiteral("第一个 &amp; &lt;one&gt;")));
    EXPECT_EQ(xml.count(QStringLiteral("<IMAGE")), 2);
    EXPECT_NE(countLines(wim, 1).left(8), QStringLiteral("文件数:\t\t0"));
}

TEST_F(ReportTest, IntegrityBootIndexAndLzx)
{
    const QString wim = dir.file(QStringLiteral("checked.wim"));
    wimfix::WimRecipe recipe;
    recipe.compression = 2;
    recipe.integrity = true;
    recipe.bootIndex = 2;
    recipe.images.push_back({source, QStringLiteral("a"), QString(), {}});
    recipe.images.push_back({source, QStringLiteral("b"), QString(), {}});
    ASSERT_TRUE(wimfix::makeWim(wim, recipe));

    const QString report = buildWimReport(wim);
    EXPECT_TRUE(report.contains(
        QStringLiteral("映像数:\t2\r\n压缩:\tLZX\r\n部分编号:\t1/1\r\n"
                       "引导索引:\t2\r\n属性:\t0xC\r\n\t\tVERIFY_DATA\r\n\t\tRP_FIX\r\n"
                       "\r\n映像索引: 1\r\n")))
        << report.toStdString();
}

TEST_F(ReportTest, UncompressedImageWithoutTexts)
{
    const QString wim = dir.file(QStringLiteral("plain.wim"));
    wimfix::WimRecipe recipe;
    recipe.compression = 0;
    recipe.images.push_back({source, QString(), QString(), {}});
    ASSERT_TRUE(wimfix::makeWim(wim, recipe));

    const QString report = buildWimReport(wim);
    EXPECT_TRUE(report.contains(QStringLiteral("压缩:\tNone\r\n")));
    // No name, description or flags lines: the counts follow the heading directly.
    EXPECT_TRUE(report.contains(QStringLiteral("映像索引: 1\r\n-------------------\r\n") +
                                countLines(wim, 1)))
        << report.toStdString();
}

// An image whose information mixes text and elements: the XML error hook runs once for it,
// its section shows no texts and zero counts, and the other image is reported normally.
TEST_F(ReportTest, ImageWithUnparsableXml)
{
    const QString wim = dir.file(QStringLiteral("mixed.wim"));
    wimfix::WimRecipe recipe;
    recipe.images.push_back({source, QStringLiteral("QQQQQQ"), QStringLiteral("d"), {}});
    recipe.images.push_back({source, QStringLiteral("good"), QString(), {}});
    ASSERT_TRUE(wimfix::makeWim(wim, recipe));
    ASSERT_TRUE(patchUtf16(wim, QStringLiteral("QQQQQQ"), QStringLiteral("x<B/>y")));
    ASSERT_EQ(wimfix::imageCount(wim), 2);

    int xmlErrors = 0;
    const QString report = buildWimReport(wim, [&xmlErrors] { ++xmlErrors; });
    EXPECT_EQ(xmlErrors, 1);
    EXPECT_TRUE(report.contains(QStringLiteral("映像索引: 1\r\n-------------------\r\n"
                                               "文件数:\t\t0\r\n文件夹数:\t\t0\r\n"
                                               "展开大小:\t0 Bytes\r\n\r\n映像索引: 2\r\n")))
        << report.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral("名称:\t\tgood\r\n")));
}

// The XML section is the file's text as stored: attributes, comments, layout, the empty
// element form and the trailing line feed as they stand, after the byte order mark.
TEST_F(ReportTest, XmlIsTheFileTextAsStored)
{
    const QString wim = dir.file(QStringLiteral("hand.wim"));
    wimfix::WimRecipe recipe;
    recipe.images.push_back({source, QStringLiteral("Img"), QString(), {}});
    ASSERT_TRUE(wimfix::makeWim(wim, recipe));
    ASSERT_TRUE(replaceWimXml(wim, handMadeWimXml()));

    int xmlErrors = 0;
    const QString report = buildWimReport(wim, [&xmlErrors] { ++xmlErrors; });
    EXPECT_EQ(xmlErrors, 0);
    EXPECT_TRUE(report.contains(QStringLiteral("名称:\t\tImg\r\n标识:\t\tPro\r\n")))
        << report.toStdString();
    EXPECT_TRUE(report.endsWith(QStringLiteral("WIM XML 信息:\r\n---------------------------\r\n") +
                                QChar(0xFEFF) + handMadeWimXml()))
        << report.toStdString();
}

TEST_F(ReportTest, UnreadableFilesGiveTheOpeningError)
{
    const QString notWim = dir.write(QStringLiteral("not.wim"), QByteArray(4096, 'x'));
    QByteArray header("MSWIM\0\0\0", 8);
    header.append(QByteArray(200, '\xff'));
    const QString badHeader = dir.write(QStringLiteral("bad.wim"), header);
    const QString paths[] = {QString(), dir.file(QStringLiteral("missing.wim")), notWim, badHeader,
                             dir.path()};
    for (const QString& path : paths) {
        int xmlErrors = 0;
        EXPECT_EQ(buildWimReport(path, [&xmlErrors] { ++xmlErrors; }),
                  QStringLiteral("错误: 打开 WIM 文件失败."))
            << path.toStdString();
        EXPECT_EQ(xmlErrors, 0);
    }
}

// pelloric-run's report and help, as a script sees them: exit code, standard output and
// standard error apart.
struct RunResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

RunResult runRunner(const QStringList& args)
{
    RunResult result;
    QProcess process;
    process.start(QStringLiteral(PELLORIC_BINARY_DIR "/src/app/pelloric-run"), args);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

class RunnerTest : public ReportTest
{
protected:
    void SetUp() override
    {
        if (!QFileInfo(QStringLiteral(PELLORIC_BINARY_DIR "/src/app/pelloric-run")).isExecutable())
            GTEST_SKIP() << "pelloric-run is not built";
        ReportTest::SetUp();
    }
};

TEST_F(RunnerTest, ReportExitsWithItsOutcomeAndPutsTheXmlBoxOnStandardError)
{
    const QString good = dir.file(QStringLiteral("good.wim"));
    const QString mixed = dir.file(QStringLiteral("mixed.wim"));
    wimfix::WimRecipe recipe;
    recipe.images.push_back({source, QStringLiteral("QQQQQQ"), QString(), {}});
    ASSERT_TRUE(wimfix::makeWim(good, recipe));
    ASSERT_TRUE(QFile::copy(good, mixed));
    ASSERT_TRUE(patchUtf16(mixed, QStringLiteral("QQQQQQ"), QStringLiteral("x<B/>y")));
    const QByteArray xmlBox =
        QStringLiteral("信息: 错误:不能正确解析 WIM 文件的 XML 信息.\n").toUtf8();

    RunResult r = runRunner({QStringLiteral("report"), "infoSource=" + good});
    EXPECT_EQ(r.exitCode, 0);
    QString report = buildWimReport(good);
    if (!report.endsWith(QLatin1Char('\n')))
        report += QLatin1Char('\n');
    EXPECT_EQ(r.out, report.toUtf8());
    EXPECT_EQ(r.err, QByteArray());

    r = runRunner({QStringLiteral("report"), "infoSource=" + mixed});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, xmlBox);
    EXPECT_FALSE(r.out.contains(xmlBox));
    EXPECT_TRUE(r.out.endsWith('\n'));

    for (const QString& path : {dir.file(QStringLiteral("missing.wim")), QString()}) {
        r = runRunner({QStringLiteral("report"), "infoSource=" + path});
        EXPECT_EQ(r.exitCode, 1) << path.toStdString();
        EXPECT_EQ(r.out, QStringLiteral("错误: 打开 WIM 文件失败.\n").toUtf8());
        EXPECT_EQ(r.err, QByteArray());
    }
}

TEST_F(RunnerTest, HelpListsEveryOperationWithItsFields)
{
    const RunResult r = runRunner({QStringLiteral("--help")});
    ASSERT_EQ(r.exitCode, 0);
    const QStringList lines = QString::fromUtf8(r.out).split(QLatin1Char('\n'));
    // The field lines under each operation, as "name type default" with single spaces.
    auto fieldsOf = [&](const QString& run) {
        QStringList fields;
        qsizetype i = 0;
        while (i < lines.size() && !lines[i].startsWith(run + u"  "_qs))
            ++i;
        while (++i < lines.size() && lines[i].startsWith(QStringLiteral("    ")))
            fields << lines[i].simplified();
        return fields;
    };
    EXPECT_EQ(fieldsOf(u"1061"_qs),
              (QStringList{u"mountPath text \"\""_qs, u"unmountCommit flag 0"_qs}));
    EXPECT_EQ(fieldsOf(u"1067"_qs), (QStringList{u"deleteSource text \"\""_qs,
                                                 u"deleteIndex number 1"_qs,
                                                 u"deleteCheck flag 0"_qs}));
    EXPECT_EQ(fieldsOf(u"report"_qs), QStringList{u"infoSource text \"\""_qs});
    const QStringList capture = fieldsOf(u"1019"_qs);
    EXPECT_EQ(capture, fieldsOf(u"1020"_qs));
    EXPECT_TRUE(capture.contains(u"captureName text \"WIM1\""_qs));
    EXPECT_TRUE(capture.contains(u"captureCompression text \"快速\""_qs));
    EXPECT_EQ(capture.size(), 15);
    for (const char* id : {"1025", "1046", "1060", "1081"})
        EXPECT_FALSE(fieldsOf(QString::fromLatin1(id)).isEmpty()) << id;
    EXPECT_TRUE(fieldsOf(u"1081"_qs).contains(u"exportCompression text \"快速\""_qs));
}

TEST(ReportSize, Boundaries)
{
    const struct {
        std::int64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 Bytes\r\n"},
        {1023, "1023 Bytes\r\n"},
        {1024, "1 KB\r\n"},
        {1048575, "1023 KB\r\n"},
        {1048576, "1 MB\r\n"},
        {5LL << 30, "5120 MB\r\n"},
        {-5, "-5 Bytes\r\n"},
        // Above 2^31 MB a 32-bit print would wrap; the full value is shown.
        {std::int64_t(1) << 52, "4294967296 MB\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(reportSizeText(c.bytes), QString::fromLatin1(c.text)) << c.bytes;
}

} // namespace
