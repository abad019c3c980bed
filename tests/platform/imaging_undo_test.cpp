// Undo records of appends to existing WIM files ("<wim>.pelloric-undo"): what puts a file
// back, what never does (records that are not the file's, forged ones, other users' ones),
// what stands in a record's way, and how the record itself is written. Interrupted appends
// are real ones (a child process stopped by its file-size limit, wimlib-imagex killed while it
// writes); records that are not ours are made by the test.
#include "platform/Imaging.h"
#include "platform/ImagingInternal.h"
#include "platform/Kernel.h"
#include "support/OperationRun.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

std::string native(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

// Opens and closes the file through the layer: a writable open looks at the record.
bool touch(const QString& path, DWORD access)
{
    HANDLE h = WIMCreateFile(wide(path), access, OPEN_EXISTING, 0, 0, nullptr);
    return h && WIMCloseHandle(h);
}

// Appends an image of `tree` through the layer; the close's result (GetLastError() on failure).
bool append(const QString& wim, const QString& tree)
{
    HANDLE h = WIMCreateFile(wide(wim), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
    if (!h)
        return false;
    HANDLE img = WIMCaptureImage(h, wide(tree), 0);
    if (img)
        WIMCloseHandle(img);
    return WIMCloseHandle(h) && img;
}

bool setBootIndex(const QString& wim, DWORD index)
{
    HANDLE h = WIMCreateFile(wide(wim), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
    return h && WIMSetBootImage(h, index) && WIMCloseHandle(h);
}

DWORD detailOfLastError(QString* path = nullptr)
{
    std::u16string p;
    const DWORD detail = WIMGetLastErrorDetail(&p);
    if (path)
        *path = QString::fromStdU16String(p);
    return detail;
}

// A record with a valid checksum that claims the file was `size` bytes with its header as it
// is now: what a forger who can write the WIM's folder can make.
imaging::FileIdentity forgedIdentity(const QString& wim, off_t size)
{
    imaging::FileIdentity id;
    EXPECT_TRUE(imaging::identityOfPath(native(wim), id));
    id.size = size;
    id.tailStart = size;
    const QByteArray empty = QCryptographicHash::hash({}, QCryptographicHash::Sha256);
    std::memcpy(id.tailDigest.data(), empty.constData(), id.tailDigest.size());
    return id;
}

class ImagingUndo : public ::testing::Test {
protected:
    void SetUp() override
    {
        wimfix::makeTree(tmp.file("t1"), {{"a.txt", "alpha"}});
        wimfix::makeTree(tmp.file("t2"), {{"b.txt", "beta"}});
        // Noise does not compress: an append of it writes well past a small file-size limit.
        wimfix::makeTree(tmp.file("big"), {{"n.bin", oprun::noiseBytes(256 << 10)}});
        wim = makeWim(QStringLiteral("w.wim"));
        record = wim + QStringLiteral(".pelloric-undo");
        original = wimfix::fileDigest(wim);
        originalSize = QFileInfo(wim).size();
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

    // An append of this program stopped half way, for real: a child process whose file-size
    // limit stops it while libwim appends the new data.
    void interruptedAppend()
    {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const auto limit = static_cast<rlim_t>(originalSize + 4096);
            const rlimit r{limit, limit};
            setrlimit(RLIMIT_FSIZE, &r);
            append(wim, tmp.file("big"));
            _exit(0); // not reached when the limit stops the write
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
        ASSERT_TRUE(QFileInfo::exists(record));
        ASSERT_NE(wimfix::fileDigest(wim), original); // flag set, bytes after the end
        // An independent reader sees the old file all along.
        ASSERT_EQ(wimfix::imageCount(wim), 2);
        ASSERT_TRUE(wimfix::imagexVerify(wim));
    }

    // Everything the header refers to is still there and reads.
    void expectWholeOldFile()
    {
        EXPECT_GE(QFileInfo(wim).size(), originalSize);
        EXPECT_EQ(wimfix::imageCount(wim), 2);
        EXPECT_EQ(wimfix::imageProperty(wim, 2, QStringLiteral("NAME")), QStringLiteral("two"));
        EXPECT_TRUE(wimfix::imagexVerify(wim));
    }

    TempDir tmp;
    QString wim;
    QString record;
    QByteArray original;
    qint64 originalSize = 0;
};

TEST_F(ImagingUndo, InterruptedAppendIsUndoneByAWritableOpenOnly)
{
    interruptedAppend();
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

TEST_F(ImagingUndo, RecordOfARunningAppendKeepsOtherAppendsOut)
{
    imaging::FileIdentity id;
    ASSERT_TRUE(imaging::identityOfPath(native(wim), id));
    imaging::UndoRecord running;
    ASSERT_EQ(imaging::createUndoRecord(native(wim), id, running), 0);
    struct stat st {};
    ASSERT_EQ(::lstat(native(record).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // The record's lock says an append runs: another one is refused and writes nothing.
    EXPECT_FALSE(append(wim, tmp.file("t1")));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(wimfix::fileDigest(wim), original);
    EXPECT_TRUE(QFileInfo::exists(record));
    // The append ends without changing the file: its record goes, and an append goes through.
    imaging::removeUndoRecord(running);
    EXPECT_FALSE(QFileInfo::exists(record));
    EXPECT_TRUE(append(wim, tmp.file("t1"))) << GetLastError();
    EXPECT_EQ(wimfix::imageCount(wim), 3);
    EXPECT_FALSE(QFileInfo::exists(record));
}

TEST_F(ImagingUndo, StaleRecordNeverRollsBackAnotherToolsWork)
{
    // Our append stopped half way; then wimlib-imagex appends twice, and a third append of
    // its own is killed while it writes (the header's write-in-progress flag set again).
    interruptedAppend();
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
    interruptedAppend();
    const QByteArray genuine = readFileBytes(record);
    const QByteArray half = wimfix::fileDigest(wim);
    const QString other = makeWim(QStringLiteral("other.wim"));
    imaging::FileIdentity otherId;
    ASSERT_TRUE(imaging::identityOfPath(native(other), otherId));
    imaging::UndoRecord otherRecord;
    ASSERT_EQ(imaging::createUndoRecord(native(other), otherId, otherRecord), 0);
    imaging::keepUndoRecord(otherRecord);
    const QByteArray fromOtherWim = readFileBytes(other + QStringLiteral(".pelloric-undo"));

    QByteArray altered = genuine;
    altered[100] = static_cast<char>(altered[100] ^ 1); // inside the saved header
    const struct {
        const char* what;
        QByteArray bytes;
    } cases[] = {
        {"altered", altered},
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

// A record with a valid checksum claiming a shorter file, with the file's own header: used,
// it may only cut bytes nothing refers to. On a whole file and on one an append left half
// written, claiming the header's size alone and half the file.
TEST_F(ImagingUndo, ForgedRecordNeverCutsWhatTheHeaderRefersTo)
{
    for (bool halfWritten : {false, true}) {
        for (const off_t claimed : {off_t{208}, static_cast<off_t>(originalSize / 2)}) {
            SCOPED_TRACE(testing::Message() << "half written " << halfWritten << ", claims "
                                            << claimed);
            ASSERT_TRUE(QFile::remove(wim));
            wim = makeWim(QStringLiteral("w.wim"));
            originalSize = QFileInfo(wim).size();
            if (halfWritten)
                interruptedAppend();
            QFile::remove(record);
            imaging::UndoRecord forged;
            ASSERT_EQ(imaging::createUndoRecord(native(wim), forgedIdentity(wim, claimed), forged),
                      0);
            imaging::keepUndoRecord(forged);
            ASSERT_TRUE(touch(wim, kReadWrite));
            expectWholeOldFile();
            EXPECT_FALSE(QFileInfo::exists(record)) << "found stale and removed";
            // The next change goes through as on any file.
            EXPECT_TRUE(setBootIndex(wim, 2)) << GetLastError();
            EXPECT_EQ(wimfix::bootIndex(wim), 2);
        }
    }
}

// Records that others could have written are never used: one another user made in a shared
// folder, and one of this user's that others may write. They are left in place, a writable
// open says so, a change that needs no record goes through, an append (which needs one) fails
// naming the record, and the file is never cut.
TEST_F(ImagingUndo, RecordsOthersCouldWriteAreNeverUsed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "making another user's record needs root";
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(::chmod(native(tmp.path()).c_str(), 0755), 0);
    const QString shared = tmp.mkdir(QStringLiteral("shared"));
    ASSERT_EQ(::chmod(native(shared).c_str(), 01777), 0);
    const QString victim = shared + QStringLiteral("/w.wim");
    ASSERT_TRUE(QFile::copy(wim, victim));
    wim = victim;
    record = wim + QStringLiteral(".pelloric-undo");
    for (const char* who : {"another user", "writable by others"}) {
        SCOPED_TRACE(who);
        QFile::remove(record);
        const imaging::FileIdentity forged = forgedIdentity(wim, 208);
        if (std::strcmp(who, "another user") == 0) {
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                imaging::UndoRecord r;
                const bool made = ::setgid(nobody->pw_gid) == 0 && ::setuid(nobody->pw_uid) == 0 &&
                                  imaging::createUndoRecord(native(wim), forged, r) == 0;
                imaging::keepUndoRecord(r);
                _exit(made ? 0 : 1);
            }
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        } else {
            imaging::UndoRecord r;
            ASSERT_EQ(imaging::createUndoRecord(native(wim), forged, r), 0);
            imaging::keepUndoRecord(r);
            ASSERT_EQ(::chmod(native(record).c_str(), 0666), 0);
        }
        const QByteArray before = readFileBytes(record);
        HANDLE h = WIMCreateFile(wide(wim), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
        ASSERT_NE(h, nullptr);
        QString named;
        EXPECT_EQ(detailOfLastError(&named), WIM_DETAIL_RECORD_UNTRUSTED);
        EXPECT_EQ(named, record);
        ASSERT_TRUE(WIMSetBootImage(h, 1));
        EXPECT_TRUE(WIMCloseHandle(h)) << GetLastError();
        EXPECT_EQ(wimfix::bootIndex(wim), 1);
        EXPECT_FALSE(append(wim, tmp.file("t1")));
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        EXPECT_EQ(detailOfLastError(&named), WIM_DETAIL_RECORD_UNTRUSTED);
        expectWholeOldFile();
        EXPECT_EQ(readFileBytes(record), before) << "left alone";
    }
}

// Anything but a regular file at the record's name is no record: never followed, written
// through or removed; a writable open says so, and an append fails naming it (not with a
// sharing violation).
TEST_F(ImagingUndo, WhatIsNoRegularFileAtTheRecordsNameIsNamedAndLeftAlone)
{
    const QString victim = tmp.write(QStringLiteral("victim"), "keep");
    const QString missing = tmp.file(QStringLiteral("missing"));
    const auto plantLink = [&](const QString& target) { return QFile::link(target, record); };
    const std::function<bool()> plants[] = {
        [&] { return plantLink(victim); },
        [&] { return plantLink(missing); },
        [&] { return QDir().mkdir(record); },
        [&] { return ::mkfifo(native(record).c_str(), 0600) == 0; },
    };
    for (const auto& plant : plants) {
        ASSERT_TRUE(plant());
        const QFileInfo planted(record);
        HANDLE h = WIMCreateFile(wide(wim), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
        ASSERT_NE(h, nullptr);
        QString named;
        EXPECT_EQ(detailOfLastError(&named), WIM_DETAIL_RECORD_NOT_A_FILE);
        EXPECT_EQ(named, record);
        WIMCloseHandle(h);
        EXPECT_FALSE(append(wim, tmp.file("t1")));
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        EXPECT_EQ(detailOfLastError(&named), WIM_DETAIL_RECORD_NOT_A_FILE);
        EXPECT_EQ(named, record);
        EXPECT_EQ(wimfix::fileDigest(wim), original);
        EXPECT_EQ(readFileBytes(victim), QByteArray("keep"));
        EXPECT_FALSE(QFileInfo::exists(missing));
        EXPECT_EQ(QFileInfo(record).isSymLink(), planted.isSymLink());
        EXPECT_EQ(QFileInfo(record).isDir(), planted.isDir());
        ASSERT_TRUE(QFile::remove(record) || QDir().rmdir(record));
    }
    // With the name free, the append goes through and leaves no record.
    EXPECT_TRUE(append(wim, tmp.file("t1"))) << GetLastError();
    EXPECT_FALSE(QFileInfo::exists(record));
}

TEST_F(ImagingUndo, NoAppendStartsWithoutItsRecord)
{
    // A full disk: the record cannot be written, so the append does not start.
    const QString volume = tmp.mkdir(QStringLiteral("vol"));
    oprun::TmpfsMount mount(volume, QStringLiteral("size=%1k").arg(originalSize / 1024 + 64));
    if (!mount.ok())
        GTEST_SKIP() << "cannot mount a tmpfs here: " << mount.error().toStdString();
    const QString path = volume + QStringLiteral("/w.wim");
    ASSERT_TRUE(QFile::copy(wim, path));
    HANDLE h = WIMCreateFile(wide(path), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
    ASSERT_NE(h, nullptr);
    HANDLE img = WIMCaptureImage(h, wide(tmp.file("t1")), 0);
    ASSERT_NE(img, nullptr);
    WIMCloseHandle(img);
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
    EXPECT_EQ(QDir(volume).entryList(QDir::Files | QDir::Hidden | QDir::System),
              QStringList({QStringLiteral("filler"), QStringLiteral("w.wim")}));
}

} // namespace
