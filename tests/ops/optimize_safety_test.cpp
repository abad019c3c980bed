// Optimize (the rebuild of a WIM into a new file renamed over it) run as `pelloric-run`
// processes that are killed at points across their write, and raced by other writers: the
// file must verify afterwards and hold the old images or the rebuilt ones, and no writer that
// reported success may lose its change. Every child is waited for with a time limit.
#include "ops/Context.h"
#include "ops/Text.h"
#include "support/OperationRun.h"
#include "support/TempDir.h"
#include "support/ToolboxFixtures.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <csignal>
#include <thread>

using namespace oprun;

namespace {

const QString kRunner = QStringLiteral(PELLORIC_BINARY_DIR "/src/app/pelloric-run");

QProcess* startChild(QObject* parent, const QStringList& args)
{
    auto* p = new QProcess(parent);
    p->setProcessChannelMode(QProcess::MergedChannels);
    p->start(kRunner, args);
    p->waitForStarted(10000);
    return p;
}

// The exit code of a child given 60 s to end (killed then), -1 when it did not end normally.
int finish(QProcess* p)
{
    if (!p->waitForFinished(60000)) {
        p->kill();
        p->waitForFinished(10000);
        return -1;
    }
    return p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1;
}

class OptimizeSafety : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString a = dir.mkdir("a");
        const QString b = dir.mkdir("b");
        toolfix::makeNoiseTree(a, 24, 512 * 1024); // 12 MB that LZX takes a while to compress
        toolfix::makeNoiseTree(b, 4, 256 * 1024);
        wim = dir.file("w.wim");
        ASSERT_TRUE(wimfix::makeWim(wim, {{{a, "a"}, {b, "b"}, {b, "deleted"}}, 1}));
        ASSERT_EQ(toolfix::imagex({"delete", wim, "3", "--soft"}), 0);
        original = readFileBytes(wim);
        paths = {wimfix::imagePaths(wim, 1), wimfix::imagePaths(wim, 2)};
    }
    void restore()
    {
        QFile f(wim);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(f.write(original), original.size());
    }
    QStringList optimizeArgs() const
    {
        return {QString::number(ID_OPTIMIZE), "optimizeSource=" + wim,
                QStringLiteral("optimizeCompression=最大")};
    }
    bool stageExists() const { return !QDir(dir.path()).entryList({"*.pelloric-*"}).isEmpty(); }
    // The file verifies and holds the two images, as before or rebuilt.
    void expectWhole(const char* when)
    {
        EXPECT_TRUE(wimfix::imagexVerify(wim)) << when;
        EXPECT_EQ(wimfix::imageCount(wim), 2) << when;
        EXPECT_EQ(wimfix::imagePaths(wim, 1), paths[0]) << when;
        EXPECT_EQ(wimfix::imagePaths(wim, 2), paths[1]) << when;
    }

    TempDir dir;
    QString wim;
    QByteArray original;
    std::vector<QStringList> paths;
};

} // namespace

// kill -9 at points spread over a whole run: whenever it lands, the path holds the old file or
// the rebuilt one, and the next run sweeps what the killed one left. Most kills must land
// inside the write (a stage file exists and the process still runs), or the test proves
// nothing and fails.
TEST_F(OptimizeSafety, KilledAtPointsAcrossTheWriteTheFileStaysWhole)
{
    QObject owner;
    QElapsedTimer timer;
    timer.start();
    QProcess* timed = startChild(&owner, optimizeArgs());
    ASSERT_EQ(finish(timed), 0) << timed->readAll().toStdString();
    const qint64 duration = timer.elapsed();
    expectWhole("after an uninterrupted run");
    EXPECT_LT(QFile(wim).size(), original.size());

    constexpr int kRounds = 14;
    int inside = 0;
    int before = 0;
    int after = 0;
    for (int round = 0; round < kRounds; ++round) {
        restore();
        QProcess* child = startChild(&owner, optimizeArgs());
        const auto delay = std::chrono::milliseconds(duration * (2 * round + 1) / (2 * kRounds));
        std::this_thread::sleep_for(delay);
        const bool running = child->state() == QProcess::Running;
        const bool staged = stageExists();
        if (running && staged)
            ++inside;
        else if (running)
            ++before;
        else
            ++after;
        ::kill(static_cast<pid_t>(child->processId()), SIGKILL);
        child->waitForFinished(10000);
        expectWhole(QStringLiteral("round %1").arg(round).toUtf8().constData());
        const bool old = readFileBytes(wim) == original;
        EXPECT_TRUE(old || QFile(wim).size() < original.size()) << round;
    }
    std::cout << "kills: " << before << " before the write, " << inside << " inside it, " << after
              << " after the process ended (run of " << duration << " ms)\n";
    EXPECT_GE(inside, kRounds / 2) << "too few kills landed inside the write";

    QProcess* last = startChild(&owner, optimizeArgs());
    ASSERT_EQ(finish(last), 0);
    EXPECT_FALSE(stageExists()) << "a killed run's stage file outlived the next run";
    expectWhole("after the last run");
}

// Optimize raced by a writer that commits in place (a Pelloric modify) at points across its run: every writer that reports success keeps its change, the
// file verifies, and the races really overlapped (some writer or the optimize lost one).
TEST_F(OptimizeSafety, RacingWritersNeverLoseAReportedChange)
{
    QObject owner;
    QElapsedTimer timer;
    timer.start();
    ASSERT_EQ(finish(startChild(&owner, optimizeArgs())), 0);
    const qint64 duration = timer.elapsed();

    constexpr int kRounds = 8;
    int overlapped = 0;
    for (int round = 0; round < kRounds; ++round) {
        restore();
        const QString name = QStringLiteral("racer%1").arg(round);
        QProcess* optimize = startChild(&owner, optimizeArgs());
        std::this_thread::sleep_for(
            std::chrono::milliseconds(duration * (2 * round + 1) / (2 * kRounds)));
        const int writer = finish(startChild(
            &owner, {QString::number(ID_MODIFY), "modifySource=" + wim, "modifyIndex=1",
                     "modifyName=" + name}));
        const int optimized = finish(optimize);
        overlapped += (writer != 0 || optimized != 0) ? 1 : 0;
        EXPECT_TRUE(wimfix::imagexVerify(wim)) << round;
        EXPECT_EQ(wimfix::imageCount(wim), 2) << round;
        if (writer == 0)
            EXPECT_EQ(wimfix::imageProperty(wim, 1, "NAME"), name) << "round " << round;
        else
            EXPECT_EQ(wimfix::imageProperty(wim, 1, "NAME"), QStringLiteral("a")) << round;
        EXPECT_FALSE(stageExists()) << round;
    }
    std::cout << overlapped << " of " << kRounds << " rounds overlapped\n";
    EXPECT_GE(overlapped, kRounds / 4) << "the writers never met the optimize";
}
