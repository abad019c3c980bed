// ESD files and split sets end to end, made by this program and by wimlib-imagex and read by
// both: export, apply, report, split, join and `pelloric-run list`, with missing, damaged and
// foreign parts and a file larger than a part.
#include "ops/Text.h"
#include "ops/Toolbox.h"
#include "ops/WimReport.h"
#include "support/OperationRun.h"
#include "support/TempDir.h"
#include "support/ToolboxFixtures.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace oprun;
using toolfix::imagex;

namespace {

const QString kRunner = QStringLiteral(PELLORIC_BINARY_DIR "/src/app/pelloric-run");
const QString kEsd = loadString(Text::CompressionLzmsSolid);

class Toolbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        freshRequest();
        tree = dir.mkdir("tree");
        toolfix::makeNoiseTree(tree, 14, 300 * 1024); // 4.2 MB, stored as is: 5 parts of 1 MB
        wim = dir.file("source.wim");
        ASSERT_TRUE(wimfix::makeWim(wim, {{{tree, "one"}}, 1}));
    }
    void TearDown() override { globalContext().progressWindow = nullptr; }

    // Runs operation `id` on the request as set; its result.
    bool run(int id)
    {
        port.clear();
        EXPECT_TRUE(runOperation(id, port)) << id;
        return globalContext().operationResult.get();
    }
    bool log(UINT text, std::initializer_list<MessageArg> args = {})
    {
        return logText().contains(formatMessage(text, args));
    }
    // Applies image 1 of `source` with this program into a new folder; whether it holds `tree`.
    bool appliesAsTree(const QString& source)
    {
        const QString target = dir.mkdir(QStringLiteral("applied-%1").arg(++applies));
        OperationRequest& r = freshRequest();
        r.applySource = source;
        r.applyTarget = target;
        return run(ID_APPLY) && wimfix::treeContents(target) == wimfix::treeContents(tree);
    }
    bool splitHere(const QString& first, int megabytes)
    {
        OperationRequest& r = freshRequest();
        r.splitSource = wim;
        r.splitTarget = first;
        r.splitSize = static_cast<std::uint32_t>(megabytes);
        return run(ID_SPLIT);
    }

    TempDir dir;
    RecordingPort port;
    QString tree;
    QString wim;
    int applies = 0;
};

} // namespace

// An ESD this program writes is what Microsoft's are: LZMS in solid resources. wimlib-imagex
// verifies and applies it, and the report names it (the compression line reads LZMS, and the
// part number keeps its own line).
TEST_F(Toolbox, AnEsdWrittenHereIsSolidLzmsForWimlibAndForTheReport)
{
    const QString esd = dir.file("install.esd");
    OperationRequest& r = freshRequest();
    r.exportSource = wim;
    r.exportTarget = esd;
    r.exportCompression = kEsd;
    ASSERT_TRUE(run(ID_EXPORT)) << logText().toStdString();
    EXPECT_TRUE(log(Text::CompressionLzmsSolidLine));

    QString info;
    ASSERT_EQ(imagex({"info", esd}, &info), 0);
    EXPECT_TRUE(info.contains(QStringLiteral("Compression:    LZMS"))) << info.toStdString();
    EXPECT_TRUE(info.contains(QStringLiteral("Version:        3584"))) << info.toStdString();
    EXPECT_TRUE(toolfix::allDataSolid(esd));
    EXPECT_TRUE(wimfix::imagexVerify(esd));
    const QString out = dir.mkdir("by-imagex");
    ASSERT_EQ(imagex({"apply", esd, "1", out}), 0);
    EXPECT_EQ(wimfix::treeContents(out), wimfix::treeContents(tree));

    const QString report = buildWimReport(esd, [] {});
    EXPECT_TRUE(report.contains(QStringLiteral("压缩:\tLZMS\r\n部分编号:\t1/1\r\n")))
        << report.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral("\t\tSOLID\r\n")));
    // The described compressions still read as before.
    EXPECT_TRUE(buildWimReport(wim, [] {}).contains(QStringLiteral("压缩:\tXPRESS\r\n部分编号")));
}

// install.esd → install.wim, as Microsoft's ESDs are converted, and apply and report straight
// from an ESD that wimlib-imagex wrote.
TEST_F(Toolbox, AnEsdWrittenByWimlibImagexIsReportedAppliedAndExportedHere)
{
    const QString esd = dir.file("imagex.esd");
    ASSERT_EQ(imagex({"export", wim, "all", esd, "--solid", "--compress=LZMS"}), 0);
    EXPECT_TRUE(buildWimReport(esd, [] {}).contains(QStringLiteral("\t\tSOLID\r\n")));
    EXPECT_TRUE(appliesAsTree(esd)) << logText().toStdString();

    const QString back = dir.file("back.wim");
    OperationRequest& r = freshRequest();
    r.exportSource = esd;
    r.exportTarget = back;
    ASSERT_TRUE(run(ID_EXPORT)) << logText().toStdString();
    EXPECT_EQ(wimCompression(back), QStringLiteral("XPRESS"));
    QString info;
    imagex({"info", back}, &info);
    EXPECT_FALSE(info.contains(QStringLiteral("Version:        3584"))) << "still solid";
    EXPECT_FALSE(toolfix::allDataSolid(back));
    EXPECT_TRUE(wimfix::imagexVerify(back));
    EXPECT_TRUE(appliesAsTree(back));
}

// Sets of three and more parts by each tool: apply and export take the first part and find the
// others beside it; the report on a part shows its number; wimlib-imagex reads this program's
// parts.
TEST_F(Toolbox, SplitSetsOfEitherToolApplyExportAndReport)
{
    const QByteArray sourceDigest = wimfix::fileDigest(wim);
    const QString here = dir.file("here/install.swm");
    QDir().mkpath(QFileInfo(here).path());
    ASSERT_TRUE(splitHere(here, 1)) << logText().toStdString();
    const QString there = dir.file("there/install.swm");
    QDir().mkpath(QFileInfo(there).path());
    ASSERT_EQ(imagex({"split", wim, there, "1"}), 0);

    for (const QString& first : {here, there}) {
        const QStringList parts = toolfix::partsOf(first);
        ASSERT_GE(parts.size(), 3) << first.toStdString();
        EXPECT_TRUE(appliesAsTree(first)) << logText().toStdString();
        EXPECT_TRUE(log(Text::SplitPartsLine, {std::int64_t(parts.size())}));

        const QString joinedByExport = first + QStringLiteral(".wim");
        OperationRequest& r = freshRequest();
        r.exportSource = first;
        r.exportTarget = joinedByExport;
        ASSERT_TRUE(run(ID_EXPORT)) << logText().toStdString();
        EXPECT_TRUE(wimfix::imagexVerify(joinedByExport));

        const QString report = buildWimReport(parts[1], [] {});
        EXPECT_TRUE(report.contains(QStringLiteral("部分编号:\t2/%1\r\n").arg(parts.size())));
        EXPECT_TRUE(report.contains(QStringLiteral("\t\tSPANNED\r\n")));
    }
    const QString out = dir.mkdir("imagex-apply");
    ASSERT_EQ(imagex({"apply", here, "1", out, "--ref=" + dir.file("here/install*.swm")}), 0);
    EXPECT_EQ(wimfix::treeContents(out), wimfix::treeContents(tree));
    EXPECT_EQ(wimfix::fileDigest(wim), sourceDigest) << "the source is never changed";
}

// A missing part is named with a clear line before anything is written; a part of another set
// is named too; a damaged part fails the apply with the cause and leaves no destination.
TEST_F(Toolbox, MissingForeignAndDamagedPartsAreNamed)
{
    const QString first = dir.file("install.swm");
    ASSERT_TRUE(splitHere(first, 1));
    const QStringList parts = toolfix::partsOf(first);
    ASSERT_GE(parts.size(), 3);

    ASSERT_TRUE(QFile::rename(parts[2], parts[2] + ".away"));
    EXPECT_FALSE(appliesAsTree(first));
    EXPECT_TRUE(log(Text::SplitPartMissing, {std::int64_t{3}, parts[2]})) << logText().toStdString();
    EXPECT_TRUE(QDir(dir.file("applied-1")).isEmpty()) << "nothing applied";

    // Part 3 of another split of the same file: another GUID.
    const QString other = dir.file("other/install.swm");
    QDir().mkpath(QFileInfo(other).path());
    ASSERT_EQ(imagex({"split", wim, other, "1"}), 0);
    ASSERT_TRUE(QFile::copy(toolfix::partsOf(other)[2], parts[2]));
    EXPECT_FALSE(appliesAsTree(first));
    EXPECT_TRUE(log(Text::SplitPartForeign, {parts[2], std::int64_t{3}}));

    QFile::remove(parts[2]);
    ASSERT_TRUE(QFile::rename(parts[2] + ".away", parts[2]));
    // A byte in the middle of a file's data in part 2.
    const toolfix::Location data = toolfix::anyDataOf(parts[1]);
    ASSERT_GT(data.size, 0);
    ASSERT_TRUE(toolfix::flipByte(parts[1], data.offset + data.size / 2));
    const QString exported = dir.file("from-damaged.wim");
    OperationRequest& r = freshRequest();
    r.exportSource = first;
    r.exportTarget = exported;
    EXPECT_FALSE(run(ID_EXPORT));
    EXPECT_TRUE(log(Text::ExportFailed));
    EXPECT_FALSE(QFileInfo::exists(exported));
    EXPECT_TRUE(QDir(dir.path()).entryList({"*.pelloric-*"}).isEmpty());
}

// A file larger than the part size gets a part of its own that is larger; the log names it and
// what a FAT32 stick holds. Every other part keeps to the size.
TEST_F(Toolbox, AFileLargerThanThePartSizeIsNamedAndMakesItsPartLarger)
{
    const QString big = dir.mkdir("big");
    wimfix::makeTree(big, {{"small.bin", noiseBytes(200 * 1024, 7)},
                           {"huge/installer.bin", noiseBytes(2500 * 1024, 9)},
                           {"other.bin", noiseBytes(700 * 1024, 11)}});
    ASSERT_TRUE(wimfix::makeWim(wim, {{{big, "big"}}, 0}));
    const QString first = dir.file("big.swm");
    ASSERT_TRUE(splitHere(first, 1)) << logText().toStdString();
    EXPECT_TRUE(logText().contains(QStringLiteral("\"/huge/installer.bin\" 有 3 MB")))
        << logText().toStdString();
    EXPECT_TRUE(logText().contains(QStringLiteral("FAT32 U 盘不能存放大于 4 GB 的文件")));
    int larger = 0;
    for (const QString& part : toolfix::partsOf(first))
        larger += QFileInfo(part).size() > 1024 * 1024 ? 1 : 0;
    EXPECT_EQ(larger, 1);
    tree = big;
    EXPECT_TRUE(appliesAsTree(first)) << logText().toStdString();
}

// Join puts a set of either tool back into one WIM that wimlib-imagex verifies and that holds
// the image; a target that is a part of the set is refused.
TEST_F(Toolbox, JoinMakesOneWimOfEitherToolsSet)
{
    const QString here = dir.file("here.swm");
    ASSERT_TRUE(splitHere(here, 1));
    const QString there = dir.file("there.swm");
    ASSERT_EQ(imagex({"split", wim, there, "1"}), 0);
    for (const QString& first : {here, there}) {
        const QString joined = first + QStringLiteral(".joined.wim");
        OperationRequest& r = freshRequest();
        r.joinSource = first;
        r.joinTarget = joined;
        ASSERT_TRUE(run(ID_JOIN)) << logText().toStdString();
        EXPECT_TRUE(wimfix::imagexVerify(joined));
        EXPECT_EQ(wimfix::imagePaths(joined, 1), wimfix::imagePaths(wim, 1));
    }
    OperationRequest& r = freshRequest();
    r.joinSource = here;
    r.joinTarget = toolfix::partsOf(here)[1];
    const QByteArray before = wimfix::fileDigest(r.joinTarget);
    EXPECT_FALSE(run(ID_JOIN));
    EXPECT_TRUE(log(Text::TargetIsSource));
    EXPECT_EQ(wimfix::fileDigest(r.joinTarget), before);
}

// What split refuses, with its clear lines: a solid file, a part of a split set, the source
// as its own first part. Nothing is written.
TEST_F(Toolbox, SplitRefusesSolidFilesPartsAndItsOwnSource)
{
    const QString esd = dir.file("x.esd");
    ASSERT_EQ(imagex({"export", wim, "all", esd, "--solid", "--compress=LZMS"}), 0);
    OperationRequest& r = freshRequest();
    r.splitSource = esd;
    r.splitTarget = dir.file("x.swm");
    EXPECT_FALSE(run(ID_SPLIT));
    EXPECT_TRUE(log(Text::CannotSplitSolid));

    ASSERT_TRUE(splitHere(dir.file("p.swm"), 1));
    const auto parts = static_cast<std::int64_t>(toolfix::partsOf(dir.file("p.swm")).size());
    r = freshRequest();
    r.splitSource = dir.file("p.swm");
    r.splitTarget = dir.file("q.swm");
    EXPECT_FALSE(run(ID_SPLIT));
    EXPECT_TRUE(log(Text::AlreadySplit, {std::int64_t{1}, parts}));

    const QByteArray before = wimfix::fileDigest(wim);
    EXPECT_FALSE(splitHere(wim, 1));
    EXPECT_TRUE(log(Text::TargetIsSource));
    EXPECT_EQ(wimfix::fileDigest(wim), before);
    EXPECT_FALSE(QFileInfo::exists(dir.file("x.swm")));
    EXPECT_FALSE(QFileInfo::exists(dir.file("q.swm")));
    EXPECT_TRUE(QDir(dir.path()).entryList({"*.pelloric-*"}).isEmpty());
}

// `pelloric-run list`: one line per entry with path, size and attributes, for a split set too;
// a name with a line break stays on its line; a bad index or path fails with exit code 1.
TEST_F(Toolbox, ListPrintsEveryEntryOnItsOwnLine)
{
    wimfix::makeTree(tree, {{"odd\nname.txt", "x"}});
    ASSERT_TRUE(wimfix::makeWim(wim, {{{tree, "one"}}, 1}));
    QString out;
    ASSERT_EQ(runProgram(kRunner, {"list", "browseSource=" + wim, "browseIndex=1"}, &out), 0);
    QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    EXPECT_EQ(lines.size(), 1 + 1 + 14 + 1) << out.toStdString(); // root, sub, files, odd
    EXPECT_TRUE(lines.contains(QStringLiteral("/f0.bin\t307200\t-"))) << out.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("/sub\t0\tD")));
    EXPECT_TRUE(lines.contains(QStringLiteral("/odd?name.txt\t1\t-")));

    ASSERT_TRUE(splitHere(dir.file("l.swm"), 1));
    ASSERT_EQ(runProgram(kRunner,
                         {"list", "browseSource=" + dir.file("l.swm"), "browseIndex=1",
                          "browsePath=/sub"},
                         &out),
              0);
    EXPECT_EQ(out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).first(), QStringLiteral("/sub\t0\tD"));
    EXPECT_EQ(runProgram(kRunner, {"list", "browseSource=" + wim, "browseIndex=2"}), 1);
    EXPECT_EQ(runProgram(kRunner, {"list", "browseSource=" + wim, "browsePath=/nope"}), 1);
    EXPECT_EQ(runProgram(kRunner, {"list", "browseSource=" + wim, "browseIndex=x"}), 2);

    ASSERT_EQ(runProgram(kRunner, {"--help"}, &out), 0);
    for (const char* needle : {"1112", "1125", "1130", "1143", "1146", "list", "splitSize",
                               "extractPaths", "optimizeCompression", "verifySource", "joinTarget"})
        EXPECT_TRUE(out.contains(QLatin1String(needle))) << needle;
}

// Extraction as an operation: from a split set, into a folder it makes; an existing file is
// named with the clear line and nothing is written until overwriting is asked.
TEST_F(Toolbox, ExtractTakesSplitSetsAndNamesWhatWouldBeOverwritten)
{
    ASSERT_TRUE(splitHere(dir.file("e.swm"), 1));
    const QString target = dir.file("out/new");
    OperationRequest& r = freshRequest();
    r.extractSource = dir.file("e.swm");
    r.extractPaths = QStringLiteral("/sub;/f3.bin");
    r.extractTarget = target;
    ASSERT_TRUE(run(ID_EXTRACT)) << logText().toStdString();
    EXPECT_TRUE(log(Text::ExtractStarting, {std::int64_t{4}})) << "root, sub, its file, f3.bin";
    EXPECT_EQ(readFileBytes(target + "/sub/f9.bin"), readFileBytes(tree + "/sub/f9.bin"));

    dir.write("out/new/f3.bin", "mine");
    EXPECT_FALSE(run(ID_EXTRACT));
    EXPECT_TRUE(log(Text::ExtractExists, {target + "/f3.bin"})) << logText().toStdString();
    EXPECT_EQ(readFileBytes(target + "/f3.bin"), "mine");
    r.extractOverwrite = true;
    ASSERT_TRUE(run(ID_EXTRACT));
    EXPECT_TRUE(log(Text::OverwriteOnLine));
    EXPECT_EQ(readFileBytes(target + "/f3.bin"), readFileBytes(tree + "/f3.bin"));

    r.extractPaths = QStringLiteral("/nope");
    EXPECT_FALSE(run(ID_EXTRACT));
    EXPECT_TRUE(log(Text::ExtractNotInImage, {QStringLiteral("/nope")}));
    r.extractPaths.clear();
    EXPECT_FALSE(run(ID_EXTRACT));
    EXPECT_TRUE(log(Text::ExtractNoPaths));
    EXPECT_EQ(parseExtractPaths(QStringLiteral("/a;;b;/c;;")), (QStringList{"/a;b", "/c;"}));
    EXPECT_EQ(joinExtractPaths({"/a;b", "/c"}), QStringLiteral("/a;;b;/c"));
}
