// The mounted-image list of the mount page.
#pragma once

class QTreeWidget;

// Creates the four columns of the list (once) and fills it with every mounted WIM image.
void refreshMountedList(QTreeWidget* list);
