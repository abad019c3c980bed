// Undo records of commits to existing WIM files ("<wim>.pelloric-undo"): what puts a file
// back, what never does, and how the record itself is written. Interrupted commits are real
// ones (a child process stopped by its file-size limit, wimlib-imagex killed while it
// writes); records that are not ours are made by the test.
#include "platform/Imaging.h"
#include "platform/ImagingInternal.h"
#include "platform/Kernel.h"
#include "support/OperationRun.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

std::string native(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

bool setDescription(HANDLE wim, int index, const QString& text)
{
    HANDLE img = WIMLoadImage(wim, static_cast<DWORD>(index));
    if (!img)
        return false;
    const QString xml = QChar(0xFEFF) + QStringLiteral("<IMAGE><DESCRIPTION>") + text +
                        QStringLiteral("</DESCRIPTION></IMAGE>");
    const BOOL ok = WIMSetImageInformation(img, const_cast<ushort*>(xml.utf16()),
                                           static_cast<DWORD>(xml.size() * 2));
    WIMCloseHandle(img);
    return ok;
}

// Opens and closes the file through the layer: a writable open looks at the record.
bool touch(const QString& path, DWORD access)
{
    HANDLE h = WIMCreateFile(wide(path), access, OPEN_EXISTING, 0, 0, nullptr);
    return h && WIMCloseHandle(h);
}

class ImagingUndo : public ::testing::Test {
protected:
    void SetUp() override
    {
        wimfix::makeTree(tmp.file("t1"), {{"a.txt", "alpha"}});
        wimfix::makeTree(tmp.file("t2"), {{"b.txt", "beta"}});
        wim = makeWim(QStringLiteral("w.wim"));
        record = wim + QStringLiteral(".pelloric-undo");
        original = wimfix::fileDigest(wim);
    }
    QString makeWim(const QString& name)
    {
        wimfix::WimRecipe recipe;
        recipe.images = {{tmp.file("t1"), QStringLiteral("one"), QString(), {}},
                         {tmp.file("t2"), QStringLiteral("two"), QString(), {}}};
        const QString path = tmp.file(name);
        EXPECT_TRUE(wimfix::makeWim(path, recipe));
        return path;
    }

    // A commit of this program stopped half way, for real: a child process whose file-size
    // limit stops it while libwim appends the new tables.
    void interruptedCommit()
    {
        const qint64 size = QFileInfo(wim).size();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            rlimit limit{static_cast<rlim_t>(size + 4096), static_cast<rlim_t>(size + 4096)};
            setrlimit(RLIMIT_FSIZE, &limit);
            HANDLE h = WIMCreateFile(wide(wim), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
            setDescription(h, 1, QString(100000, QChar(u'y')));
            WIMCloseHandle(h);
            _exit(0); // not reached when the limit stops the write
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
        ASSERT_TRUE(QFileInfo::exists(record));
        ASSERT_NE(wimfix::fileDigest(wim), original); // flag set, bytes after the end
        // An independent reader sees the old file all along.
        ASSERT_EQ(wimfix::imageProperty(wim, 1, QStringLiteral("DESCRIPTION")), QString());
        ASSERT_TRUE(wimfix::imagexVerify(wim));
    }

    TempDir tmp;
    QString wim;
    QString record;
    QByteArray original;
};

TEST_F(ImagingUndo, InterruptedCommitIsUndoneByAWritableOpenOnly)
{
    interruptedCommit();
    const QByteArray half = wimfix::fileDigest(wim);
    // Reading never restores, nor removes the record.
    ASSERT_TRUE(touch(wim, GENERIC_READ));
    EXPECT_EQ(wimfix::fileDigest(wim), half);
    EXPECT_TRUE(QFileInfo::exists(record));
    // Nor does anything while another process holds the file's lock.
    const int held = ::open(native(wim).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    ASSERT_TRUE(touch(wim, kReadWrite));
    EXPECT_EQ(wimfix::fileDigest(wim), half);
    EXPECT_TRUE(QFileInfo::exists(record));
    ::close(held);
    // Once the lock is gone, a writable open puts the file back byte for byte.
    ASSERT_TRUE(touch(wim, kReadWrite));
    EXPECT_EQ(wimfix::fileDigest(wim), original);
    EXPECT_FALSE(QFileInfo::exists(record));
}

TEST_F(ImagingUndo, RecordOfARunningCommitKeepsOtherWritersOut)
{
    imaging::FileIdentity id;
    ASSERT_TRUE(imaging::identityOfPath(native(wim), id));
    imaging::UndoRecord running;
    ASSERT_EQ(imaging::createUndoRecord(native(wim), id, running), 0);
    struct stat st {};
    ASSERT_EQ(::lstat(native(record).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // The record's lock says a commit runs: opens leave it, another commit is refused.
    HANDLE h = WIMCreateFile(wide(wim), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(WIMSetBootImage(h, 2));
    EXPECT_FALSE(WIMCloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(wimfix::fileDigest(wim), original);
    EXPECT_TRUE(QFileInfo::exists(record));
    // The commit ends without changing the file: its record goes, and a commit goes through.
    imaging::removeUndoRecord(running);
    EXPECT_FALSE(QFileInfo::exists(record));
    h = WIMCreateFile(wide(wim), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
    ASSERT_TRUE(WIMSetBootImage(h, 2));
    EXPECT_TRUE(WIMCloseHandle(h)) << GetLastError();
    EXPECT_EQ(wimfix::bootIndex(wim), 2);
    EXPECT_FALSE(QFileInfo::exists(record));
}

TEST_F(ImagingUndo, StaleRecordNeverRollsBackAnotherToolsWork)
{
    // Our commit stopped half way; then wimlib-imagex appends twice, and a third append of
    // its own is killed while it writes (the header's write-in-progress flag set again).
    interruptedCommit();
    QString out;
    for (const char* name : {"three", "four"})
        ASSERT_EQ(runProgram("wimlib-imagex", {"append", tmp.file("t1"), wim, name}, &out), 0)
            << out.toStdString();
    wimfix::makeTree(tmp.file("noise"), {{"n.bin", oprun::noiseBytes(6 << 20)}});
    QProcess killed;
    killed.start("wimlib-imagex", {"append", tmp.file("noise"), wim, "five", "--threads=1"});
    ASSERT_TRUE(killed.waitForStarted(10000));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool writing = false;
    while (!writing && killed.state() != QProcess::NotRunning &&
           std::chrono::steady_clock::now() < deadline) {
        QFile f(wim);
        writing = f.open(QIODevice::ReadOnly) && f.seek(16) && (f.read(1).at(0) & 0x40);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(static_cast<pid_t>(killed.processId()), SIGKILL);
    killed.waitForFinished(10000);
    ASSERT_TRUE(writing) << "wimlib-imagex finished before it could be stopped";
    {
        QFile f(wim);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly) && f.seek(16));
        ASSERT_TRUE(f.read(1).at(0) & 0x40) << "left with libwim's write-in-progress flag";
    }
    const QByteArray left = wimfix::fileDigest(wim);

    // Reading leaves all as it is; a writable open removes the stale record and restores
    // nothing: the two appends that were completed stay.
    ASSERT_TRUE(touch(wim, GENERIC_READ));
    EXPECT_EQ(wimfix::fileDigest(wim), left);
    EXPECT_TRUE(QFileInfo::exists(record));
    ASSERT_TRUE(touch(wim, kReadWrite));
    EXPECT_EQ(wimfix::fileDigest(wim), left);
    EXPECT_FALSE(QFileInfo::exists(record));
    EXPECT_EQ(wimfix::imageCount(wim), 4);
    EXPECT_TRUE(wimfix::imagexVerify(wim));
}

TEST_F(ImagingUndo, RecordsThatAreNotTheFilesNeverRestore)
{
    interruptedCommit();
    const QByteArray genuine = readFileBytes(record);
    const QByteArray half = wimfix::fileDigest(wim);
    const QString other = makeWim(QStringLiteral("other.wim"));
    imaging::FileIdentity otherId;
    ASSERT_TRUE(imaging::identityOfPath(native(other), otherId));
    imaging::UndoRecord otherRecord;
    ASSERT_EQ(imaging::createUndoRecord(native(other), otherId, otherRecord), 0);
    imaging::keepUndoRecord(otherRecord);
    const QByteArray fromOtherWim = readFileBytes(other + QStringLiteral(".pelloric-undo"));

    QByteArray forged = genuine;
    forged[100] = static_cast<char>(forged[100] ^ 1); // inside the saved header
    const struct {
        const char* what;
        QByteArray bytes;
    } cases[] = {
        {"forged", forged},
        {"truncated", genuine.left(genuine.size() / 2)},
        {"empty", QByteArray()},
        {"another WIM's", fromOtherWim},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(record);
        QFile f(record);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(c.bytes);
        f.close();
        ASSERT_TRUE(touch(wim, kReadWrite));
        EXPECT_EQ(wimfix::fileDigest(wim), half);
        EXPECT_FALSE(QFileInfo::exists(record)) << "a stale record is removed";
    }
    // The genuine record still does its work.
    QFile f(record);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(genuine);
    f.close();
    ASSERT_TRUE(touch(wim, kReadWrite));
    EXPECT_EQ(wimfix::fileDigest(wim), original);
}

TEST_F(ImagingUndo, RecordIsNeverWrittenThroughALink)
{
    const QString victim = tmp.write(QStringLiteral("victim"), "keep");
    const QString missing = tmp.file(QStringLiteral("missing"));
    int round = 0;
    for (const QString& target : {missing, victim}) {
        SCOPED_TRACE(target.toStdString());
        // Planted before the open, and planted between the open and the commit.
        for (bool beforeOpen : {true, false}) {
            if (beforeOpen) {
                ASSERT_TRUE(QFile::link(target, record));
            }
            HANDLE h = WIMCreateFile(wide(wim), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
            ASSERT_NE(h, nullptr);
            if (!beforeOpen) {
                ASSERT_TRUE(QFile::link(target, record));
            }
            ASSERT_TRUE(setDescription(h, 2, QStringLiteral("d%1").arg(++round)));
            EXPECT_TRUE(WIMCloseHandle(h)) << GetLastError();
            EXPECT_EQ(wimfix::imageProperty(wim, 2, "DESCRIPTION"),
                      QStringLiteral("d%1").arg(round));
            EXPECT_FALSE(QFileInfo::exists(missing));
            EXPECT_EQ(readFileBytes(victim), QByteArray("keep"));
            EXPECT_FALSE(QFileInfo(record).isSymLink());
            EXPECT_FALSE(QFileInfo::exists(record));
        }
    }
    // A read-only open leaves a planted link where it is.
    ASSERT_TRUE(QFile::link(missing, record));
    ASSERT_TRUE(touch(wim, GENERIC_READ));
    EXPECT_TRUE(QFileInfo(record).isSymLink());
}

TEST_F(ImagingUndo, NoCommitStartsWithoutItsRecord)
{
    // A full disk: the record cannot be written, so the commit does not start.
    const QString volume = tmp.mkdir(QStringLiteral("vol"));
    oprun::TmpfsMount mount(volume, QStringLiteral("size=%1k").arg(QFileInfo(wim).size() / 1024 + 64));
    if (!mount.ok())
        GTEST_SKIP() << "cannot mount a tmpfs here: " << mount.error().toStdString();
    const QString path = volume + QStringLiteral("/w.wim");
    ASSERT_TRUE(QFile::copy(wim, path));
    HANDLE h = WIMCreateFile(wide(path), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(WIMSetBootImage(h, 2));
    {
        QFile filler(volume + QStringLiteral("/filler"));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
    }
    EXPECT_FALSE(WIMCloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(wimfix::fileDigest(path), original);
    EXPECT_EQ(QDir(volume).entryList(QDir::Files | QDir::Hidden),
              QStringList({QStringLiteral("filler"), QStringLiteral("w.wim")}));
}

} // namespace
