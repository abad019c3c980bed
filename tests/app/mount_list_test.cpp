// The mount page's list of mounted images, filled from real FUSE mounts.
#include "app/MountList.h"
#include "ops/Text.h"
#include "platform/Kernel.h"
#include "support/MountFixture.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace {

// The rows of the list whose mount folder lies below root, as text.
QStringList rowsBelow(const QTreeWidget& list, const QString& root)
{
    QStringList rows;
    const QString prefix = QFileInfo(root).canonicalFilePath() + QLatin1Char('/');
    for (int i = 0; i < list.topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = list.topLevelItem(i);
        if (item->text(1).startsWith(prefix))
            rows << QStringList{item->text(0), item->text(1), item->text(2), item->text(3)}.join(
                '|');
    }
    return rows;
}

TEST(MountList, ColumnsCarryTheirTitles)
{
    QTreeWidget list;
    setupMountedList(&list);
    ASSERT_EQ(list.columnCount(), 4);
    const QTreeWidgetItem* header = list.headerItem();
    EXPECT_EQ(header->text(0), QStringLiteral("R/W"));
    EXPECT_EQ(header->text(1), QStringLiteral("挂载点"));
    EXPECT_EQ(header->text(2), QStringLiteral("映像文件"));
    EXPECT_EQ(header->text(3), QStringLiteral("映像"));
    EXPECT_EQ(list.selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(list.selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_TRUE(list.header()->defaultAlignment() & Qt::AlignLeft);
}

// The columns share the list's whole width; columns wider than the list keep their widths.
TEST(MountList, ColumnsFillTheListsWidth)
{
    auto sum = [](const QTreeWidget& list) {
        int width = 0;
        for (int column = 0; column < list.columnCount(); ++column)
            width += list.header()->sectionSize(column);
        return width;
    };
    QTreeWidget list;
    list.resize(500, 200);
    setupMountedList(&list);
    EXPECT_EQ(sum(list), list.maximumViewportSize().width());
    EXPECT_GT(list.header()->sectionSize(1), list.header()->sectionSize(0));

    QTreeWidget narrow;
    narrow.resize(60, 200);
    setupMountedList(&narrow);
    EXPECT_GT(sum(narrow), narrow.maximumViewportSize().width());
}

TEST(MountList, ShowsEveryMountedImageWithoutSelection)
{
    QString why;
    if (!mountfix::fuseAvailable(&why))
        GTEST_SKIP() << "mount tests skipped: " << why.toStdString();
    mountfix::prepareMounting();
    TempDir dir;
    wimfix::makeTree(dir.file("tree"), {{"a.txt", "a"}});
    const QString wim = dir.file("list.wim");
    wimfix::WimRecipe layout;
    layout.images = {{dir.file("tree"), "A", "", {}}, {dir.file("tree"), "B", "", {}}};
    ASSERT_TRUE(wimfix::makeWim(wim, layout));
    const QString readOnly = dir.mkdir("ro");
    const QString readWrite = dir.mkdir("rw with a rather long folder name for the column");
    const QString staging = dir.mkdir("staging");
    struct Sweep {
        QString root;
        ~Sweep() { mountfix::sweepMounts(root); }
    } sweep{dir.path()};
    ASSERT_TRUE(WIMMountImage(wide(readOnly), wide(wim), 2, nullptr)) << GetLastError();
    ASSERT_TRUE(WIMMountImage(wide(readWrite), wide(wim), 1, wide(staging))) << GetLastError();

    QTreeWidget list;
    list.resize(400, 200);
    list.show();
    ASSERT_TRUE(fillMountedList(&list));
    const QString wimFile = QFileInfo(wim).canonicalFilePath();
    EXPECT_EQ(
        rowsBelow(list, dir.path()),
        (QStringList{"R|" + QFileInfo(readOnly).canonicalFilePath() + "|" + wimFile + "|2",
                     "R/W|" + QFileInfo(readWrite).canonicalFilePath() + "|" + wimFile + "|1"}));
    EXPECT_TRUE(list.selectedItems().isEmpty());
    // The path columns fit their content.
    EXPECT_EQ(list.header()->sectionSize(1),
              static_cast<const QAbstractItemView&>(list).sizeHintForColumn(1));
    EXPECT_GE(list.header()->sectionSize(0), list.header()->sectionSizeHint(0));

    // A refresh drops the selection and reflects an unmount.
    list.topLevelItem(0)->setSelected(true);
    ASSERT_TRUE(WIMUnmountImage(wide(readOnly), nullptr, 0, FALSE)) << GetLastError();
    ASSERT_TRUE(fillMountedList(&list));
    EXPECT_TRUE(list.selectedItems().isEmpty());
    EXPECT_EQ(rowsBelow(list, dir.path()).size(), 1);
}

} // namespace
