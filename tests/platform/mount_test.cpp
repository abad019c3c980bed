// The mount layer through real FUSE: images mounted by the helper process, read and written
// through the mount, listed from the mount table, unmounted with and without commit.
#include "platform/Imaging.h"
#include "platform/Kernel.h"
#include "platform/Mount.h"
#include "platform/mount-helper/MountRecord.h"
#include "support/MountFixture.h"
#include "support/OperationRun.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

QString canonical(const QString& path)
{
    return QFileInfo(path).canonicalFilePath();
}

QStringList entriesOf(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

// The records the helpers keep, for the mount folder given.
std::vector<MountRecord> recordsFor(const QString& folder)
{
    std::vector<MountRecord> found;
    for (const MountRecord& record : listMountRecords()) {
        if (QString::fromStdString(record.mountFolder) == canonical(folder))
            found.push_back(record);
    }
    return found;
}

class MountTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QString why;
        if (!mountfix::fuseAvailable(&why))
            GTEST_SKIP() << "mount tests skipped: " << why.toStdString();
        mountfix::prepareMounting();
        wimfix::makeTree(dir.file("one"), {{"a.txt", "first image"}});
        wimfix::makeTree(dir.file("two"), {{"b.txt", "second image"}, {"sub/c.txt", "deep"}});
        wim = dir.file("two images.wim");
        wimfix::WimRecipe layout;
        layout.images = {{dir.file("one"), "One", "", {}}, {dir.file("two"), "Two", "", {}}};
        QString error;
        ASSERT_TRUE(wimfix::makeWim(wim, layout, &error)) << error.toStdString();
        // A mount folder whose name the mount table has to escape.
        mountFolder = dir.mkdir(QStringLiteral("挂载 point\tx"));
        staging = dir.mkdir(QStringLiteral("staging"));
    }

    void TearDown() override
    {
        if (!dir.path().isEmpty())
            mountfix::sweepMounts(dir.path());
    }

    bool mount(DWORD index, bool readWrite)
    {
        return WIMMountImage(wide(mountFolder), wide(wim), index,
                             readWrite ? wide(staging) : nullptr) != FALSE;
    }

    TempDir dir;
    QString wim;
    QString mountFolder;
    QString staging;
};

TEST_F(MountTest, ReadOnlyMountServesTheImageAndIsListed)
{
    ASSERT_TRUE(mountfix::mountsBelow(dir.path()).empty());
    ASSERT_TRUE(mount(2, false)) << GetLastError();

    QFile file(mountFolder + "/sub/c.txt");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("deep"));
    file.close();
    EXPECT_FALSE(QFile(mountFolder + "/new.txt").open(QIODevice::WriteOnly));

    const auto mounts = mountfix::mountsBelow(dir.path());
    ASSERT_EQ(mounts.size(), 1u);
    EXPECT_EQ(mountfix::fromWide(mounts[0].MountPath), canonical(mountFolder));
    EXPECT_EQ(mountfix::fromWide(mounts[0].WimPath), canonical(wim));
    EXPECT_EQ(mounts[0].ImageIndex, 2u);
    EXPECT_FALSE(mounts[0].MountedForRW);

    ASSERT_TRUE(WIMUnmountImage(mounts[0].MountPath, mounts[0].WimPath, 2, FALSE));
    EXPECT_TRUE(mountfix::mountsBelow(dir.path()).empty());
    EXPECT_TRUE(QDir(mountFolder).isEmpty());
}

TEST_F(MountTest, ReadWriteCommitStoresTheNewFile)
{
    ASSERT_TRUE(mount(1, true)) << GetLastError();
    const auto mounts = mountfix::mountsBelow(dir.path());
    ASSERT_EQ(mounts.size(), 1u);
    EXPECT_TRUE(mounts[0].MountedForRW);

    QFile file(mountFolder + "/new.txt");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("written through the mount");
    file.close();

    ASSERT_TRUE(WIMUnmountImage(wide(mountFolder), wide(wim), 1, TRUE)) << GetLastError();
    EXPECT_TRUE(mountfix::mountsBelow(dir.path()).empty());
    EXPECT_EQ(wimfix::imagePaths(wim, 1), (QStringList{"a.txt", "new.txt"}));
    EXPECT_EQ(wimfix::imagePaths(wim, 2), (QStringList{"b.txt", "sub", "sub/c.txt"}));
    QString output;
    EXPECT_TRUE(wimfix::imagexVerify(wim, &output)) << output.toStdString();
    // The daemon has removed its staging folder and record by the time the call returns.
    EXPECT_EQ(entriesOf(staging), QStringList());
    EXPECT_TRUE(recordsFor(mountFolder).empty());
}

TEST_F(MountTest, ReadWriteDiscardLeavesTheWimUnchanged)
{
    const QByteArray before = wimfix::fileDigest(wim);
    ASSERT_TRUE(mount(1, true)) << GetLastError();
    QFile file(mountFolder + "/new.txt");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("thrown away");
    file.close();
    ASSERT_TRUE(QFile::remove(mountFolder + "/a.txt"));

    ASSERT_TRUE(WIMUnmountImage(wide(mountFolder), wide(wim), 1, FALSE)) << GetLastError();
    EXPECT_EQ(wimfix::fileDigest(wim), before);
    EXPECT_EQ(wimfix::imagePaths(wim, 1), QStringList{"a.txt"});
    EXPECT_EQ(entriesOf(staging), QStringList());
}

TEST_F(MountTest, FailedCommitLeavesTheImageMounted)
{
    ASSERT_TRUE(mount(1, true)) << GetLastError();
    const QByteArray path = QFile::encodeName(mountFolder + "/open.txt");
    const int fd = open(path.constData(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "busy", 4), 4);

    EXPECT_FALSE(WIMUnmountImage(wide(mountFolder), wide(wim), 1, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(mountfix::mountsBelow(dir.path()).size(), 1u);
    close(fd);

    // Once the file is closed the commit goes through.
    ASSERT_TRUE(WIMUnmountImage(wide(mountFolder), wide(wim), 1, TRUE)) << GetLastError();
    EXPECT_EQ(wimfix::imagePaths(wim, 1), (QStringList{"a.txt", "open.txt"}));
}

TEST_F(MountTest, CommitOntoAFullDiskSaysTheDiskIsFull)
{
    // The WIM on a volume with little room; what the commit adds does not fit. The commit
    // fails in the daemon, whose status carries no errno: the cause comes from its record.
    const QString volume = dir.mkdir(QStringLiteral("vol"));
    oprun::TmpfsMount tmpfs(volume,
                            QStringLiteral("size=%1k").arg(QFileInfo(wim).size() / 1024 + 64));
    if (!tmpfs.ok())
        GTEST_SKIP() << tmpfs.error().toStdString();
    const QString small = volume + QStringLiteral("/small.wim");
    ASSERT_TRUE(QFile::copy(wim, small));
    wim = small;
    const QByteArray before = wimfix::fileDigest(wim);
    ASSERT_TRUE(mount(1, true)) << GetLastError();
    QByteArray noise(1024 * 1024, '\0');
    for (char& c : noise)
        c = static_cast<char>(QRandomGenerator::global()->generate());
    QFile file(mountFolder + "/noise.bin");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(noise), noise.size());
    file.close();

    EXPECT_FALSE(WIMUnmountImage(wide(mountFolder), wide(wim), 1, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(mountfix::mountsBelow(dir.path()).size(), 1u);
    ASSERT_TRUE(WIMUnmountImage(wide(mountFolder), wide(wim), 1, FALSE)) << GetLastError();
    EXPECT_EQ(wimfix::fileDigest(wim), before);
}

TEST_F(MountTest, ImageMountedByWimlibImagexIsListedAndUnmounted)
{
    QString output;
    ASSERT_EQ(runProgram("wimlib-imagex", {"mount", wim, "2", mountFolder}, &output), 0)
        << output.toStdString();
    const auto mounts = mountfix::mountsBelow(dir.path());
    ASSERT_EQ(mounts.size(), 1u);
    EXPECT_EQ(mountfix::fromWide(mounts[0].WimPath), canonical(wim));
    EXPECT_EQ(mounts[0].ImageIndex, 2u);

    ASSERT_TRUE(WIMUnmountImage(mounts[0].MountPath, nullptr, 0, FALSE)) << GetLastError();
    EXPECT_TRUE(mountfix::mountsBelow(dir.path()).empty());
}

TEST_F(MountTest, UnmountNeedsTheImageThatIsMountedThere)
{
    EXPECT_FALSE(WIMUnmountImage(wide(mountFolder), wide(wim), 1, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    ASSERT_TRUE(mount(2, false));
    EXPECT_FALSE(WIMUnmountImage(wide(mountFolder), wide(wim), 1, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WIMUnmountImage(wide(mountFolder), wide(dir.file("other.wim")), 2, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(mountfix::mountsBelow(dir.path()).size(), 1u);
    // A trailing slash names the same folder.
    EXPECT_TRUE(WIMUnmountImage(wide(mountFolder + "/"), wide(wim), 2, FALSE));
}

TEST_F(MountTest, MountFailuresSayWhy)
{
    const QString full = dir.mkdir("full");
    dir.write("full/keep.txt", "x");
    const QString notWim = dir.write("not a wim.wim", QByteArray(4096, 'x'));
    const QString aFile = dir.write("plain.txt", "x");
    const QString deep = dir.mkdir(QString(150, 'a') + "/" + QString(150, 'b'));

    struct Case {
        const char* what;
        QString folder;
        QString wimFile;
        DWORD index;
        QString staging;
        DWORD error;
    };
    const std::vector<Case> cases = {
        {"missing folder", dir.file("nowhere"), wim, 1, {}, ERROR_PATH_NOT_FOUND},
        {"folder not empty", full, wim, 1, {}, ERROR_DIR_NOT_EMPTY},
        {"folder is a file", aFile, wim, 1, {}, ERROR_DIRECTORY},
        {"index beyond the images", mountFolder, wim, 3, {}, ERROR_INVALID_PARAMETER},
        {"index 0", mountFolder, wim, 0, {}, ERROR_INVALID_PARAMETER},
        {"not a WIM", mountFolder, notWim, 1, {}, ERROR_BAD_FORMAT},
        {"missing WIM", mountFolder, dir.file("none.wim"), 1, {}, ERROR_FILE_NOT_FOUND},
        {"empty folder name", QString(), wim, 1, {}, ERROR_INVALID_PARAMETER},
        {"folder path too long to list", deep, wim, 1, {}, ERROR_FILENAME_EXCED_RANGE},
        {"missing staging folder", mountFolder, wim, 1, dir.file("no-stage"), ERROR_PATH_NOT_FOUND},
    };
    const QByteArray digest = wimfix::fileDigest(wim);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const BOOL ok = WIMMountImage(wide(c.folder), wide(c.wimFile), c.index,
                                      c.staging.isEmpty() ? nullptr : wide(c.staging));
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_TRUE(mountfix::mountsBelow(dir.path()).empty());
    }
    EXPECT_EQ(wimfix::fileDigest(wim), digest);
    EXPECT_EQ(readFileBytes(full + "/keep.txt"), QByteArray("x"));
}

TEST_F(MountTest, MissingHelperIsReported)
{
    setMountHelperPath(wide(dir.file("no-such-helper")));
    EXPECT_FALSE(mount(1, false));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    mountfix::prepareMounting();
    EXPECT_TRUE(mount(1, false));
}

TEST_F(MountTest, ListTooSmallNamesTheSizeNeeded)
{
    const QString second = dir.mkdir("second");
    ASSERT_TRUE(mount(1, false));
    ASSERT_TRUE(WIMMountImage(wide(second), wide(wim), 2, nullptr));

    // Other tests may mount or unmount meanwhile (ctest runs them side by side); ask again
    // until three answers in a row agree.
    std::vector<WIM_MOUNT_LIST> entries;
    bool consistent = false;
    for (int attempt = 0; attempt < 10 && !consistent; ++attempt) {
        DWORD size = 0;
        ASSERT_FALSE(WIMGetMountedImages(nullptr, &size));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        ASSERT_GE(size, 2 * sizeof(WIM_MOUNT_LIST));
        ASSERT_EQ(size % sizeof(WIM_MOUNT_LIST), 0u);

        entries.assign(size / sizeof(WIM_MOUNT_LIST), WIM_MOUNT_LIST{});
        DWORD tooSmall = size - sizeof(WIM_MOUNT_LIST);
        const BOOL smallOk = WIMGetMountedImages(entries.data(), &tooSmall);
        const DWORD smallError = GetLastError();
        DWORD fits = size;
        const BOOL fitsOk = WIMGetMountedImages(entries.data(), &fits);
        if (!smallOk && smallError == ERROR_INSUFFICIENT_BUFFER && tooSmall == size && fitsOk &&
            fits == size)
            consistent = true;
    }
    ASSERT_TRUE(consistent);
    // Mount order is list order.
    QStringList folders;
    for (const WIM_MOUNT_LIST& entry : entries)
        folders << mountfix::fromWide(entry.MountPath);
    const qsizetype first = folders.indexOf(canonical(mountFolder));
    ASSERT_GE(first, 0);
    EXPECT_GT(folders.indexOf(canonical(second)), first);
}

TEST_F(MountTest, RelativePathsAreTakenAgainstTheCurrentFolder)
{
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    const BOOL ok = WIMMountImage(wide(QFileInfo(mountFolder).fileName()),
                                  wide(QFileInfo(wim).fileName()), 1, nullptr);
    const DWORD error = GetLastError();
    QDir::setCurrent(previous);
    ASSERT_TRUE(ok) << error;
    const auto mounts = mountfix::mountsBelow(dir.path());
    ASSERT_EQ(mounts.size(), 1u);
    EXPECT_EQ(mountfix::fromWide(mounts[0].WimPath), canonical(wim));
    EXPECT_EQ(readFileBytes(mountFolder + "/a.txt"), QByteArray("first image"));
}

TEST_F(MountTest, DeadMountIsListedThenUnmountedWithItsStagingFolder)
{
    ASSERT_TRUE(mount(1, true)) << GetLastError();
    // The helper's own staging folder holds libwim's.
    const QStringList staged = entriesOf(staging);
    ASSERT_EQ(staged.size(), 1);
    EXPECT_TRUE(staged[0].startsWith("pelloric-staging.")) << staged[0].toStdString();
    QFile file(mountFolder + "/new.txt");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("lost with the daemon");
    file.close();
    ASSERT_EQ(recordsFor(mountFolder).size(), 1u);
    EXPECT_FALSE(recordsFor(mountFolder)[0].orphaned);
    const QByteArray digest = wimfix::fileDigest(wim);

    ASSERT_TRUE(mountfix::killTheDaemon("pelloric-mount"));

    // Still in the mount table, dead, and named from the helper's record.
    auto infos = mountfix::mountInfoBelow(dir.path());
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0].MountFlags, WIM_MOUNT_FLAG_INVALID | WIM_MOUNT_FLAG_READWRITE);
    EXPECT_EQ(mountfix::fromWide(infos[0].MountPath), canonical(dir.path()) + "/" +
                                                          QFileInfo(mountFolder).fileName());
    EXPECT_EQ(mountfix::fromWide(infos[0].WimPath), canonical(wim));
    EXPECT_EQ(infos[0].ImageIndex, 1u);
    const auto plain = mountfix::mountsBelow(dir.path());
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_TRUE(plain[0].MountedForRW);
    // Nothing can be mounted on top of it.
    EXPECT_FALSE(mount(2, false));
    // The recorded image must match, as for a live mount.
    EXPECT_FALSE(WIMUnmountImage(wide(mountFolder), wide(wim), 2, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Unmounting takes it off the folder; there is nothing to commit.
    ASSERT_TRUE(WIMUnmountImage(infos[0].MountPath, infos[0].WimPath, 1, TRUE)) << GetLastError();
    EXPECT_TRUE(mountfix::mountInfoBelow(dir.path()).empty());
    EXPECT_EQ(entriesOf(staging), QStringList());
    EXPECT_TRUE(recordsFor(mountFolder).empty());
    EXPECT_EQ(wimfix::fileDigest(wim), digest);

    // The folder takes a new mount.
    ASSERT_TRUE(mount(2, false)) << GetLastError();
    EXPECT_EQ(readFileBytes(mountFolder + "/sub/c.txt"), QByteArray("deep"));
    ASSERT_TRUE(WIMUnmountImage(wide(mountFolder), wide(wim), 2, FALSE)) << GetLastError();
}

TEST_F(MountTest, DeadMountOfAnotherProgramIsListedWithoutItsImage)
{
    QString output;
    ASSERT_EQ(runProgram("wimlib-imagex", {"mount", wim, "2", mountFolder}, &output), 0)
        << output.toStdString();
    ASSERT_TRUE(mountfix::killTheDaemon("wimlib-imagex"));

    const auto infos = mountfix::mountInfoBelow(dir.path());
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0].MountFlags, WIM_MOUNT_FLAG_INVALID);
    EXPECT_EQ(mountfix::fromWide(infos[0].WimPath), QString());
    EXPECT_EQ(infos[0].ImageIndex, 0u);

    ASSERT_TRUE(WIMUnmountImage(wide(mountFolder), nullptr, 0, FALSE)) << GetLastError();
    EXPECT_TRUE(mountfix::mountInfoBelow(dir.path()).empty());
    ASSERT_TRUE(mount(1, false)) << GetLastError();
    EXPECT_EQ(readFileBytes(mountFolder + "/a.txt"), QByteArray("first image"));
}

TEST_F(MountTest, StagingFolderOfADeadMountDetachedElsewhereGoesAtTheNextList)
{
    ASSERT_TRUE(mount(1, true)) << GetLastError();
    ASSERT_TRUE(mountfix::killTheDaemon("pelloric-mount"));
    ASSERT_EQ(entriesOf(staging).size(), 1);
    QString output;
    ASSERT_EQ(runProgram("fusermount", {"-u", "-z", canonical(dir.path()) + "/" +
                                                        QFileInfo(mountFolder).fileName()},
                         &output),
              0)
        << output.toStdString();

    EXPECT_TRUE(mountfix::mountInfoBelow(dir.path()).empty());
    EXPECT_EQ(entriesOf(staging), QStringList());
    EXPECT_TRUE(recordsFor(mountFolder).empty());
}

// Runs body in a child process (single-threaded, so it may change its mount namespace or
// user) and returns its exit code, or -1 when it did not exit normally.
int inChildProcess(const std::function<int()>& body)
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

constexpr int kChildSkipped = 77;

TEST_F(MountTest, MissingFuseDeviceIsReported)
{
    const int result = inChildProcess([&] {
        // A private /dev with nothing but /dev/null, seen by this child and its helper only.
        if (unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", "/dev", "tmpfs", 0, nullptr) != 0 ||
            mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0)
            return kChildSkipped;
        if (mount(1, false))
            return 1;
        return GetLastError() == ERROR_DEV_NOT_EXIST ? 0 : 2;
    });
    if (result == kChildSkipped)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(mountfix::mountsBelow(dir.path()).empty());
}

TEST_F(MountTest, MountWithoutPermissionIsReported)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    // Let the other user reach the WIM; the mount folder stays root's.
    chmod(dir.path().toUtf8().constData(), 0755);
    chmod(wim.toUtf8().constData(), 0644);
    const int result = inChildProcess([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return kChildSkipped;
        // The helper and the WIM must be reachable by that user (a build below a private
        // home folder is not); otherwise the failure would say "helper missing" instead.
        if (access(PELLORIC_BINARY_DIR "/src/app/pelloric-mount-helper", X_OK) != 0 ||
            access(wim.toUtf8().constData(), R_OK) != 0)
            return kChildSkipped;
        if (mount(1, false))
            return 1;
        return GetLastError() == ERROR_ACCESS_DENIED ? 0 : 2;
    });
    if (result == kChildSkipped)
        GTEST_SKIP() << "cannot act as user nobody here (or it cannot reach the helper/WIM)";
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(mountfix::mountsBelow(dir.path()).empty());
}

TEST_F(MountTest, SecondReadWriteMountOfOneWimIsRefused)
{
    ASSERT_TRUE(mount(1, true)) << GetLastError();
    const QString second = dir.mkdir("second");
    EXPECT_FALSE(WIMMountImage(wide(second), wide(wim), 2, wide(staging)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Reading the same WIM alongside is fine.
    EXPECT_TRUE(WIMMountImage(wide(second), wide(wim), 2, nullptr)) << GetLastError();
    EXPECT_EQ(mountfix::mountsBelow(dir.path()).size(), 2u);
}

} // namespace
