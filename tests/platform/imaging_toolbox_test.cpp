// The toolbox calls of the imaging layer where they guard against harm: extraction with hostile
// names and existing files, aborts that must leave nothing, a rebuild that races other writers,
// and a verify that must name each damaged image and stream. Real libwim, real files.
#include "platform/Imaging.h"
#include "platform/Kernel.h"
#include "support/OperationRun.h"
#include "support/TempDir.h"
#include "support/ToolboxFixtures.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include <wimlib.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::u16string w16(const QString& s)
{
    return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()),
                          static_cast<std::size_t>(s.size()));
}

// A message callback for one test: records the messages and runs `onMessage` for each; its
// answer is the callback's.
struct Messages {
    std::function<DWORD(DWORD, WPARAM, LPARAM)> onMessage;
    std::vector<std::pair<DWORD, QString>> errors; // WIM_MSG_ERROR: path and code
    int process = 0;
    int progress = 0;
    int splits = 0;

    static DWORD callback(DWORD id, WPARAM wParam, LPARAM lParam, PVOID self)
    {
        auto& m = *static_cast<Messages*>(self);
        if (id == WIM_MSG_ERROR && lParam != 0)
            m.errors.emplace_back(static_cast<DWORD>(lParam),
                                  QString::fromUtf16(reinterpret_cast<LPCWSTR>(wParam)));
        m.process += id == WIM_MSG_PROCESS;
        m.progress += id == WIM_MSG_PROGRESS;
        m.splits += id == WIM_MSG_SPLIT;
        return m.onMessage ? m.onMessage(id, wParam, lParam) : WIM_MSG_SUCCESS;
    }
};

class ToolboxLayer : public ::testing::Test {
protected:
    void SetUp() override { WIMRegisterMessageCallback(nullptr, Messages::callback, &messages); }
    void TearDown() override
    {
        image.reset();
        wim.reset();
        WIMUnregisterMessageCallback(nullptr, Messages::callback);
    }
    void open(const QString& path, DWORD access = WIM_GENERIC_READ)
    {
        DWORD created = 0;
        wim = UniqueWimHandle(WIMCreateFile(wide(path), access, WIM_OPEN_EXISTING, 0, 0, &created));
        ASSERT_TRUE(wim) << GetLastError();
        image = UniqueWimHandle(WIMLoadImage(wim.get(), 1));
    }
    BOOL extract(const QStringList& paths, const QString& target, DWORD flags = 0)
    {
        std::vector<std::u16string> wide16;
        std::vector<LPCWSTR> ptrs;
        for (const QString& p : paths)
            wide16.push_back(w16(p));
        for (const auto& p : wide16)
            ptrs.push_back(p.c_str());
        return WIMExtractImagePaths(image.get(), ptrs.data(), static_cast<DWORD>(ptrs.size()),
                                    wide(target), flags);
    }
    // Every entry below `folder`, stage folders included (hidden names too).
    static QStringList entriesBelow(const QString& folder)
    {
        QStringList all;
        QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            all << it.next().mid(folder.size());
        all.sort();
        return all;
    }

    TempDir dir;
    Messages messages;
    UniqueWimHandle wim;
    UniqueWimHandle image;
};

} // namespace

// Names no file can have here never leave the target: an absolute name, a name holding '/' and
// names longer than a file system takes stop the extraction before anything is written, each
// named; an entry named ".." is one libwim leaves out of the image when it reads it. Nothing
// ever appears outside the target.
TEST_F(ToolboxLayer, HostileNamesNeverLeaveTheTarget)
{
    const QString tree = dir.mkdir("tree");
    wimfix::makeTree(tree, {{"ok.txt", "fine"},
                            {"xx/victim.txt", "below a dot-dot"},
                            {"_etc_pwned", "an absolute name"},
                            {"a_b", "a slash inside a name"},
                            {"long/short.txt", "to be renamed"}});
    const QString target = dir.mkdir("deep/target");
    struct Case {
        const char* from;
        QString to;
        bool sameLength;
        DWORD refusal; // ERROR_SUCCESS: extracted without the entry
    };
    const Case cases[] = {
        {"xx", QStringLiteral(".."), true, ERROR_SUCCESS},
        {"_etc_pwned", QStringLiteral("/etc_pwned"), true, ERROR_INVALID_NAME},
        {"a_b", QStringLiteral("a/b"), true, ERROR_INVALID_NAME},
        {"/long/short.txt", QStringLiteral("/long/") + QString(300, u'n'), false,
         ERROR_FILENAME_EXCED_RANGE},
    };
    int number = 0;
    for (const Case& c : cases) {
        const QString path = dir.file(QStringLiteral("hostile-%1.wim").arg(++number));
        ASSERT_TRUE(wimfix::makeWim(path, {{{tree, "h"}}, 0}));
        ASSERT_TRUE(c.sameLength ? toolfix::patchName(path, QString::fromLatin1(c.from), c.to)
                                 : toolfix::renameInImage(path, QString::fromLatin1(c.from), c.to))
            << c.from;
        open(path);
        ASSERT_TRUE(image) << c.from << " " << GetLastError();
        messages.errors.clear();
        const BOOL extracted = extract({QStringLiteral("/")}, target);
        if (c.refusal) {
            EXPECT_FALSE(extracted) << c.from;
            EXPECT_EQ(GetLastError(), c.refusal) << c.from;
            ASSERT_EQ(messages.errors.size(), 1u) << c.from;
            EXPECT_TRUE(entriesBelow(target).isEmpty()) << c.from;
            // The sound part of the image still extracts.
            EXPECT_TRUE(extract({QStringLiteral("/ok.txt")}, target)) << c.from;
        } else {
            EXPECT_TRUE(extracted) << c.from << " " << GetLastError();
            EXPECT_FALSE(entriesBelow(target).contains(QStringLiteral("/victim.txt")));
        }
        // Nothing beside the target, above it, or at the absolute name.
        EXPECT_EQ(QDir(dir.file("deep")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                  QStringList{"target"})
            << c.from;
        EXPECT_FALSE(QFileInfo::exists(dir.file("victim.txt")));
        EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/etc_pwned")));
        image.reset();
        wim.reset();
        QDir(target).removeRecursively();
        QDir().mkpath(target);
    }
    // A path asked for that climbs out of the image is refused as well.
    open(dir.file("hostile-1.wim"));
    EXPECT_FALSE(extract({QStringLiteral("/../outside")}, target));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_NAME});
}

// Without overwrite, an entry the target holds stops everything before anything is written;
// with it, files and links are replaced, never written through, and a folder is never
// replaced by a file.
TEST_F(ToolboxLayer, ExistingEntriesAreKeptUnlessOverwriteIsAsked)
{
    const QString tree = dir.mkdir("tree");
    wimfix::makeTree(tree, {{"d/a.txt", "new a"}, {"d/b.txt", "new b"}, {"c.txt", "new c"}});
    const QString path = dir.file("w.wim");
    ASSERT_TRUE(wimfix::makeWim(path, {{{tree, "w"}}, 1}));
    open(path);
    const QString target = dir.mkdir("target");
    const QString victim = dir.write("outside/victim.txt", "victim");
    dir.write("target/d/a.txt", "old a");
    ASSERT_EQ(::symlink(QFile::encodeName(victim).constData(),
                        QFile::encodeName(target + "/c.txt").constData()),
              0);

    EXPECT_FALSE(extract({"/d", "/c.txt"}, target));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_EXISTS});
    ASSERT_EQ(messages.errors.size(), 1u);
    EXPECT_EQ(messages.errors[0].second, target + "/c.txt");
    EXPECT_EQ(readFileBytes(target + "/d/a.txt"), "old a");
    EXPECT_FALSE(QFileInfo::exists(target + "/d/b.txt")) << "written although refused";

    EXPECT_TRUE(extract({"/d", "/c.txt"}, target, WIM_EXTRACT_OVERWRITE)) << GetLastError();
    EXPECT_EQ(readFileBytes(target + "/d/a.txt"), "new a");
    EXPECT_EQ(readFileBytes(target + "/d/b.txt"), "new b");
    EXPECT_FALSE(QFileInfo(target + "/c.txt").isSymLink());
    EXPECT_EQ(readFileBytes(target + "/c.txt"), "new c");
    EXPECT_EQ(readFileBytes(victim), "victim");

    // A link to a folder outside where the image has a folder: replaced, never entered.
    QDir(target).removeRecursively();
    QDir().mkpath(target);
    ASSERT_EQ(::symlink(QFile::encodeName(dir.file("outside")).constData(),
                        QFile::encodeName(target + "/d").constData()),
              0);
    EXPECT_FALSE(extract({"/d"}, target));
    EXPECT_TRUE(extract({"/d"}, target, WIM_EXTRACT_OVERWRITE)) << GetLastError();
    EXPECT_FALSE(QFileInfo(target + "/d").isSymLink());
    EXPECT_EQ(QDir(dir.file("outside")).entryList(QDir::Files), QStringList{"victim.txt"});

    // A folder where the image has a file stays a folder.
    QDir().mkpath(target + "/c.txt.dir");
    QFile::remove(target + "/c.txt");
    QDir().mkpath(target + "/c.txt");
    EXPECT_FALSE(extract({"/c.txt"}, target, WIM_EXTRACT_OVERWRITE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_DIRECTORY});
    EXPECT_TRUE(QFileInfo(target + "/c.txt").isDir());

    // One file as a destination of its own (WIMExtractImagePath).
    const QString single = dir.file("single.txt");
    EXPECT_TRUE(WIMExtractImagePath(image.get(), u"/d/b.txt", wide(single), 0));
    EXPECT_EQ(readFileBytes(single), "new b");
    EXPECT_FALSE(WIMExtractImagePath(image.get(), u"/d/a.txt", wide(single), 0));
    EXPECT_EQ(readFileBytes(single), "new b");
}

// An extraction aborted half way leaves the target exactly as it was: no file, no stage folder.
TEST_F(ToolboxLayer, AnAbortedExtractionLeavesNothing)
{
    const QString tree = dir.mkdir("tree");
    toolfix::makeNoiseTree(tree, 40, 256 * 1024);
    const QString path = dir.file("w.wim");
    ASSERT_TRUE(wimfix::makeWim(path, {{{tree, "w"}}, 1}));
    open(path);
    const QString target = dir.mkdir("target");
    dir.write("target/keep.txt", "kept");
    messages.onMessage = [this](DWORD id, WPARAM, LPARAM) {
        return id == WIM_MSG_PROCESS && messages.process == 20 ? WIM_MSG_ABORT_IMAGE
                                                               : WIM_MSG_SUCCESS;
    };
    EXPECT_FALSE(extract({"/"}, target, WIM_EXTRACT_OVERWRITE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_REQUEST_ABORTED});
    EXPECT_GE(messages.process, 20) << "aborted before it began";
    EXPECT_EQ(entriesBelow(target), QStringList{"/keep.txt"});

    messages.onMessage = {};
    messages.process = 0;
    EXPECT_TRUE(extract({"/"}, target));
    EXPECT_EQ(messages.process, 42) << "the target (the image's root), sub and 40 files";
    EXPECT_EQ(readFileBytes(target + "/sub/f9.bin"), readFileBytes(tree + "/sub/f9.bin"));
}

// A split aborted at its second part writes no part, and parts of an earlier split at those
// names stay as they were.
TEST_F(ToolboxLayer, AnAbortedSplitLeavesNoPart)
{
    const QString tree = dir.mkdir("tree");
    toolfix::makeNoiseTree(tree, 14, 300 * 1024);
    const QString path = dir.file("w.wim");
    ASSERT_TRUE(wimfix::makeWim(path, {{{tree, "w"}}, 0}));
    const QString old = dir.write("install.swm", "an older first part");
    open(path);
    messages.onMessage = [this](DWORD id, WPARAM, LPARAM) {
        return id == WIM_MSG_SPLIT && messages.splits == 2 ? WIM_MSG_ABORT_IMAGE : WIM_MSG_SUCCESS;
    };
    LARGE_INTEGER size{1024 * 1024};
    EXPECT_FALSE(WIMSplitFile(wim.get(), wide(old), &size, 0));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_REQUEST_ABORTED});
    EXPECT_EQ(readFileBytes(old), "an older first part");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files),
              (QStringList{"install.swm", "w.wim"}));

    messages.onMessage = {};
    EXPECT_TRUE(WIMSplitFile(wim.get(), wide(old), &size, 0));
    EXPECT_GE(toolfix::partsOf(old).size(), 3);
    LARGE_INTEGER smallest{};
    EXPECT_TRUE(WIMSplitFile(wim.get(), nullptr, &smallest, 0));
    EXPECT_GE(smallest.QuadPart, 300 * 1024);
}

namespace {

// A WIM of two images with data of their own, and space left behind by a deleted third.
QString wimWithWaste(const TempDir& dir)
{
    const QString a = dir.mkdir("a");
    const QString b = dir.mkdir("b");
    const QString c = dir.mkdir("c");
    toolfix::makeNoiseTree(a, 6, 200 * 1024);
    wimfix::makeTree(b, {{"b.txt", oprun::noiseBytes(300 * 1024, 5)}});
    wimfix::makeTree(c, {{"c.txt", oprun::noiseBytes(900 * 1024, 6)}});
    const QString path = dir.file("w.wim");
    EXPECT_TRUE(wimfix::makeWim(path, {{{a, "a"}, {b, "b"}, {c, "c"}}, 1}));
    EXPECT_EQ(toolfix::imagex({"delete", path, "3", "--soft"}), 0);
    return path;
}

} // namespace

// A rebuild drops what deletes left, keeps the images and the GUID, and verifies.
TEST_F(ToolboxLayer, ARebuildDropsWhatDeletesLeftBehind)
{
    const QString path = wimWithWaste(dir);
    const auto fileSize = static_cast<ULONGLONG>(QFileInfo(path).size());
    open(path, WIM_GENERIC_READ | WIM_GENERIC_WRITE);
    WIM_INFO before{};
    ASSERT_TRUE(WIMGetAttributes(wim.get(), &before, sizeof before));
    ULONGLONG sizeBefore = 0;
    ULONGLONG sizeAfter = 0;
    ASSERT_TRUE(WIMRebuildFile(wim.get(), WIM_COMPRESS_KEEP, 0, &sizeBefore, &sizeAfter))
        << GetLastError();
    EXPECT_EQ(sizeBefore, fileSize);
    EXPECT_LT(sizeAfter + 800 * 1024, sizeBefore) << "the deleted image's data is still there";
    EXPECT_EQ(static_cast<ULONGLONG>(QFileInfo(path).size()), sizeAfter);
    EXPECT_TRUE(wimfix::imagexVerify(path));
    EXPECT_EQ(wimfix::imageCount(path), 2);
    image.reset();
    wim.reset();
    open(path);
    WIM_INFO after{};
    ASSERT_TRUE(WIMGetAttributes(wim.get(), &after, sizeof after));
    EXPECT_EQ(std::memcmp(&after.Guid, &before.Guid, sizeof(GUID)), 0);
    EXPECT_TRUE(QDir(dir.path()).entryList({"*.pelloric-*"}).isEmpty());
}

// Writers that race the rebuild never lose their change: one that changes the file in place
// without a lock, or renames a file of its own onto the path, makes the rebuild fail with
// ERROR_SHARING_VIOLATION and keeps what it wrote; one that locks (libwim) is refused while
// the rebuild reads.
TEST_F(ToolboxLayer, WritersRacingARebuildKeepTheirChange)
{
    const QString path = wimWithWaste(dir);
    const QByteArray original = readFileBytes(path);
    struct Writer {
        const char* what;
        std::function<void()> write;
        bool rebuildSucceeds;
    };
    const QString theirs = dir.file("theirs.wim");
    int lockedWriter = -1;
    const Writer writers[] = {
        {"in place, no lock",
         [&] {
             const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(::write(fd, "X", 1), 1);
             ::close(fd);
         },
         false},
        {"rename onto the path",
         [&] { ASSERT_EQ(::rename(QFile::encodeName(theirs).constData(),
                                  QFile::encodeName(path).constData()),
                         0); },
         false},
        {"libwim, locking",
         [&] {
             WIMStruct* w = nullptr;
             ASSERT_EQ(wimlib_open_wim(QFile::encodeName(path).constData(),
                                       WIMLIB_OPEN_FLAG_WRITE_ACCESS, &w),
                       0);
             wimlib_set_image_property(w, 1, "NAME", "changed");
             lockedWriter = wimlib_overwrite(w, 0, 0);
             wimlib_free(w);
         },
         true},
    };
    for (const Writer& writer : writers) {
        {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            ASSERT_EQ(f.write(original), original.size());
        }
        dir.write("theirs.wim", original + "THEIRS");
        open(path, WIM_GENERIC_READ | WIM_GENERIC_WRITE);
        bool wrote = false;
        messages.onMessage = [&](DWORD id, WPARAM, LPARAM) {
            if (id == WIM_MSG_PROGRESS && !wrote) {
                wrote = true;
                writer.write();
            }
            return WIM_MSG_SUCCESS;
        };
        const QByteArray theirsBytes = readFileBytes(theirs);
        const BOOL rebuilt = WIMRebuildFile(wim.get(), WIM_COMPRESS_LZX, 0, nullptr, nullptr);
        const DWORD error = GetLastError();
        messages.onMessage = {};
        image.reset();
        wim.reset();
        ASSERT_TRUE(wrote) << writer.what;
        EXPECT_EQ(rebuilt != FALSE, writer.rebuildSucceeds) << writer.what;
        if (!writer.rebuildSucceeds) {
            EXPECT_EQ(error, DWORD{ERROR_SHARING_VIOLATION}) << writer.what;
            const QByteArray now = readFileBytes(path);
            EXPECT_TRUE(now == original + "X" || now == theirsBytes) << writer.what;
        } else {
            EXPECT_EQ(lockedWriter, WIMLIB_ERR_ALREADY_LOCKED) << writer.what;
            EXPECT_TRUE(wimfix::imagexVerify(path));
            EXPECT_EQ(wimfix::imageProperty(path, 1, "NAME"), QStringLiteral("a"));
        }
        EXPECT_TRUE(QDir(dir.path()).entryList({"*.pelloric-*"}).isEmpty()) << writer.what;
    }
}

// Verify names each damaged image and each damaged stream with a file that uses it, in a
// plain WIM with an integrity table and in a solid ESD.
TEST_F(ToolboxLayer, VerifyNamesEachDamagedImageAndStream)
{
    const QString a = dir.mkdir("a");
    const QString b = dir.mkdir("b");
    toolfix::makeNoiseTree(a, 5, 100 * 1024);
    wimfix::makeTree(b, {{"only-b.txt", oprun::noiseBytes(50 * 1024, 3)}});
    const QString path = dir.file("w.wim");
    ASSERT_TRUE(wimfix::makeWim(path, {{{a, "a"}, {b, "b"}}, 1, true}));
    open(path);
    WIM_VERIFY_RESULT result;
    ASSERT_TRUE(WIMVerifyFile(wim.get(), 0, &result)) << GetLastError();
    EXPECT_TRUE(result.HasIntegrityTable);
    EXPECT_EQ(result.StreamCount, 6u);
    image.reset();
    wim.reset();

    const QString good = dir.write("good.wim", readFileBytes(path));
    const toolfix::Location data = toolfix::dataOf(path, 1, "/f3.bin");
    const auto metadata = wimfix::metadataResource(path); // image 2's, the last
    ASSERT_GT(data.size, 0);
    ASSERT_TRUE(toolfix::flipByte(path, data.offset + data.size / 2));
    ASSERT_TRUE(toolfix::flipByte(path, metadata.first + metadata.second / 2));
    open(path);
    EXPECT_FALSE(WIMVerifyFile(wim.get(), 0, &result));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_CORRUPT});
    QStringList named;
    for (const WIM_VERIFY_PROBLEM& p : result.Problems)
        named << QStringLiteral("%1 %2 %3").arg(p.Kind).arg(p.ImageIndex)
                     .arg(QString::fromUtf16(p.Path.data(), static_cast<qsizetype>(p.Path.size())));
    EXPECT_TRUE(named.contains(QStringLiteral("1 0 ") + path)) << named.join("; ").toStdString();
    EXPECT_TRUE(named.contains(QStringLiteral("2 2 "))) << named.join("; ").toStdString();
    EXPECT_TRUE(named.contains(QStringLiteral("4 1 /f3.bin"))) << named.join("; ").toStdString();
    EXPECT_EQ(named.size(), 3) << named.join("; ").toStdString();
    image.reset();
    wim.reset();

    // In a solid resource a damaged chunk damages every stream it holds part of; each is named.
    const QString esd = dir.file("w.esd");
    ASSERT_EQ(toolfix::imagex({"export", good, "1", esd, "--solid", "--compress=LZMS"}), 0);
    const toolfix::Location solid = toolfix::dataOf(esd, 1, "/f3.bin");
    ASSERT_GT(solid.size, 0);
    ASSERT_TRUE(toolfix::flipByte(esd, solid.offset + solid.size / 2));
    open(esd);
    EXPECT_FALSE(WIMVerifyFile(wim.get(), 0, &result));
    ASSERT_FALSE(result.Problems.empty());
    const QStringList files = wimfix::imagePaths(good, 1);
    for (const WIM_VERIFY_PROBLEM& p : result.Problems) {
        EXPECT_EQ(p.Kind, WIM_VERIFY_DAMAGED_DATA);
        const QString file = QString::fromUtf16(p.Path.data(), static_cast<qsizetype>(p.Path.size()));
        EXPECT_TRUE(files.contains(file.mid(1))) << file.toStdString();
    }
}
