// The mounted-image list of the mount page (list 1066): four columns "R/W", "挂载点",
// "映像文件" and "映像", one row per mounted WIM image in the platform's order.
#pragma once

class QTreeWidget;

// Sets the list up as the page shows it: the four columns with their titles, left-aligned,
// each as wide as its title, the two path columns widened to fill the list; single selection of whole rows, kept visible. Call when the
// page is shown, before the first refresh. User-interface thread only.
void setupMountedList(QTreeWidget* list);

// Empties the list and fills it with every mounted WIM image, then sizes the columns to
// their contents (when there is a row), the path columns widened to fill the list. The columns are set up first if the list has not
// been set up yet. No row is selected afterwards. Returns false, with the list left empty
// and nothing shown, when the mounted images cannot be queried. User-interface thread only.
bool fillMountedList(QTreeWidget* list);
