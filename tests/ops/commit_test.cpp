// The commit path under attack, with pelloric-run as a child process: kills and failures placed
// at every call that changes the file (a preloaded library counts them, kills at one or fails
// one), a file renamed onto the path at the moment the file is reopened for writing, a capture
// over a file another writer holds, an append racing a capture over the same path, stage files
// of killed runs, and the space information edits take.
#include "ops/Text.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"
#include "platform/WimFile.h"
#include "support/CommitSweep.h"
#include "support/OperationRun.h"
#include "support/RunnerChild.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <iostream>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace oprun;

namespace {

QString msg(UINT id, std::initializer_list<MessageArg> args = {})
{
    return formatMessage(id, args);
}

bool saysSharingViolation(const QString& out)
{
    return out.contains(msg(Text::ErrorReason, {errorText(ERROR_SHARING_VIOLATION)}));
}

class CommitTest : public ::testing::Test {
public:
    void SetUp() override
    {
        wimfix::makeTree(dir.file("one"), {{"a.txt", "alpha"}, {"sub/b.txt", "beta"}});
        wimfix::makeTree(dir.file("two"), {{"c.txt", "gamma"}});
        wimfix::makeTree(dir.file("small"), {{"new.txt", "added"}, {"n.bin", noiseBytes(40000)}});
    }
    QString baseWim(const QString& name, int images = 2)
    {
        wimfix::WimRecipe recipe;
        const QString names[] = {QStringLiteral("one"), QStringLiteral("two"),
                                 QStringLiteral("three")};
        for (int i = 0; i < images; ++i)
            recipe.images.push_back({dir.file(i == 1 ? "two" : "one"), names[i], QString(), {}});
        const QString path = dir.file(name);
        EXPECT_TRUE(wimfix::makeWim(path, recipe));
        return path;
    }
    void freshCopy(const QString& base, const QString& wim)
    {
        ASSERT_TRUE(oprun::freshCopy(dir.path(), base, wim));
    }

    TempDir dir;
};

TEST_F(CommitTest, InformationWriteKilledOrFailedAtEveryCall)
{
    const QString base = baseWim(QStringLiteral("base.wim"));
    const QString wim = dir.file(QStringLiteral("round.wim"));
    const Commit modify{"1046",
                        {"modifySource=" + wim, "modifyIndex=2", "modifyName=renamed",
                         "modifyDescription=" + QString(3000, QChar(u'd')), "modifyBootable=1"},
                        [](const QString& w) {
                            return wimfix::imageProperty(w, 2, "NAME") == "renamed" &&
                                   wimfix::imageProperty(w, 2, "DESCRIPTION").size() == 3000 &&
                                   wimfix::bootIndex(w) == 2;
                        }};
    // The first edit goes after the end; the one after it into the space the first left.
    const QString edited = dir.file(QStringLiteral("edited.wim"));
    ASSERT_TRUE(QFile::copy(base, edited));
    ASSERT_EQ(
        runRunner("1046", {"modifySource=" + edited, "modifyIndex=1", "modifyName=first"}).exit, 0);
    for (const QString& start : {base, edited}) {
        SCOPED_TRACE(start.toStdString());
        const SweepResult r = sweepCommit(dir.path(), start, wim, modify);
        EXPECT_GE(r.calls, 3) << "data, flush, header";
        EXPECT_EQ(r.killedInside, r.calls);
        EXPECT_GE(r.failedClean, r.calls - 1) << "only a failed cut after the header may pass";
    }
}

TEST_F(CommitTest, AppendKilledOrFailedAtEveryCall)
{
    const QString base = baseWim(QStringLiteral("base.wim"));
    const QString wim = dir.file(QStringLiteral("round.wim"));
    const SweepResult r =
        sweepCommit(dir.path(), base, wim,
                    {"1020",
                     {"captureSource=" + dir.file("small"), "captureTarget=" + wim,
                      "captureName=added", "captureDescription=complete"},
                     [](const QString& w) {
                         return wimfix::imageCount(w) == 3 &&
                                wimfix::imageProperty(w, 3, "NAME") == "added" &&
                                wimfix::imageProperty(w, 3, "DESCRIPTION") == "complete";
                     }});
    EXPECT_GE(r.calls, 5) << "record, flag, data, tables, header";
    EXPECT_EQ(r.killedInside, r.calls);
    // Every kill before the new header leaves the old file, which the undo record puts back
    // byte for byte at the next writable open; only the kills at the last calls leave the new
    // file.
    EXPECT_GE(r.restored, r.calls - 2);
    EXPECT_GE(r.failedClean, r.calls - 1);
}

TEST_F(CommitTest, DeleteAndExportKilledOrFailedAtEveryCall)
{
    const QString base = baseWim(QStringLiteral("base.wim"), 3);
    const QString wim = dir.file(QStringLiteral("round.wim"));
    wimfix::WimRecipe recipe;
    recipe.images = {{dir.file("small"), QStringLiteral("src"), QString(), {}}};
    const QString source = dir.file(QStringLiteral("source.wim"));
    ASSERT_TRUE(wimfix::makeWim(source, recipe));
    const Commit commits[] = {
        {"1067",
         {"deleteSource=" + wim, "deleteIndex=2"},
         [](const QString& w) {
             return wimfix::imageCount(w) == 2 &&
                    wimfix::imageProperty(w, 2, "NAME") == QStringLiteral("three");
         }},
        {"1081",
         {"exportSource=" + source, "exportTarget=" + wim, "exportIndex=1", "exportName=exported",
          "exportBootable=1"},
         [](const QString& w) {
             return wimfix::imageCount(w) == 4 &&
                    wimfix::imageProperty(w, 4, "NAME") == "exported" && wimfix::bootIndex(w) == 4;
         }},
    };
    for (const Commit& c : commits) {
        SCOPED_TRACE(c.id.toStdString());
        const SweepResult r = sweepCommit(dir.path(), base, wim, c);
        EXPECT_GE(r.calls, 4);
        EXPECT_EQ(r.killedInside, r.calls);
        EXPECT_GE(r.restored, r.calls - 2);
        EXPECT_GE(r.failedClean, r.calls - 1);
    }
}

// Another writer renames a new file onto the path at the moment the file is reopened for
// writing (libwim's reopen, or the layer's own): the write reaches only the file that was
// checked, the run fails saying the file was replaced, and the new file is untouched.
TEST_F(CommitTest, FileRenamedOntoThePathAtTheReopenIsNeverWrittenOver)
{
    const QString base = baseWim(QStringLiteral("base.wim"));
    const QString other = baseWim(QStringLiteral("other.wim"), 3);
    const QString wim = dir.file(QStringLiteral("round.wim"));
    const QString replacement = dir.file(QStringLiteral("replacement.wim"));
    const QStringList runs[] = {
        {"1046", "modifySource=" + wim, "modifyIndex=1", "modifyName=mine"},
        {"1020", "captureSource=" + dir.file("small"), "captureTarget=" + wim, "captureName=mine"},
        {"1067", "deleteSource=" + wim, "deleteIndex=1"},
    };
    for (const QStringList& run : runs) {
        SCOPED_TRACE(run.join(' ').toStdString());
        freshCopy(base, wim);
        QFile::remove(replacement);
        ASSERT_TRUE(QFile::copy(other, replacement));
        const QByteArray theirs = wimfix::fileDigest(replacement);
        const Outcome o =
            runRunner(run.first(), run.mid(1),
                      faultEnvironment(wim, {{"RENAME_FROM", replacement}, {"RENAME_TO", wim}}));
        EXPECT_FALSE(QFileInfo::exists(replacement)) << "the rename happened";
        EXPECT_EQ(o.exit, 1) << o.out.toStdString();
        EXPECT_TRUE(saysSharingViolation(o.out)) << o.out.toStdString();
        EXPECT_TRUE(o.out.contains(msg(Text::FileReplacedWhileWritten, {wim})))
            << o.out.toStdString();
        EXPECT_EQ(wimfix::fileDigest(wim), theirs);
        EXPECT_TRUE(wimfix::imagexVerify(wim));
    }
}

// A capture that replaces an existing file takes its lock first: while another writer holds
// it, the capture fails with a sharing violation and replaces nothing, before any scan.
TEST_F(CommitTest, CaptureOverAFileAnotherWriterHoldsReplacesNothing)
{
    const QString wim = baseWim(QStringLiteral("held.wim"));
    const QByteArray digest = wimfix::fileDigest(wim);
    const int held = ::open(QFile::encodeName(wim).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const Outcome o =
        runRunner("1019", {"captureSource=" + dir.file("small"), "captureTarget=" + wim});
    ::close(held);
    EXPECT_EQ(o.exit, 1) << o.out.toStdString();
    EXPECT_TRUE(saysSharingViolation(o.out)) << o.out.toStdString();
    EXPECT_EQ(wimfix::fileDigest(wim), digest);
    EXPECT_EQ(leftovers(dir.path()), QStringList());
    // Once free, the capture replaces it.
    EXPECT_EQ(
        runRunner("1019", {"captureSource=" + dir.file("small"), "captureTarget=" + wim}).exit, 0);
    EXPECT_EQ(wimfix::imageCount(wim), 1);
}

// An append racing a capture over the same path: an append that reports success has its
// image in the file at the path, or wrote it before the capture's file took that path (the old
// file, kept by a second name, was last written before the capture's rename).
TEST_F(CommitTest, AppendRacingACaptureOverNeverReportsALostImage)
{
    const QString base = baseWim(QStringLiteral("base.wim"));
    const QString wim = dir.file(QStringLiteral("round.wim"));
    const QString kept = dir.file(QStringLiteral("kept.wim"));
    const auto nanoseconds = [](const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; };
    int refused = 0;
    int landed = 0;
    int beforeTheRename = 0;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        freshCopy(base, wim);
        QFile::remove(kept);
        ASSERT_EQ(::link(QFile::encodeName(wim).constData(), QFile::encodeName(kept).constData()),
                  0);
        Child append(kRunner, {"1020", "captureSource=" + dir.file("small"), "captureTarget=" + wim,
                               "captureName=appended"});
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        Child capture(kRunner, {"1019", "captureSource=" + dir.file("two"), "captureTarget=" + wim,
                                "captureName=captured"});
        const Outcome c = capture.finish();
        const Outcome a = append.finish();
        ASSERT_NE(a.exit, -1);
        ASSERT_NE(c.exit, -1);
        EXPECT_TRUE(wimfix::imagexVerify(wim));
        if (a.exit != 0) {
            EXPECT_TRUE(saysSharingViolation(a.out)) << a.out.toStdString();
            ++refused;
            continue;
        }
        ++landed;
        if (wimfix::imageProperty(wim, wimfix::imageCount(wim), "NAME") == "appended")
            continue;
        struct stat old {};
        struct stat now {};
        ASSERT_EQ(::stat(QFile::encodeName(kept).constData(), &old), 0);
        ASSERT_EQ(::stat(QFile::encodeName(wim).constData(), &now), 0);
        EXPECT_EQ(wimfix::imageProperty(kept, 3, "NAME"), QStringLiteral("appended"));
        EXPECT_LT(nanoseconds(old.st_mtim), nanoseconds(now.st_ctim)) << a.out.toStdString();
        ++beforeTheRename;
    }
    std::cout << "[ race     ] appends refused " << refused << ", landed " << landed << " ("
              << beforeTheRename << " before the capture's rename)\n";
}

// A capture into a new file killed while it writes its stage file leaves it behind; the next
// capture to that target, or the next writable open of a WIM in that folder, removes it, but
// never the stage file of a run that is still writing.
TEST_F(CommitTest, StageFilesOfKilledRunsGoWithTheNextRun)
{
    const QString target = dir.file(QStringLiteral("new.wim"));
    const QString neighbour = baseWim(QStringLiteral("neighbour.wim"));
    const auto killCapture = [&] {
        const Outcome o =
            runRunner("1019", {"captureSource=" + dir.file("small"), "captureTarget=" + target},
                      faultEnvironment(target, {{"KILL_AT", QStringLiteral("2")}}));
        EXPECT_EQ(o.signal, SIGKILL) << o.out.toStdString();
        const QStringList left = leftovers(dir.path());
        EXPECT_EQ(left.size(), 1);
        return left;
    };
    ASSERT_EQ(killCapture().size(), 1);
    EXPECT_EQ(
        runRunner("1019", {"captureSource=" + dir.file("small"), "captureTarget=" + target}).exit,
        0);
    EXPECT_EQ(leftovers(dir.path()), QStringList());
    EXPECT_EQ(wimfix::imageCount(target), 1);

    QFile::remove(target);
    const QStringList left = killCapture();
    ASSERT_EQ(left.size(), 1);
    // A stage file whose run still holds its lock stays.
    const int alive = ::open(QFile::encodeName(dir.file(left.first())).constData(), O_RDONLY);
    ASSERT_EQ(::flock(alive, LOCK_EX), 0);
    EXPECT_TRUE(writableOpen(neighbour));
    EXPECT_EQ(leftovers(dir.path()), left);
    ::close(alive);
    EXPECT_TRUE(writableOpen(neighbour));
    EXPECT_EQ(leftovers(dir.path()), QStringList());
    EXPECT_FALSE(QFileInfo::exists(target));
}

// Another writer changes the file between the open and the commit: the commit writes
// nothing over it, whatever kind of write it is.
TEST_F(CommitTest, FileChangedSinceItWasReadIsNeverWrittenOver)
{
    const QString wim = baseWim(QStringLiteral("shared.wim"));
    for (const bool appendImage : {false, true}) {
        SCOPED_TRACE(appendImage ? "append" : "information");
        HANDLE h =
            WIMCreateFile(wide(wim), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0, 0, nullptr);
        ASSERT_NE(h, nullptr);
        HANDLE img = appendImage ? WIMCaptureImage(h, wide(dir.file("small")), 0) : nullptr;
        ASSERT_TRUE(appendImage ? img != nullptr : WIMSetBootImage(h, 2));
        if (img)
            WIMCloseHandle(img);
        QString out;
        const QString theirName =
            appendImage ? QStringLiteral("theirs2") : QStringLiteral("theirs1");
        ASSERT_EQ(runProgram("wimlib-imagex",
                             {"info", wim, "1", "--image-property", "NAME=" + theirName}, &out),
                  0)
            << out.toStdString();
        const QByteArray theirs = wimfix::fileDigest(wim);
        EXPECT_FALSE(WIMCloseHandle(h));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(wimfix::fileDigest(wim), theirs);
        EXPECT_EQ(wimfix::imageProperty(wim, 1, "NAME"), theirName);
        EXPECT_EQ(leftovers(dir.path()), QStringList());
    }
}

// A file whose blob table stands after its XML (valid, but no longer in the order libwim can
// append to in place; libwim would then write a whole new file under the name it opened):
// an append is refused and writes nothing, a change of information still goes through.
TEST_F(CommitTest, FileLibwimCannotAppendToInPlaceIsRefused)
{
    const QString wim = baseWim(QStringLiteral("moved.wim"));
    {
        QFile f(wim);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        QByteArray header = f.read(imaging::kWimHeaderSize);
        imaging::WimHeader h =
            imaging::parseWimHeader(reinterpret_cast<const unsigned char*>(header.constData()));
        ASSERT_TRUE(f.seek(static_cast<qint64>(h.blobTable.offset)));
        const QByteArray table = f.read(static_cast<qint64>(h.blobTable.storedSize));
        h.blobTable.offset = static_cast<std::uint64_t>(f.size());
        ASSERT_TRUE(f.seek(f.size()));
        f.write(table);
        imaging::encodeWimHeader(h, reinterpret_cast<unsigned char*>(header.data()));
        ASSERT_TRUE(f.seek(0));
        f.write(header);
    }
    ASSERT_TRUE(wimfix::imagexVerify(wim));
    const QByteArray digest = wimfix::fileDigest(wim);
    const Outcome o =
        runRunner("1020", {"captureSource=" + dir.file("small"), "captureTarget=" + wim});
    EXPECT_EQ(o.exit, 1) << o.out.toStdString();
    EXPECT_EQ(wimfix::fileDigest(wim), digest);
    EXPECT_EQ(leftovers(dir.path()), QStringList());
    EXPECT_EQ(
        runRunner("1046", {"modifySource=" + wim, "modifyIndex=1", "modifyName=renamed"}).exit, 0);
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "NAME"), QStringLiteral("renamed"));
    EXPECT_TRUE(wimfix::imagexVerify(wim));
}

// Ten changes of the information of a WIM of 2,000 files (and one with an integrity table)
// grow it by no more than its XML and 4 KiB each, and no more than that in all: the space an
// edit leaves is taken by the next.
TEST_F(CommitTest, InformationEditsTakeNoMoreSpaceThanTheirXml)
{
    wimfix::makeSampleTree(dir.file("many"), 2000);
    for (const bool check : {false, true}) {
        SCOPED_TRACE(check ? "with an integrity table" : "without");
        const QString wim = dir.file(check ? "checked.wim" : "plain.wim");
        ASSERT_EQ(
            runRunner("1019", {"captureSource=" + dir.file("many"), "captureTarget=" + wim,
                               "captureName=first", check ? "captureCheck=1" : "captureCheck=0"})
                .exit,
            0);
        const qint64 start = QFileInfo(wim).size();
        const qint64 xml = wimfix::imagexXml(wim).size() * 2 + 2;
        qint64 previous = start;
        for (int edit = 0; edit < 10; ++edit) {
            ASSERT_EQ(runRunner("1046", {"modifySource=" + wim, "modifyIndex=1",
                                         QStringLiteral("modifyName=edit%1").arg(edit),
                                         edit % 3 == 0 ? "modifyBootable=1" : "modifyBootable=0"})
                          .exit,
                      0);
            const qint64 size = QFileInfo(wim).size();
            EXPECT_LE(size - previous, xml + 4096 + (check ? 64 : 0));
            EXPECT_LE(size - start, xml + 4096 + (check ? 64 : 0));
            previous = size;
        }
        EXPECT_EQ(wimfix::imageProperty(wim, 1, "NAME"), QStringLiteral("edit9"));
        EXPECT_TRUE(wimfix::imagexVerify(wim));
        std::cout << "[ space    ] " << (check ? "checked" : "plain") << ": " << start << " -> "
                  << QFileInfo(wim).size() << " bytes after 10 edits (XML " << xml << ")\n";
    }
}

} // namespace
