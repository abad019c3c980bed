// Capture, apply and export through the imaging layer on generated trees, with the message
// sequence the callbacks see, abort answers and what an aborted write leaves behind.
#include "platform/Imaging.h"
#include "platform/Kernel.h"

#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

struct Message {
    DWORD id;
    QString path; // for path messages
    WPARAM wParam;
    LPARAM lParam;
    DWORD time = 0;
};

// Records every message; answers PROCESS questions with `exclude` and aborts at the
// abortAt-th message of kind abortOn (counting from 1).
struct Recorder {
    std::vector<Message> messages;
    std::function<bool(const QString&)> exclude;
    DWORD abortOn = 0;
    int abortAt = 0;
    int seen = 0;
    bool skipErrors = false;

    int count(DWORD id) const
    {
        int n = 0;
        for (const Message& m : messages)
            n += m.id == id;
        return n;
    }
    int firstIndex(DWORD id) const
    {
        for (std::size_t i = 0; i < messages.size(); ++i)
            if (messages[i].id == id)
                return static_cast<int>(i);
        return -1;
    }
};

Recorder* gRecorder = nullptr;

bool isPathMessage(DWORD id)
{
    return id == WIM_MSG_PROCESS || id == WIM_MSG_COMPRESS || id == WIM_MSG_ERROR ||
           id == WIM_MSG_WARNING || id == WIM_MSG_INFO || id == WIM_MSG_RETRY;
}

DWORD record(DWORD id, WPARAM wParam, LPARAM lParam, PVOID)
{
    Recorder& r = *gRecorder;
    Message m{id, {}, wParam, lParam, timeGetTime()};
    if (isPathMessage(id))
        m.path = QString::fromUtf16(reinterpret_cast<const char16_t*>(wParam));
    r.messages.push_back(m);
    if (id == r.abortOn && ++r.seen == r.abortAt)
        return WIM_MSG_ABORT_IMAGE;
    if (id == WIM_MSG_ERROR && r.skipErrors)
        return WIM_MSG_SKIP_ERROR;
    const bool scanning = r.firstIndex(WIM_MSG_SETRANGE) < 0;
    if (id == WIM_MSG_PROCESS && scanning && r.exclude && r.exclude(m.path))
        *reinterpret_cast<BOOL*>(lParam) = FALSE;
    return WIM_MSG_SUCCESS;
}

class ImagingData : public ::testing::Test {
protected:
    void SetUp() override
    {
        gRecorder = &rec;
        ASSERT_NE(WIMRegisterMessageCallback(nullptr, record, nullptr), INVALID_CALLBACK_VALUE);
        tree = tmp.mkdir(QStringLiteral("tree"));
        counts = wimfix::makeSampleTree(tree);
    }
    void TearDown() override
    {
        WIMUnregisterMessageCallback(nullptr, record);
        gRecorder = nullptr;
    }

    // Captures source into path; returns the new image's index or 0.
    DWORD capture(const QString& path, const QString& source, DWORD disposition,
                  DWORD compression = WIM_COMPRESS_XPRESS, DWORD flags = 0)
    {
        HANDLE h = WIMCreateFile(wide(path), kReadWrite, disposition, 0, compression, nullptr);
        if (!h)
            return 0;
        // The capture lands in the file when the handle is closed: a failed close is a failed
        // capture.
        HANDLE img = WIMCaptureImage(h, wide(source), flags);
        DWORD error = GetLastError();
        const DWORD index = img ? WIMGetImageCount(h) : 0;
        if (img)
            WIMCloseHandle(img);
        const bool written = WIMCloseHandle(h) != FALSE;
        if (img && !written)
            error = GetLastError();
        SetLastError(error);
        return written ? index : 0;
    }

    TempDir tmp;
    QString tree;
    wimfix::TreeCounts counts;
    Recorder rec;
};

TEST_F(ImagingData, CaptureMessagesAndRoundTrip)
{
    for (DWORD compression : {WIM_COMPRESS_NONE, WIM_COMPRESS_XPRESS, WIM_COMPRESS_LZX}) {
        SCOPED_TRACE(compression);
        rec = Recorder();
        const QString path = tmp.file(QStringLiteral("c%1.wim").arg(compression));
        ASSERT_EQ(capture(path, tree, CREATE_ALWAYS, compression, WIM_FLAG_VERIFY), 1u)
            << GetLastError();

        // Scan questions, then the range, then the compression questions, then the write.
        const int setRange = rec.firstIndex(WIM_MSG_SETRANGE);
        ASSERT_GE(setRange, 0);
        EXPECT_EQ(rec.count(WIM_MSG_SETRANGE), 1);
        EXPECT_EQ(rec.messages[setRange].lParam, counts.files);
        int questions = 0, scanFolders = 0, afterRange = 0, compress = 0;
        for (int i = 0; i < static_cast<int>(rec.messages.size()); ++i) {
            const Message& m = rec.messages[i];
            if (m.id == WIM_MSG_PROCESS && i < setRange) {
                ++questions;
                EXPECT_TRUE(m.path == tree || m.path.startsWith(tree + QLatin1Char('/')))
                    << m.path.toStdString();
            }
            if (m.id == WIM_MSG_SCANNING) {
                EXPECT_LT(i, setRange);
                scanFolders += static_cast<int>(m.wParam);
            }
            if (m.id == WIM_MSG_COMPRESS) {
                EXPECT_GT(i, setRange);
                EXPECT_EQ(afterRange, 0); // all compression questions before the write
                ++compress;
            }
            if (m.id == WIM_MSG_PROCESS && i > setRange)
                ++afterRange;
        }
        EXPECT_EQ(questions, counts.files + counts.folders); // every entry, the root too
        EXPECT_EQ(scanFolders, counts.folders);
        EXPECT_EQ(compress, counts.files);
        EXPECT_EQ(afterRange, counts.files);
        ASSERT_GT(rec.count(WIM_MSG_PROGRESS), 0);
        EXPECT_EQ(rec.messages.back().id, WIM_MSG_PROGRESS);
        EXPECT_EQ(rec.messages.back().wParam, 100u);
        EXPECT_TRUE(rec.messages[rec.firstIndex(WIM_MSG_COMPRESS)].path.startsWith(tree));

        // The file holds the image with libwim's counts and no name.
        EXPECT_EQ(wimfix::imageCount(path), 1);
        EXPECT_EQ(wimfix::imageProperty(path, 1, QStringLiteral("FILECOUNT")),
                  QString::number(counts.files));
        EXPECT_EQ(wimfix::imageProperty(path, 1, QStringLiteral("DIRCOUNT")),
                  QString::number(counts.folders));
        EXPECT_EQ(wimfix::imageProperty(path, 1, QStringLiteral("NAME")), QString());
        EXPECT_TRUE(wimfix::imagexVerify(path));

        // Apply: one PROCESS per folder and file, and the same tree.
        rec = Recorder();
        const QString target = tmp.file(QStringLiteral("applied%1").arg(compression));
        HANDLE h = WIMCreateFile(wide(path), GENERIC_READ, OPEN_EXISTING, 0, 0, nullptr);
        HANDLE img = WIMLoadImage(h, 1);
        ASSERT_TRUE(WIMApplyImage(img, wide(target), WIM_FLAG_VERIFY)) << GetLastError();
        WIMCloseHandle(img);
        WIMCloseHandle(h);
        EXPECT_EQ(rec.count(WIM_MSG_PROCESS), counts.files + counts.folders);
        EXPECT_EQ(rec.messages.back().id, WIM_MSG_PROGRESS);
        EXPECT_EQ(rec.messages.back().wParam, 100u);
        for (const Message& m : rec.messages) {
            if (m.id == WIM_MSG_PROCESS) {
                EXPECT_TRUE(m.path == target || m.path.startsWith(target + QLatin1Char('/')));
            }
        }
        EXPECT_EQ(wimfix::treeContents(target), wimfix::treeContents(tree));
    }
}

TEST_F(ImagingData, ExclusionAnswersAndTheWimItself)
{
    // The WIM is written inside the folder being captured (an append, so it exists).
    const QString path = tree + QStringLiteral("/inside.wim");
    ASSERT_EQ(capture(path, tmp.mkdir(QStringLiteral("small")), CREATE_ALWAYS), 1u);
    rec = Recorder();
    rec.exclude = [](const QString& p) { return p.endsWith(QStringLiteral("/docs")); };
    ASSERT_EQ(capture(path, tree, OPEN_EXISTING), 2u) << GetLastError();
    const QStringList paths = wimfix::imagePaths(path, 2);
    EXPECT_TRUE(paths.contains(QStringLiteral("data/random.bin")));
    EXPECT_FALSE(paths.contains(QStringLiteral("docs")));
    EXPECT_FALSE(paths.contains(QStringLiteral("docs/readme.txt")));
    EXPECT_FALSE(paths.contains(QStringLiteral("inside.wim")));
    for (const Message& m : rec.messages)
        EXPECT_FALSE(m.path.endsWith(QStringLiteral("inside.wim")));
    // Nothing below an excluded folder is asked about.
    for (const Message& m : rec.messages)
        EXPECT_FALSE(m.path.contains(QStringLiteral("/docs/")));
    EXPECT_TRUE(wimfix::imagexVerify(path));
}

TEST_F(ImagingData, LibwimWindowsDescriptionIsRemoved)
{
    wimfix::addWindowsSkeleton(tree);
    // libwim on its own describes such a tree (the check that makes this test meaningful).
    const QString direct = tmp.file(QStringLiteral("direct.wim"));
    wimfix::WimRecipe recipe;
    recipe.images = {{tree, {}, {}, {}, true}};
    ASSERT_TRUE(wimfix::makeWim(direct, recipe));
    ASSERT_FALSE(wimfix::imageProperty(direct, 1, QStringLiteral("WINDOWS/SYSTEMROOT")).isNull());

    const QString path = tmp.file(QStringLiteral("win.wim"));
    ASSERT_EQ(capture(path, tree, CREATE_ALWAYS), 1u);
    const QString xml = wimfix::imagexXml(path);
    for (const char* name :
         {"<WINDOWS>", "<FLAGS>", "<DISPLAYNAME>", "<DISPLAYDESCRIPTION>", "<NAME>"})
        EXPECT_FALSE(xml.contains(QLatin1String(name))) << name;
    EXPECT_TRUE(xml.contains(QStringLiteral("<FILECOUNT>")));
}

TEST_F(ImagingData, UnsupportedFilesAreLeftOutWithAWarning)
{
    const QString fifo = tree + QStringLiteral("/pipe");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    const QString path = tmp.file(QStringLiteral("fifo.wim"));
    ASSERT_EQ(capture(path, tree, CREATE_ALWAYS), 1u) << GetLastError();
    const int warning = rec.firstIndex(WIM_MSG_WARNING);
    ASSERT_GE(warning, 0);
    EXPECT_EQ(rec.messages[warning].path, fifo);
    EXPECT_EQ(rec.messages[warning].lParam, static_cast<LPARAM>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(wimfix::imagePaths(path, 1).contains(QStringLiteral("pipe")));
}

TEST_F(ImagingData, FileNameThatIsNoUtf8FailsWithLibwimsReason)
{
    const QByteArray bad = QFile::encodeName(tree) + "/\xff.txt";
    FILE* f = std::fopen(bad.constData(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(capture(tmp.file(QStringLiteral("bad.wim")), tree, CREATE_ALWAYS), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    bool told = false;
    for (const Message& m : rec.messages)
        told |= m.id == WIM_MSG_ERROR && m.path.contains(QStringLiteral("UTF-8"));
    EXPECT_TRUE(told);
}

TEST_F(ImagingData, UnreadableFolderIsAnErrorOrSkipped)
{
    // Run as an ordinary user (root reads everything), in a child process.
    const QString locked = tree + QStringLiteral("/locked");
    wimfix::makeTree(locked, {{QStringLiteral("secret.txt"), "s"}});
    ASSERT_EQ(chmod(QFile::encodeName(locked).constData(), 0), 0);
    const QString out = tmp.mkdir(QStringLiteral("out"));
    ASSERT_EQ(chmod(QFile::encodeName(out).constData(), 0777), 0);
    ASSERT_EQ(chmod(QFile::encodeName(tmp.path()).constData(), 0755), 0);
    for (const bool skip : {false, true}) {
        SCOPED_TRACE(skip);
        const QString path = out + QStringLiteral("/u%1.wim").arg(skip);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(10);
            rec = Recorder();
            rec.skipErrors = skip;
            const DWORD index = capture(path, tree, CREATE_ALWAYS);
            const DWORD error = GetLastError();
            // The folder named with the file system's code (libwim's own text comes too).
            bool named = false;
            for (const Message& m : rec.messages)
                named |= m.id == WIM_MSG_ERROR && m.path == locked &&
                         m.lParam == static_cast<LPARAM>(ERROR_ACCESS_DENIED);
            if (!named)
                _exit(11);
            if (skip)
                _exit(index == 1 ? 0 : 12);
            _exit(index == 0 && error == ERROR_ACCESS_DENIED ? 0 : 13);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 10)
            GTEST_SKIP() << "cannot change to an ordinary user here";
        EXPECT_EQ(WEXITSTATUS(status), 0);
        if (skip) {
            const QStringList paths = wimfix::imagePaths(path, 1);
            EXPECT_TRUE(paths.contains(QStringLiteral("docs/readme.txt")));
            EXPECT_FALSE(paths.contains(QStringLiteral("locked")));
        }
    }
    chmod(QFile::encodeName(locked).constData(), 0755);
}

TEST_F(ImagingData, ReparsePointFixFlag)
{
    // An absolute link into the captured tree is made relative to the image unless the
    // caller turns the fix off.
    ASSERT_TRUE(QFile::link(tree + QStringLiteral("/docs/readme.txt"),
                            tree + QStringLiteral("/absolute-link")));
    for (const bool noFix : {false, true}) {
        SCOPED_TRACE(noFix);
        const QString path = tmp.file(QStringLiteral("rp%1.wim").arg(noFix));
        ASSERT_EQ(
            capture(path, tree, CREATE_ALWAYS, WIM_COMPRESS_XPRESS, noFix ? WIM_FLAG_NO_RP_FIX : 0),
            1u);
        HANDLE h = WIMCreateFile(wide(path), GENERIC_READ, OPEN_EXISTING, 0, 0, nullptr);
        WIM_INFO wi{};
        ASSERT_TRUE(WIMGetAttributes(h, &wi, sizeof wi));
        EXPECT_EQ((wi.WimAttributes & WIM_ATTRIBUTE_RP_FIX) != 0, !noFix);
        WIMCloseHandle(h);
    }
}

TEST_F(ImagingData, AppendKeepsEarlierImages)
{
    const QString path = tmp.file(QStringLiteral("append.wim"));
    wimfix::WimRecipe recipe;
    recipe.compression = 2;
    recipe.integrity = true;
    recipe.images = {{tree, QStringLiteral("one"), {}, {}}, {tree, QStringLiteral("two"), {}, {}}};
    ASSERT_TRUE(wimfix::makeWim(path, recipe));
    const QString other = tmp.mkdir(QStringLiteral("other"));
    wimfix::makeTree(other, {{QStringLiteral("new.txt"), "new\n"}});
    ASSERT_EQ(capture(path, other, OPEN_EXISTING), 3u);
    EXPECT_EQ(wimfix::imageCount(path), 3);
    EXPECT_EQ(wimfix::imageProperty(path, 1, QStringLiteral("NAME")), QStringLiteral("one"));
    EXPECT_EQ(wimfix::imageProperty(path, 2, QStringLiteral("NAME")), QStringLiteral("two"));
    EXPECT_EQ(wimfix::imagePaths(path, 3), QStringList{QStringLiteral("new.txt")});
    QString out;
    EXPECT_TRUE(wimfix::imagexVerify(path, &out)) << out.toStdString();
}

TEST_F(ImagingData, SevenZipWimTakesAppendDeleteAndExport)
{
    const QString path = tmp.file(QStringLiteral("7z.wim"));
    QString out;
    ASSERT_TRUE(wimfix::make7zWim(path, tree, &out)) << out.toStdString();
    const QString other = tmp.mkdir(QStringLiteral("other"));
    wimfix::makeTree(other, {{QStringLiteral("x.txt"), "x\n"}});
    ASSERT_EQ(capture(path, other, OPEN_EXISTING), 2u) << GetLastError();
    EXPECT_TRUE(wimfix::imagexVerify(path, &out)) << out.toStdString();

    HANDLE h = WIMCreateFile(wide(path), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
    ASSERT_TRUE(WIMDeleteImage(h, 1)) << GetLastError();
    HANDLE img = WIMLoadImage(h, 1);
    const QString dest = tmp.file(QStringLiteral("dest.wim"));
    HANDLE d = WIMCreateFile(wide(dest), kReadWrite, CREATE_NEW, 0, WIM_COMPRESS_NONE, nullptr);
    ASSERT_TRUE(WIMExportImage(img, d, 0)) << GetLastError();
    WIMCloseHandle(d);
    WIMCloseHandle(img);
    WIMCloseHandle(h);
    EXPECT_EQ(wimfix::imageCount(path), 1);
    EXPECT_EQ(wimfix::imagePaths(dest, 1), QStringList{QStringLiteral("x.txt")});
    EXPECT_TRUE(wimfix::imagexVerify(path));
    EXPECT_TRUE(wimfix::imagexVerify(dest));
}

TEST_F(ImagingData, AppendWithVerifyReadsTheFileBackWhenClosed)
{
    const QString path = tmp.file(QStringLiteral("v.wim"));
    ASSERT_EQ(capture(path, tree, CREATE_ALWAYS), 1u);
    HANDLE h = WIMCreateFile(wide(path), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
    HANDLE img = WIMCaptureImage(h, wide(tree), WIM_FLAG_VERIFY);
    ASSERT_NE(img, nullptr) << GetLastError();
    WIMCloseHandle(img);
    EXPECT_TRUE(WIMCloseHandle(h)) << GetLastError();
    EXPECT_EQ(wimfix::imageCount(path), 2);
    EXPECT_TRUE(wimfix::imagexVerify(path));
}

TEST_F(ImagingData, CaptureOfMissingOrPlainFileFails)
{
    const QString path = tmp.file(QStringLiteral("x.wim"));
    HANDLE h = WIMCreateFile(wide(path), kReadWrite, CREATE_ALWAYS, 0, 1, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WIMCaptureImage(h, wide(tmp.file(QStringLiteral("nope"))), 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(WIMCaptureImage(h, wide(tree + QStringLiteral("/docs/readme.txt")), 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    WIMCloseHandle(h);
    EXPECT_FALSE(QFileInfo::exists(path)); // nothing was written: no file
    ASSERT_EQ(capture(path, tree, CREATE_ALWAYS), 1u);
    HANDLE ro = WIMCreateFile(wide(path), GENERIC_READ, OPEN_EXISTING, 0, 0, nullptr);
    ASSERT_NE(ro, nullptr);
    EXPECT_EQ(WIMCaptureImage(ro, wide(tree), 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    WIMCloseHandle(ro);
}

TEST_F(ImagingData, AbortedAppendLeavesTheWimWithItsImages)
{
    const QString path = tmp.file(QStringLiteral("abort.wim"));
    wimfix::WimRecipe recipe;
    recipe.images = {{tree, QStringLiteral("kept"), {}, {}}};
    ASSERT_TRUE(wimfix::makeWim(path, recipe));
    const QByteArray digest = wimfix::fileDigest(path);
    // A bigger file so the write is still running when the abort comes.
    QFile big(tree + QStringLiteral("/big.bin"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    QByteArray chunk(1 << 20, '\0');
    for (int i = 0; i < 24; ++i) {
        for (int j = 0; j < chunk.size(); j += 64)
            chunk[j] = static_cast<char>(i * 31 + j);
        big.write(chunk);
    }
    big.close();

    const int entries = counts.folders + counts.files + 1; // big.bin too
    struct Case {
        const char* phase;
        DWORD on;
        int at;
    };
    // The write case aborts at the first PROCESS after all scan questions: the write.
    for (const Case c : {Case{"scan", WIM_MSG_PROCESS, 3}, Case{"compress", WIM_MSG_COMPRESS, 2},
                         Case{"write", WIM_MSG_PROCESS, entries + 1}}) {
        SCOPED_TRACE(c.phase);
        rec = Recorder();
        rec.abortOn = c.on;
        rec.abortAt = c.at;
        HANDLE h = WIMCreateFile(wide(path), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
        ASSERT_NE(h, nullptr);
        HANDLE img = WIMCaptureImage(h, wide(tree), 0);
        EXPECT_EQ(rec.firstIndex(WIM_MSG_SETRANGE) >= 0, c.on != WIM_MSG_PROCESS || c.at > 3);
        if (c.at > 3 && c.on == WIM_MSG_PROCESS) {
            // Into an existing file the data is written with the information, on close.
            ASSERT_NE(img, nullptr);
            EXPECT_EQ(WIMGetImageCount(h), 2u);
            WIMCloseHandle(img);
            EXPECT_FALSE(WIMCloseHandle(h));
            EXPECT_EQ(GetLastError(), ERROR_REQUEST_ABORTED);
        } else {
            EXPECT_EQ(img, nullptr);
            EXPECT_EQ(GetLastError(), ERROR_REQUEST_ABORTED);
            EXPECT_EQ(WIMGetImageCount(h), 1u);
            EXPECT_TRUE(WIMCloseHandle(h));
        }
        EXPECT_EQ(wimfix::imageCount(path), 1);
        EXPECT_EQ(wimfix::imageProperty(path, 1, QStringLiteral("NAME")), QStringLiteral("kept"));
        QString out;
        EXPECT_TRUE(wimfix::imagexVerify(path, &out)) << out.toStdString();
        EXPECT_EQ(wimfix::fileDigest(path), digest);
    }

    // An aborted new WIM leaves no file.
    rec = Recorder();
    rec.abortOn = WIM_MSG_COMPRESS;
    rec.abortAt = 1;
    const QString fresh = tmp.file(QStringLiteral("fresh.wim"));
    EXPECT_EQ(capture(fresh, tree, CREATE_ALWAYS), 0u);
    EXPECT_EQ(GetLastError(), ERROR_REQUEST_ABORTED);
    EXPECT_EQ(QDir(tmp.path()).entryList({QStringLiteral("fresh.wim*")}).size(), 0);
}

TEST_F(ImagingData, CaptureOntoAFullDiskReportsLibwimsError)
{
    const QString dir = tmp.mkdir(QStringLiteral("vol"));
    if (mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        QByteArray dir;
        ~Unmount() { umount2(dir.constData(), MNT_DETACH); }
    } unmount{QFile::encodeName(dir)};
    QByteArray noise(2 << 20, '\0');
    quint32 x = 7;
    for (char& c : noise) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 23);
    }
    wimfix::makeTree(tree, {{QStringLiteral("noise.bin"), noise}});
    const QString path = dir + QStringLiteral("/full.wim");
    EXPECT_EQ(capture(path, tree, CREATE_ALWAYS, WIM_COMPRESS_NONE), 0u);
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    // libwim's own text reaches the callback; no file is left, not even an empty WIM.
    bool sawLibraryError = false;
    for (const Message& m : rec.messages)
        sawLibraryError |= m.id == WIM_MSG_ERROR && m.path.contains(QStringLiteral("space"));
    EXPECT_TRUE(sawLibraryError);
    EXPECT_EQ(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList());
}

TEST_F(ImagingData, ProgressOfALargeFileIsRateLimited)
{
    // 200 MB of zeros in a sparse file: quick to read and to compress, long enough for many
    // progress reports.
    const QString big = tree + QStringLiteral("/sparse.bin");
    QFile f(big);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize(200LL << 20));
    f.close();
    ASSERT_EQ(capture(tmp.file(QStringLiteral("big.wim")), tree, CREATE_ALWAYS), 1u);
    std::vector<Message> progress;
    for (const Message& m : rec.messages)
        if (m.id == WIM_MSG_PROGRESS)
            progress.push_back(m);
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(progress.back().wParam, 100u);
    bool estimated = false;
    for (std::size_t i = 1; i < progress.size(); ++i) {
        EXPECT_GE(progress[i].wParam, progress[i - 1].wParam);
        if (progress[i].wParam < 100) {
            EXPECT_GE(progress[i].time - progress[i - 1].time, 49u) << i;
            estimated |= progress[i].lParam > 0;
        }
    }
    EXPECT_TRUE(estimated || progress.size() == 2) << "no remaining-time estimate";
    const DWORD span = progress.back().time - progress.front().time;
    EXPECT_LE(progress.size(), span / 50 + 3);
}

TEST_F(ImagingData, ApplyAbortAndNoApply)
{
    const QString path = tmp.file(QStringLiteral("apply.wim"));
    wimfix::WimRecipe recipe;
    recipe.images = {{tree, {}, {}, {}}};
    ASSERT_TRUE(wimfix::makeWim(path, recipe));
    HANDLE h = WIMCreateFile(wide(path), GENERIC_READ, OPEN_EXISTING, 0, 0, nullptr);
    HANDLE img = WIMLoadImage(h, 1);

    rec.abortOn = WIM_MSG_PROCESS;
    rec.abortAt = 1;
    EXPECT_FALSE(WIMApplyImage(img, wide(tmp.file(QStringLiteral("aborted"))), 0));
    EXPECT_EQ(GetLastError(), ERROR_REQUEST_ABORTED);

    rec = Recorder();
    const QString none = tmp.file(QStringLiteral("none"));
    EXPECT_TRUE(WIMApplyImage(img, wide(none), WIM_FLAG_NO_APPLY));
    EXPECT_EQ(rec.count(WIM_MSG_PROCESS), counts.files + counts.folders);
    EXPECT_FALSE(QFileInfo::exists(none));

    rec = Recorder();
    const QString file = tmp.write(QStringLiteral("blocker"), "x");
    EXPECT_FALSE(WIMApplyImage(img, wide(file + QStringLiteral("/sub")), 0));
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
    WIMCloseHandle(img);
    WIMCloseHandle(h);
}

TEST_F(ImagingData, ExportDuplicatesAndAbort)
{
    const QString source = tmp.file(QStringLiteral("src.wim"));
    wimfix::WimRecipe recipe;
    recipe.compression = 1;
    recipe.images = {{tree,
                    QStringLiteral("Shared"),
                    QStringLiteral("desc"),
                    {{QStringLiteral("FLAGS"), QStringLiteral("Core")}}}};
    ASSERT_TRUE(wimfix::makeWim(source, recipe));
    const QString dest = tmp.file(QStringLiteral("dest.wim"));

    HANDLE src = WIMCreateFile(wide(source), GENERIC_READ, OPEN_EXISTING, 0, 0, nullptr);
    HANDLE img = WIMLoadImage(src, 1);
    ASSERT_NE(img, nullptr);
    for (int round = 1; round <= 2; ++round) {
        rec = Recorder();
        DWORD result = 0;
        HANDLE d = WIMCreateFile(wide(dest), kReadWrite, OPEN_ALWAYS, 0, WIM_COMPRESS_LZX, &result);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(result, round == 1 ? WIM_CREATED_NEW : WIM_OPENED_EXISTING);
        if (round == 2) {
            EXPECT_FALSE(WIMExportImage(img, d, 0)); // the name is there already
            EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        }
        ASSERT_TRUE(WIMExportImage(img, d, WIM_EXPORT_ALLOW_DUPLICATES)) << GetLastError();
        // The data is written with the information when the handle is closed.
        EXPECT_EQ(wimfix::imageCount(dest), round == 1 ? -1 : 1);
        EXPECT_EQ(WIMGetImageCount(d), static_cast<DWORD>(round));
        EXPECT_EQ(rec.count(WIM_MSG_PROCESS), 0);
        EXPECT_TRUE(WIMCloseHandle(d)) << GetLastError();
        EXPECT_EQ(wimfix::imageCount(dest), round);
        EXPECT_EQ(rec.count(WIM_MSG_PROCESS), counts.files + counts.folders);
        EXPECT_EQ(rec.messages.back().wParam, 100u);
    }
    EXPECT_EQ(wimfix::imageProperty(dest, 1, QStringLiteral("NAME")), QStringLiteral("Shared"));
    EXPECT_EQ(wimfix::imageProperty(dest, 2, QStringLiteral("NAME")), QStringLiteral("Shared"));
    EXPECT_EQ(wimfix::imageProperty(dest, 2, QStringLiteral("FLAGS")), QStringLiteral("Core"));
    EXPECT_EQ(wimfix::imageProperty(dest, 2, QStringLiteral("DESCRIPTION")),
              QStringLiteral("desc"));
    QString out;
    EXPECT_TRUE(wimfix::imagexVerify(dest, &out)) << out.toStdString();
    HANDLE check = WIMCreateFile(wide(dest), GENERIC_READ, OPEN_EXISTING, 0, 0, nullptr);
    WIM_INFO wi{};
    WIMGetAttributes(check, &wi, sizeof wi);
    EXPECT_EQ(wi.CompressionType, WIM_COMPRESS_LZX);
    WIMCloseHandle(check);

    // An aborted export leaves the destination with its former images.
    const QByteArray digest = wimfix::fileDigest(dest);
    rec = Recorder();
    rec.abortOn = WIM_MSG_PROCESS;
    rec.abortAt = 1;
    HANDLE d = WIMCreateFile(wide(dest), kReadWrite, OPEN_EXISTING, 0, 0, nullptr);
    EXPECT_TRUE(WIMExportImage(img, d, WIM_EXPORT_ALLOW_DUPLICATES));
    EXPECT_EQ(WIMGetImageCount(d), 3u);
    EXPECT_FALSE(WIMCloseHandle(d));
    EXPECT_EQ(GetLastError(), ERROR_REQUEST_ABORTED);
    EXPECT_EQ(wimfix::imageCount(dest), 2);
    EXPECT_TRUE(wimfix::imagexVerify(dest));
    EXPECT_EQ(wimfix::fileDigest(dest), digest);

    EXPECT_FALSE(WIMExportImage(img, src, WIM_EXPORT_ALLOW_DUPLICATES));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    WIMCloseHandle(img);
    WIMCloseHandle(src);
}

} // namespace
