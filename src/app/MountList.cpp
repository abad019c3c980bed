#include "app/MountList.h"

#include <QTreeWidget>

// Mounting arrives with its own layer; until then the list stays empty.
void refreshMountedList(QTreeWidget* list)
{
    if (list)
        list->clear();
}
