// File calls: copy with overwrite that never writes through a link, delete, attributes and
// the directory search that matches names without letter case.

#include "platform/Files.h"
#include "platform/Kernel.h"

#include "support/TempDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

bool symlinkTo(const QString& target, const QString& link)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) ==
           0;
}

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

TEST(CopyFile, CopiesAndOverwrites)
{
    TempDir dir;
    const QByteArray big(3 * 1024 * 1024 + 17, 'h');
    const QString source = dir.write(QStringLiteral("config/SOFTWARE"), big);
    const QString copy = dir.file(QStringLiteral("config/SOFTWARE.OFL"));
    ASSERT_TRUE(CopyFileW(wide(source), wide(copy), FALSE));
    EXPECT_EQ(readFileBytes(copy), big);

    // A stale copy is replaced; failIfExists refuses and keeps it.
    dir.write(QStringLiteral("config/SOFTWARE.OFL"), "stale");
    EXPECT_FALSE(CopyFileW(wide(source), wide(copy), TRUE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(readFileBytes(copy), QByteArray("stale"));
    ASSERT_TRUE(CopyFileW(wide(source), wide(copy), FALSE));
    EXPECT_EQ(readFileBytes(copy), big);
    EXPECT_EQ(QFileInfo(copy).lastModified(), QFileInfo(source).lastModified());
    // No scratch files are left beside it.
    EXPECT_EQ(entries(dir.file(QStringLiteral("config"))),
              (QStringList{"SOFTWARE", "SOFTWARE.OFL"}));
}

// The installation folder may be hostile: a link planted at the copy's name must not make
// the copy overwrite the file it points to.
TEST(CopyFile, NeverWritesThroughALinkAtTheDestination)
{
    TempDir dir;
    const QString victim = dir.write(QStringLiteral("elsewhere/passwd"), "root:x:0:0\n");
    const QString source = dir.write(QStringLiteral("config/SOFTWARE"), "hive bytes");
    const QString copy = dir.file(QStringLiteral("config/SOFTWARE.OFL"));
    ASSERT_TRUE(symlinkTo(victim, copy));
    ASSERT_TRUE(CopyFileW(wide(source), wide(copy), FALSE));
    EXPECT_EQ(readFileBytes(victim), QByteArray("root:x:0:0\n"));
    EXPECT_FALSE(QFileInfo(copy).isSymLink());
    EXPECT_EQ(readFileBytes(copy), QByteArray("hive bytes"));

    // A dangling link is replaced as well, and its target is not created.
    const QString dangling = dir.file(QStringLiteral("config/SYSTEM.OFL"));
    ASSERT_TRUE(symlinkTo(dir.file(QStringLiteral("elsewhere/new")), dangling));
    ASSERT_TRUE(CopyFileW(wide(source), wide(dangling), FALSE));
    EXPECT_FALSE(QFileInfo::exists(dir.file(QStringLiteral("elsewhere/new"))));
    EXPECT_EQ(readFileBytes(dangling), QByteArray("hive bytes"));

    // With failIfExists, even a dangling link counts as existing.
    ASSERT_TRUE(
        symlinkTo(dir.file(QStringLiteral("elsewhere/new2")), dir.file(QStringLiteral("x.OFL"))));
    EXPECT_FALSE(CopyFileW(wide(source), wide(dir.file(QStringLiteral("x.OFL"))), TRUE));
    EXPECT_FALSE(QFileInfo::exists(dir.file(QStringLiteral("elsewhere/new2"))));
}

TEST(CopyFile, Failures)
{
    TempDir dir;
    const QString source = dir.write(QStringLiteral("SOFTWARE"), "hive");
    dir.mkdir(QStringLiteral("folder"));
    const QString fifo = dir.file(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    struct Case {
        const char* what;
        QString from;
        QString to;
        DWORD error;
    } cases[] = {
        {"missing source", dir.file("nothing"), dir.file("a"), ERROR_FILE_NOT_FOUND},
        {"source folder missing", dir.file("no/SOFTWARE"), dir.file("a"), ERROR_PATH_NOT_FOUND},
        {"source is a folder", dir.file("folder"), dir.file("a"), ERROR_ACCESS_DENIED},
        {"source is a FIFO", fifo, dir.file("a"), ERROR_ACCESS_DENIED},
        {"destination folder missing", source, dir.file("no/a"), ERROR_PATH_NOT_FOUND},
        {"destination is a folder", source, dir.file("folder"), ERROR_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_FALSE(CopyFileW(wide(c.from), wide(c.to), FALSE));
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(entries(dir.path()), (QStringList{"SOFTWARE", "fifo", "folder"}))
        << "failed copies leave nothing behind";
    EXPECT_TRUE(entries(dir.file("folder")).isEmpty());
}

TEST(DeleteFile, RemovesFilesAndLinksNotFolders)
{
    TempDir dir;
    const QString target = dir.write(QStringLiteral("target"), "keep");
    const QString link = dir.file(QStringLiteral("link"));
    ASSERT_TRUE(symlinkTo(target, link));
    EXPECT_TRUE(DeleteFileW(wide(link)));
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    EXPECT_EQ(readFileBytes(target), QByteArray("keep"));
    EXPECT_TRUE(DeleteFileW(wide(target)));
    EXPECT_FALSE(QFileInfo::exists(target));

    EXPECT_FALSE(DeleteFileW(wide(target)));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileW(wide(dir.file(QStringLiteral("no/file")))));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    const QString folder = dir.mkdir(QStringLiteral("folder"));
    EXPECT_FALSE(DeleteFileW(wide(folder)));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(QFileInfo(folder).isDir());
}

TEST(FileAttributes, KindsAndExactLetterCase)
{
    TempDir dir;
    const QString file = dir.write(QStringLiteral("Windows/System32/kernel32.dll"), "MZ");
    const QString readOnly = dir.write(QStringLiteral("ro.txt"), "r");
    ASSERT_TRUE(QFile::setPermissions(readOnly, QFileDevice::ReadOwner));
    const QString link = dir.file(QStringLiteral("Windows/link"));
    ASSERT_TRUE(symlinkTo(dir.file(QStringLiteral("Windows/System32")), link));

    EXPECT_EQ(GetFileAttributesW(wide(dir.file("Windows"))), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesW(wide(file)), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(GetFileAttributesW(wide(readOnly)), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(GetFileAttributesW(wide(link)),
              FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);

    EXPECT_EQ(GetFileAttributesW(wide(dir.file("Windows/System32/Kernel32.dll"))),
              INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesW(wide(dir.file("WINDOWS/System32/kernel32.dll"))),
              INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(FindFirstFile, MatchesTheLastComponentWithoutLetterCase)
{
    TempDir dir;
    dir.write(QStringLiteral("System32/kernel32.dll"), "MZ");
    dir.write(QStringLiteral("System32/KernelBase.dll"), "MZ");
    dir.write(QStringLiteral("System32/ntdll.dll"), "MZ");
    dir.mkdir(QStringLiteral("System32/config"));
    const QString folder = dir.file(QStringLiteral("System32"));

    auto find = [&](const QString& pattern) {
        QStringList names;
        WIN32_FIND_DATAW data;
        HANDLE h = FindFirstFileW(wide(folder + u'/' + pattern), &data);
        if (h == INVALID_HANDLE_VALUE)
            return names;
        do {
            names << QString::fromUtf16(data.cFileName);
        } while (FindNextFileW(h, &data));
        EXPECT_TRUE(FindClose(h));
        return names;
    };
    struct Case {
        const char* pattern;
        QStringList names;
    } cases[] = {
        {"Kernel32.dll", {"kernel32.dll"}},
        {"KERNEL32.DLL", {"kernel32.dll"}},
        {"kernel32.dll", {"kernel32.dll"}},
        {"kernel*.dll", {"KernelBase.dll", "kernel32.dll"}},
        {"?TDLL.*", {"ntdll.dll"}},
        {"*", {"KernelBase.dll", "config", "kernel32.dll", "ntdll.dll"}},
        {"*.*", {"KernelBase.dll", "config", "kernel32.dll", "ntdll.dll"}},
        {"CONFIG", {"config"}},
        {"user32.dll", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        EXPECT_EQ(find(QLatin1String(c.pattern)), c.names);
    }

    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(wide(folder + QStringLiteral("/CONFIG")), &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    FindClose(h);
    EXPECT_FALSE(FindClose(h)) << "a closed search is refused";

    EXPECT_EQ(FindFirstFileW(wide(folder + QStringLiteral("/user32.dll")), &data),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FindFirstFileW(wide(dir.file("SYSTEM32/kernel32.dll")), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

} // namespace
