// The one reader of the mount table: its entries, and the volume that holds a path.
#include "platform/MountTable.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>

namespace {

// A root file system, a volume at /mnt/win, one with a space in its name, one whose name
// only begins like another, a read-only wimfs mount, and lines that name no mount point.
const QByteArray kMountInfo = "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                              "40 22 8:2 / /mnt/win rw,relatime shared:2 - ntfs3 /dev/sda2 rw\n"
                              "41 22 8:3 / /mnt/my\\040disk rw - vfat /dev/sda3 rw\n"
                              "42 22 8:4 / /mnt/winning rw - ext4 /dev/sda4 rw\n"
                              "43 40 0:5 / /mnt/win/Users/x/cache rw - tmpfs tmpfs rw\n"
                              "44 22 0:6 / /mnt/img ro,nosuid - fuse.wimfs wimlib ro\n"
                              "garbage line\n"
                              "45 22 0:7 / relative rw - ext4 x rw\n"
                              "\n";

TEST(MountTable, EntriesWithTypesAndReadOnlyMarks)
{
    const std::vector<MountTableEntry> entries =
        parseMountInfo(std::string_view(kMountInfo.constData(), kMountInfo.size()));
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].mountPoint, "/");
    EXPECT_EQ(entries[0].fsType, "ext4");
    EXPECT_EQ(entries[2].mountPoint, "/mnt/my disk");
    EXPECT_EQ(entries[2].fsType, "vfat");
    EXPECT_FALSE(entries[2].readOnly);
    EXPECT_EQ(entries[5].mountPoint, "/mnt/img");
    EXPECT_EQ(entries[5].fsType, "fuse.wimfs");
    EXPECT_TRUE(entries[5].readOnly);

    // This process's own table has its root.
    std::vector<MountTableEntry> live;
    ASSERT_EQ(readMountTable(live), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(std::any_of(live.begin(), live.end(),
                            [](const MountTableEntry& e) { return e.mountPoint == "/"; }));
}

TEST(VolumeRoot, IsTheLongestMountPointHoldingTheSource)
{
    const struct {
        const char* path;
        const char* root;
    } cases[] = {
        {"/mnt/win", "/mnt/win"},       // source on its own mount point
        {"/mnt/win/Users", "/mnt/win"}, // source below it
        {"/mnt/win/Users/x/cache/y", "/mnt/win/Users/x/cache"},
        {"/mnt/winx", "/"}, // a name that only begins like a mount point
        {"/mnt/winning/a", "/mnt/winning"},
        {"/mnt/my disk/files", "/mnt/my disk"},
        {"/home/u", "/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(longestMountPoint(QString::fromUtf8(c.path), kMountInfo),
                  QString::fromUtf8(c.root))
            << c.path;
    }
    EXPECT_EQ(longestMountPoint(u"/mnt/win"_qs, QByteArray()), QString());
}

TEST(VolumeRoot, IsWrittenAsThePrefixOfTheSourcePathThroughSymbolicLinks)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString base = QFileInfo(dir.path()).canonicalFilePath();
    ASSERT_TRUE(QDir().mkpath(base + u"/vol/Users/x"_qs));
    ASSERT_TRUE(QFile::link(base + u"/vol"_qs, base + u"/link"_qs));
    const QByteArray mountInfo = "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n40 22 8:2 / " +
                                 base.toUtf8() + "/vol rw - ext4 x rw\n";

    EXPECT_EQ(volumeRootOf(base + u"/vol/Users"_qs, mountInfo), base + u"/vol"_qs);
    EXPECT_EQ(volumeRootOf(base + u"/vol/"_qs, mountInfo), base + u"/vol"_qs);
    EXPECT_EQ(volumeRootOf(base + u"/link/Users/x"_qs, mountInfo), base + u"/link"_qs);
    EXPECT_EQ(volumeRootOf(base + u"/link"_qs, mountInfo), base + u"/link"_qs);
    EXPECT_EQ(volumeRootOf(base + u"/missing/dir"_qs, mountInfo), u"/"_qs);
    EXPECT_EQ(volumeRootOf(u"relative/path"_qs, mountInfo), QString());
}

} // namespace
