// Mount and unmount as the progress dialog runs them, against real FUSE mounts: their log
// lines, the worker frame, the mounted-image list and the failures the user reads about.
#include "ops/MountOps.h"
#include "ops/Operations.h"
#include "ops/Text.h"
#include "ops/Worker.h"
#include "platform/Kernel.h"
#include "platform/mount-helper/MountRecord.h"
#include "support/MountFixture.h"
#include "support/OperationRun.h"
#include "support/RecordingPort.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <atomic>

namespace
{

QString msg(UINT id, std::initializer_list<MessageArg> args = {})
{
    return formatMessage(id, args);
}

QString canonical(const QString& path)
{
    return QFileInfo(path).canonicalFilePath();
}

class RecordingPage : public PagePort
{
public:
    void postMountListRefresh() override { ++refreshes; }
    std::atomic<int> refreshes{0};
};

TEST(SameMountFolder, OneTrailingSlashIsDroppedAndCaseCounts)
{
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    const Case cases[] = {
        {"/mnt/image", "/mnt/image", true},
        {"/mnt/image/", "/mnt/image", true},
        {"/mnt/image/", "/mnt/image/", true},
        {"/mnt/image//", "/mnt/image", false},
        {"/mnt/image//", "/mnt/image/", false},
        {"/mnt/image//", "/mnt/image//", true},
        {"/mnt/Image", "/mnt/image", false},
        {"/MNT/IMAGE/", "/mnt/image", false},
        {"/mnt/image\\", "/mnt/image", false},
        {"/mnt/image", "/mnt/image2", false},
        {"", "", true},
        {"/", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " | " + c.b);
        EXPECT_EQ(sameMountFolder(QString::fromUtf8(c.a), QString::fromUtf8(c.b)), c.same);
        EXPECT_EQ(sameMountFolder(QString::fromUtf8(c.b), QString::fromUtf8(c.a)), c.same);
    }
}

class MountOpsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QString why;
        if (!mountfix::fuseAvailable(&why))
            GTEST_SKIP() << "mount tests skipped: " << why.toStdString();
        mountfix::prepareMounting();
        wimfix::makeTree(dir.file("tree"), {{"a.txt", "alpha"}, {"sub/b.txt", "beta"}});
        wim = dir.file("image.wim");
        wimfix::WimRecipe layout;
        layout.images = {{dir.file("tree"), "Image", "", {}}};
        QString error;
        ASSERT_TRUE(wimfix::makeWim(wim, layout, &error)) << error.toStdString();
        mountFolder = dir.mkdir("mount");
        OperationRequest& request = context.request;
        request.mountSource = wim;
        request.mountPath = mountFolder;
        request.mountIndex = 1;
    }

    void TearDown() override
    {
        context.progressWindow = nullptr;
        context.pageWindow = nullptr;
        if (!dir.path().isEmpty())
            mountfix::sweepMounts(dir.path());
    }

    // Runs operation id on the worker as the progress dialog does; returns the log lines.
    QStringList runOperation(int id)
    {
        port.clear();
        EXPECT_TRUE(oprun::runOperation(context, id, port));
        EXPECT_TRUE(requestCloseOrAbort(context));
        return port.logLines();
    }

    // Runs one operation function directly with the recording port attached.
    QStringList runDirect(bool (*operation)(OperationContext&), bool* result)
    {
        port.clear();
        context.logText.clear();
        context.progressWindow = &port;
        *result = operation(context);
        context.progressWindow = nullptr;
        return port.logLines();
    }

    QStringList mountLog(const QString& folder, const QString& wimFile, int index, int rw)
    {
        return {msg(Text::MountPathLine, {folder}),
                msg(Text::ImageFileLine, {wimFile}),
                msg(Text::ImageIndexLine, {std::int64_t(index)}),
                msg(Text::ReadWriteLine, {std::int64_t(rw)}),
                QString(),
                msg(Text::OpeningWim)};
    }

    TempDir dir;
    QString wim;
    QString mountFolder;
    OperationContext context;
    RecordingPort port;
};

TEST_F(MountOpsTest, ReadOnlyMountAndUnmountLogTheirSteps)
{
    QStringList expected = mountLog(mountFolder, wim, 1, 0);
    expected << msg(Text::MountSucceeded);
    EXPECT_EQ(runOperation(ID_MOUNT), expected);
    // Mount cannot be aborted: the button is disabled from the start and enabled at the end.
    const auto calls = port.calls();
    const auto firstEnable = std::find_if(calls.begin(), calls.end(), [](const auto& c) {
        return c.kind == RecordingPort::Call::Enable && c.id == IDC_CLOSE_BUTTON;
    });
    ASSERT_NE(firstEnable, calls.end());
    EXPECT_FALSE(firstEnable->on);
    EXPECT_TRUE(port.itemEnabled(IDC_CLOSE_BUTTON));
    EXPECT_EQ(port.itemText(IDC_CLOSE_BUTTON), loadString(Text::CloseButton));

    const QString folder = canonical(mountFolder);
    const QString wimFile = canonical(wim);
    const auto lines = mountedImageLines();
    ASSERT_TRUE(lines.has_value());
    EXPECT_TRUE(lines->contains(QStringList{"R", folder, wimFile, "1"}.join('\t')))
        << lines->join('\n').toStdString();
    EXPECT_EQ(readFileBytes(mountFolder + "/sub/b.txt"), QByteArray("beta"));

    // "应用更改" ticked on a read-only mount: the plain unmount line, and it succeeds.
    context.request.mountPath = folder + "/";
    context.request.unmountCommit = true;
    const QStringList unmountExpected = {msg(Text::MountPathLine, {folder}),
                                         msg(Text::ImageFileLine, {wimFile}),
                                         msg(Text::ImageIndexLine, {std::int64_t(1)}),
                                         msg(Text::ReadWriteLine, {std::int64_t(0)}),
                                         QString(),
                                         msg(Text::Unmounting),
                                         QString(),
                                         msg(Text::UnmountSucceeded)};
    EXPECT_EQ(runOperation(ID_UNMOUNT), unmountExpected);
    EXPECT_TRUE(mountfix::mountsBelow(dir.path()).empty());
    EXPECT_EQ(port.itemText(IDC_CLOSE_BUTTON), loadString(Text::CloseButton));
}

TEST_F(MountOpsTest, ReadWriteMountCommitsOnUnmount)
{
    context.request.mountReadWrite = true;
    QStringList expected = mountLog(mountFolder, wim, 1, 1);
    expected << msg(Text::MountSucceeded);
    EXPECT_EQ(runOperation(ID_MOUNT), expected);
    const auto rows = mountedImageRows();
    ASSERT_TRUE(rows.has_value());
    const auto row = std::find_if(rows->begin(), rows->end(), [&](const MountedImageRow& r) {
        return r.mountFolder == canonical(mountFolder);
    });
    ASSERT_NE(row, rows->end());
    EXPECT_EQ(row->access, loadString(Text::ReadWrite));

    QFile file(mountFolder + "/added.txt");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("kept");
    file.close();

    context.request.mountPath = canonical(mountFolder);
    context.request.unmountCommit = true;
    const QStringList log = runOperation(ID_UNMOUNT);
    ASSERT_EQ(log.size(), 8);
    EXPECT_EQ(log[3], msg(Text::ReadWriteLine, {std::int64_t(1)}));
    EXPECT_EQ(log[5], msg(Text::CommittingAndUnmounting));
    EXPECT_EQ(log[7], msg(Text::UnmountSucceeded));
    EXPECT_EQ(wimfix::imagePaths(wim, 1), (QStringList{"a.txt", "added.txt", "sub", "sub/b.txt"}));
    QString output;
    EXPECT_TRUE(wimfix::imagexVerify(wim, &output)) << output.toStdString();
}

TEST_F(MountOpsTest, MountFailuresAreLoggedWithTheReason)
{
    const QString full = dir.mkdir("full");
    dir.write("full/x.txt", "x");
    const QString notWim = dir.write("notes.wim", QByteArray(2048, 'n'));
    const QString longFolder = dir.path() + "/" + QString(300, QLatin1Char('d'));

    struct Case {
        const char* what;
        QString folder;
        QString source;
        std::uint32_t index;
        DWORD error;
    };
    const std::vector<Case> cases = {
        {"missing folder", dir.file("absent"), wim, 1, ERROR_PATH_NOT_FOUND},
        {"folder not empty", full, wim, 1, ERROR_DIR_NOT_EMPTY},
        {"index out of range", mountFolder, wim, 2, ERROR_INVALID_PARAMETER},
        {"not a WIM", mountFolder, notWim, 1, ERROR_BAD_FORMAT},
        {"path longer than 259 characters", longFolder, wim, 1, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        context.request.mountPath = c.folder;
        context.request.mountSource = c.source;
        context.request.mountIndex = c.index;
        bool ok = true;
        const QStringList log = runDirect(RunMount, &ok);
        EXPECT_FALSE(ok);
        QStringList expected = mountLog(c.folder, c.source, int(c.index), 0);
        expected << msg(Text::MountFailed) << msg(Text::ErrorReason, {errorText(c.error)});
        EXPECT_EQ(log, expected);
        EXPECT_TRUE(mountfix::mountsBelow(dir.path()).empty());
    }
}

TEST_F(MountOpsTest, UnmountOfAnImageUnmountedElsewhereRefreshesTheList)
{
    bool ok = false;
    runDirect(RunMount, &ok);
    ASSERT_TRUE(ok);
    QString output;
    ASSERT_EQ(runProgram("wimlib-imagex", {"unmount", mountFolder}, &output), 0)
        << output.toStdString();

    RecordingPage page;
    context.pageWindow = &page;
    context.request.mountPath = canonical(mountFolder);
    const QStringList log = runDirect(RunUnmount, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(log, QStringList{msg(Text::MountPointNotFound, {canonical(mountFolder)})});
    EXPECT_EQ(page.refreshes.load(), 1);
}

TEST_F(MountOpsTest, FolderInAnotherLetterCaseIsNotTheMountedOne)
{
    bool ok = false;
    runDirect(RunMount, &ok);
    ASSERT_TRUE(ok);
    const QString other = canonical(dir.path()) + "/MOUNT";
    context.request.mountPath = other;
    const QStringList log = runDirect(RunUnmount, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(log, QStringList{msg(Text::MountPointNotFound, {other})});
    EXPECT_EQ(mountfix::mountsBelow(dir.path()).size(), 1u);
}

TEST_F(MountOpsTest, MoreThanThirtyTwoImagesAreListedAndUnmountable)
{
    constexpr int kMounts = 33;
    QStringList folders;
    for (int i = 0; i < kMounts; ++i) {
        const QString folder =
            dir.mkdir(QStringLiteral("many/m%1").arg(i, 2, 10, QLatin1Char('0')));
        ASSERT_TRUE(WIMMountImage(wide(folder), wide(wim), 1, nullptr))
            << i << ": " << GetLastError();
        folders << canonical(folder);
    }
    const auto lines = mountedImageLines();
    ASSERT_TRUE(lines.has_value());
    for (const QString& folder : folders)
        EXPECT_TRUE(lines->contains(QStringList{"R", folder, canonical(wim), "1"}.join('\t')))
            << folder.toStdString();

    context.request.mountPath = folders.last();
    bool ok = false;
    const QStringList log = runDirect(RunUnmount, &ok);
    EXPECT_TRUE(ok) << log.join('\n').toStdString();
    ASSERT_FALSE(log.isEmpty());
    EXPECT_EQ(log.last(), msg(Text::UnmountSucceeded));
    EXPECT_EQ(mountfix::mountsBelow(dir.path()).size(), std::size_t(kMounts - 1));
}

TEST_F(MountOpsTest, DeadMountIsMarkedAndItsUnmountSaysThereIsNothingToCommit)
{
    context.request.mountReadWrite = true;
    bool ok = false;
    runDirect(RunMount, &ok);
    ASSERT_TRUE(ok);
    std::string staging;
    for (const MountRecord& record : listMountRecords()) {
        if (QString::fromStdString(record.mountFolder) == canonical(mountFolder))
            staging = record.stagingFolder;
    }
    ASSERT_FALSE(staging.empty());
    ASSERT_TRUE(QFileInfo(QString::fromStdString(staging)).isDir());
    ASSERT_TRUE(mountfix::killTheDaemon("pelloric-mount"));

    const QString folder = canonical(dir.path()) + "/mount";
    const QString deadAccess = msg(Text::MarkedDead, {loadString(Text::ReadWrite)});
    EXPECT_EQ(deadAccess, u"R/W (已失效)"_qs);
    const auto lines = mountedImageLines();
    ASSERT_TRUE(lines.has_value());
    const QString deadLine = QStringList{deadAccess, folder, canonical(wim), "1"}.join('\t');
    EXPECT_TRUE(lines->contains(deadLine)) << lines->join('\n').toStdString();
    const QString runner = QStringLiteral(PELLORIC_BINARY_DIR "/src/app/pelloric-run");
    if (QFileInfo(runner).isExecutable()) {
        QString output;
        EXPECT_EQ(runProgram(runner, {"mounts"}, &output), 0);
        EXPECT_TRUE(output.split('\n').contains(deadLine)) << output.toStdString();
    }

    // "应用更改" ticked: nothing is left to commit, and the log says so.
    context.request.mountPath = folder;
    context.request.unmountCommit = true;
    const QByteArray digest = wimfix::fileDigest(wim);
    const QStringList expected = {msg(Text::MountPathLine, {folder}),
                                  msg(Text::ImageFileLine, {canonical(wim)}),
                                  msg(Text::ImageIndexLine, {std::int64_t(1)}),
                                  msg(Text::ReadWriteLine, {std::int64_t(1)}),
                                  QString(),
                                  msg(Text::DeadMountHasNothingToCommit),
                                  msg(Text::Unmounting),
                                  QString(),
                                  msg(Text::UnmountSucceeded)};
    EXPECT_EQ(runDirect(RunUnmount, &ok), expected);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(mountfix::mountsBelow(dir.path()).empty());
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(staging)));
    EXPECT_EQ(wimfix::fileDigest(wim), digest);

    // Mounting there again works.
    context.request.mountReadWrite = false;
    runDirect(RunMount, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(readFileBytes(mountFolder + "/a.txt"), QByteArray("alpha"));
}

TEST_F(MountOpsTest, DeadMountOfAnotherProgramLogsWhatIsKnown)
{
    QString output;
    ASSERT_EQ(runProgram("wimlib-imagex", {"mount", wim, "1", mountFolder}, &output), 0)
        << output.toStdString();
    ASSERT_TRUE(mountfix::killTheDaemon("wimlib-imagex"));

    const QString folder = canonical(dir.path()) + "/mount";
    const auto rows = mountedImageRows();
    ASSERT_TRUE(rows.has_value());
    const auto row = std::find_if(rows->begin(), rows->end(), [&](const MountedImageRow& r) {
        return r.mountFolder == folder;
    });
    ASSERT_NE(row, rows->end());
    EXPECT_TRUE(row->dead);
    EXPECT_EQ(row->access, u"R (已失效)"_qs);
    EXPECT_EQ(row->wimFile, QString());
    EXPECT_EQ(row->index, QString());

    context.request.mountPath = folder;
    bool ok = false;
    const QStringList expected = {msg(Text::MountPathLine, {folder}),
                                  msg(Text::ReadWriteLine, {std::int64_t(0)}),
                                  QString(),
                                  msg(Text::DeadMountHasNothingToCommit),
                                  msg(Text::Unmounting),
                                  QString(),
                                  msg(Text::UnmountSucceeded)};
    EXPECT_EQ(runDirect(RunUnmount, &ok), expected);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(mountfix::mountsBelow(dir.path()).empty());
}

TEST_F(MountOpsTest, RunnerMountsListsAndUnmounts)
{
    const QString runner = QStringLiteral(PELLORIC_BINARY_DIR "/src/app/pelloric-run");
    if (!QFileInfo(runner).isExecutable())
        GTEST_SKIP() << "pelloric-run is not built";
    QString output;
    ASSERT_EQ(runProgram(runner,
                         {"1060", "mountSource=" + wim, "mountPath=" + mountFolder, "mountIndex=1",
                          "mountReadWrite=1"},
                         &output),
              0)
        << output.toStdString();
    EXPECT_TRUE(output.contains(msg(Text::MountSucceeded))) << output.toStdString();

    ASSERT_EQ(runProgram(runner, {"mounts"}, &output), 0) << output.toStdString();
    const QString line = QStringList{"R/W", canonical(mountFolder), canonical(wim), "1"}.join('\t');
    EXPECT_TRUE(output.split('\n').contains(line)) << output.toStdString();

    ASSERT_EQ(runProgram(runner, {"1061", "mountPath=" + canonical(mountFolder)}, &output), 0)
        << output.toStdString();
    EXPECT_TRUE(output.contains(msg(Text::UnmountSucceeded))) << output.toStdString();
    ASSERT_EQ(runProgram(runner, {"mounts"}, &output), 0);
    EXPECT_FALSE(output.contains(canonical(mountFolder)));
}

} // namespace
