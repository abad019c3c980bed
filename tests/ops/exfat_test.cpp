// WIMs on an exFAT stick, as technicians keep install.wim: a real exFAT file system (an image
// on a loop device, mounted with Debian's exfat-fuse), which has no hard links and no Unix
// owners. Every write works there with the same guarantees: append, export into an existing
// file, delete, modify, a capture over a file, a full disk, and kills at every call of an
// append.
#include "ops/Text.h"
#include "support/CommitSweep.h"
#include "support/OperationRun.h"
#include "support/RunnerChild.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cerrno>

#include <unistd.h>

using namespace oprun;

namespace {

QString msg(UINT id, std::initializer_list<MessageArg> args = {})
{
    return formatMessage(id, args);
}

class ExfatTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wimfix::makeTree(dir.file("one"), {{"a.txt", "alpha"}, {"sub/b.txt", "beta"}});
        wimfix::makeTree(dir.file("two"), {{"c.txt", "gamma"}});
        wimfix::makeTree(dir.file("small"), {{"new.txt", "added"}, {"n.bin", noiseBytes(40000)}});
        wimfix::WimRecipe recipe;
        recipe.images = {{dir.file("one"), QStringLiteral("one"), QString(), {}},
                         {dir.file("two"), QStringLiteral("two"), QString(), {}}};
        base = dir.file(QStringLiteral("base.wim"));
        ASSERT_TRUE(wimfix::makeWim(base, recipe));
    }
    // The stick, mounted, or the reason the test is skipped.
    bool mountStick(qint64 bytes = 64 << 20)
    {
        stickPath = dir.mkdir(QStringLiteral("stick"));
        stick = std::make_unique<ExfatVolume>(stickPath, bytes);
        return stick->ok();
    }

    TempDir dir;
    QString base;
    QString stickPath;
    std::unique_ptr<ExfatVolume> stick;
};

TEST_F(ExfatTest, EveryWriteWorksThere)
{
    if (!mountStick())
        GTEST_SKIP() << "exFAT tests skipped: " << stick->error().toStdString();
    const QString wim = stickPath + QStringLiteral("/install.wim");
    ASSERT_TRUE(QFile::copy(base, wim));
    // The stick has no hard links: the undo record and libwim's name of the file are made
    // without them.
    ASSERT_NE(::link(QFile::encodeName(wim).constData(),
                     QFile::encodeName(stickPath + "/probe").constData()),
              0);
    const struct {
        const char* what;
        QStringList run;
        std::function<bool()> landed;
    } steps[] = {
        {"append",
         {"1020", "captureSource=" + dir.file("small"), "captureTarget=" + wim, "captureName=added"},
         [&] { return wimfix::imageProperty(wim, 3, "NAME") == "added"; }},
        {"modify",
         {"1046", "modifySource=" + wim, "modifyIndex=1", "modifyName=renamed", "modifyBootable=1"},
         [&] { return wimfix::imageProperty(wim, 1, "NAME") == "renamed" && wimfix::bootIndex(wim) == 1; }},
        {"modify again",
         {"1046", "modifySource=" + wim, "modifyIndex=2", "modifyDescription=second"},
         [&] { return wimfix::imageProperty(wim, 2, "DESCRIPTION") == "second"; }},
        {"delete",
         {"1067", "deleteSource=" + wim, "deleteIndex=2"},
         [&] { return wimfix::imageCount(wim) == 2; }},
        {"export into it",
         {"1081", "exportSource=" + base, "exportTarget=" + wim, "exportIndex=2",
          "exportName=exported"},
         [&] { return wimfix::imageProperty(wim, 3, "NAME") == "exported"; }},
        {"capture over it",
         {"1019", "captureSource=" + dir.file("two"), "captureTarget=" + wim, "captureName=fresh"},
         [&] { return wimfix::imageCount(wim) == 1 && wimfix::imageProperty(wim, 1, "NAME") == "fresh"; }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const Outcome o = runRunner(step.run.first(), step.run.mid(1));
        EXPECT_EQ(o.exit, 0) << o.out.toStdString();
        EXPECT_TRUE(step.landed());
        EXPECT_TRUE(wimfix::imagexVerify(wim));
        EXPECT_EQ(leftovers(stickPath), QStringList());
    }
}

TEST_F(ExfatTest, FullStickLeavesTheWimAsItWas)
{
    if (!mountStick(4 << 20))
        GTEST_SKIP() << "exFAT tests skipped: " << stick->error().toStdString();
    const QString wim = stickPath + QStringLiteral("/install.wim");
    ASSERT_TRUE(QFile::copy(base, wim));
    {
        QFile filler(stickPath + QStringLiteral("/filler"));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
    }
    const QByteArray digest = wimfix::fileDigest(wim);
    wimfix::makeTree(dir.file("noise"), {{"n.bin", noiseBytes(1 << 20)}});
    const QStringList runs[] = {
        {"1020", "captureSource=" + dir.file("noise"), "captureTarget=" + wim},
        {"1046", "modifySource=" + wim, "modifyIndex=1",
         "modifyDescription=" + QString(60000, QChar(u'd'))},
    };
    for (const QStringList& run : runs) {
        SCOPED_TRACE(run.first().toStdString());
        const Outcome o = runRunner(run.first(), run.mid(1));
        EXPECT_EQ(o.exit, 1) << o.out.toStdString();
        EXPECT_TRUE(o.out.contains(msg(Text::ErrorReason, {errorText(ERROR_DISK_FULL)})))
            << o.out.toStdString();
        EXPECT_EQ(wimfix::fileDigest(wim), digest);
        EXPECT_EQ(leftovers(stickPath), QStringList());
    }
}

TEST_F(ExfatTest, AppendKilledOrFailedAtEveryCallThere)
{
    if (!mountStick())
        GTEST_SKIP() << "exFAT tests skipped: " << stick->error().toStdString();
    const QString wim = stickPath + QStringLiteral("/install.wim");
    const SweepResult r =
        sweepCommit(stickPath, base, wim,
                    {"1020",
                     {"captureSource=" + dir.file("small"), "captureTarget=" + wim,
                      "captureName=added"},
                     [](const QString& w) {
                         return wimfix::imageCount(w) == 3 &&
                                wimfix::imageProperty(w, 3, "NAME") == "added";
                     }});
    EXPECT_GE(r.calls, 5);
    EXPECT_EQ(r.killedInside, r.calls);
    EXPECT_GE(r.restored, r.calls - 2);
    EXPECT_GE(r.failedClean, r.calls - 1);
}

} // namespace
