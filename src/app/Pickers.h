// The pickers behind the "浏览..." buttons. Each opens a modal dialog over owner with the
// Qt (non-native) file dialog, shows path as the initial choice and, when the user accepts,
// stores the choice in path and returns true. On cancel path is left untouched and the result
// is false. Every picker starts in the folder of path when that folder exists, else in the
// folder last chosen in any picker during this run, else in the home folder; nothing of it is
// kept between runs. Its sidebar shows the places' whole names.
#pragma once

#include <QString>

class QWidget;

// Save dialog titled Text::SaveAsTitle, filter "WIM Files (*.wim)", default suffix "wim".
bool pickWimToSave(QWidget* owner, QString& path);
// Open dialog titled Text::OpenTitle for an existing WIM file.
bool pickWimToOpen(QWidget* owner, QString& path);
// Open dialog titled Text::OpenTitle for an existing "*.ini" file.
bool pickIniToOpen(QWidget* owner, QString& path);
// Folder dialog titled Text::SelectFolderTitle; path's folder is preselected when it exists.
bool pickFolder(QWidget* owner, QString& path);
