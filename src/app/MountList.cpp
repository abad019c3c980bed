#include "app/MountList.h"

#include "ops/MountOps.h"
#include "ops/Text.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QTreeWidget>

namespace
{

constexpr int kColumns = 4;
constexpr int kInitialWidth = 70;
constexpr char kSetUpProperty[] = "pellMountColumns";

// Widens the two path columns, in proportion to their widths, until the columns fill the
// list's width; columns wider than the list together keep their widths (the list scrolls).
void shareListWidth(QTreeWidget* list)
{
    QHeaderView* header = list->header();
    int available = list->maximumViewportSize().width();
    if (list->verticalScrollBar()->isVisible())
        available -= list->verticalScrollBar()->width();
    int used = 0;
    for (int column = 0; column < kColumns; ++column)
        used += header->sectionSize(column);
    const int spare = available - used;
    if (spare <= 0)
        return;
    const int paths = header->sectionSize(1) + header->sectionSize(2);
    const int toFolder = paths > 0 ? spare * header->sectionSize(1) / paths : spare / 2;
    header->resizeSection(1, header->sectionSize(1) + toFolder);
    header->resizeSection(2, header->sectionSize(2) + spare - toFolder);
}

} // namespace

void setupMountedList(QTreeWidget* list)
{
    if (!list)
        return;
    list->setColumnCount(kColumns);
    list->setHeaderLabels({loadString(Text::ReadWrite), loadString(Text::MountPointColumn),
                           loadString(Text::ImageFileColumn), loadString(Text::ImageColumn)});
    list->setRootIsDecorated(false);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setAllColumnsShowFocus(true);
    QHeaderView* header = list->header();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setStretchLastSection(false);
    for (int column = 0; column < kColumns; ++column) {
        header->resizeSection(column, kInitialWidth);
        header->resizeSection(column, header->sectionSizeHint(column));
    }
    shareListWidth(list);
    list->setProperty(kSetUpProperty, true);
}

bool fillMountedList(QTreeWidget* list)
{
    if (!list)
        return false;
    if (!list->property(kSetUpProperty).toBool())
        setupMountedList(list);
    list->clear();
    list->setCurrentItem(nullptr);

    const auto rows = mountedImageRows();
    if (!rows)
        return false;
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows->size()));
    for (const MountedImageRow& row : *rows)
        items << new QTreeWidgetItem(
            QStringList{row.access, row.mountFolder, row.wimFile, row.index});
    list->addTopLevelItems(items);
    list->clearSelection();

    if (!items.isEmpty()) {
        // The flag and index columns fit content and title; the two paths fit their content.
        QHeaderView* header = list->header();
        const QAbstractItemView* view = list; // the content size hint is public here
        list->resizeColumnToContents(0);
        header->resizeSection(1, view->sizeHintForColumn(1));
        header->resizeSection(2, view->sizeHintForColumn(2));
        list->resizeColumnToContents(3);
        shareListWidth(list);
    }
    return true;
}
