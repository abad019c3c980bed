#include "app/Pickers.h"

#include "ops/Text.h"

#include <QAbstractItemModel>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QListView>
#include <QTreeView>

#include <algorithm>

namespace {

enum class Kind { SaveWim, OpenWim, OpenIni, Folder };

// The folder last chosen in any picker during this run (a chosen folder, or the folder of a
// chosen file); kept in memory only.
QString& lastChosenFolder()
{
    static QString folder;
    return folder;
}

// Where a picker starts for the path in its field: that path's folder, else the folder last
// chosen, else the home folder; only folders that exist count.
QString startFolderFor(const QString& fieldPath)
{
    if (!fieldPath.isEmpty()) {
        QString folder = QFileInfo(fieldPath).absolutePath();
        if (QFileInfo(folder).isDir())
            return folder;
    }
    const QString& last = lastChosenFolder();
    if (!last.isEmpty() && QFileInfo(last).isDir())
        return last;
    return QDir::homePath();
}

// Widens the picker's sidebar until every place's name is shown whole.
void showWholeSidebarNames(QFileDialog& dialog)
{
    auto* sidebar = dialog.findChild<QListView*>(QStringLiteral("sidebar"));
    if (!sidebar || !sidebar->model())
        return;
    int widest = 0;
    const QAbstractItemModel* model = sidebar->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        const QString name = model->index(row, 0).data(Qt::DisplayRole).toString();
        widest = std::max(widest, sidebar->fontMetrics().horizontalAdvance(name));
    }
    // The icon, the spacing around it and the item's margins, and the frame.
    const int icon = sidebar->iconSize().width() > 0
                         ? sidebar->iconSize().width()
                         : sidebar->style()->pixelMetric(QStyle::PM_SmallIconSize);
    const int needed = widest + icon + 4 * sidebar->spacing() + 24 + 2 * sidebar->frameWidth();
    sidebar->setMinimumWidth(std::max(sidebar->minimumWidth(), needed));
}

bool runPicker(QWidget* owner, QString& path, Kind kind)
{
    const Text::Id titleId = kind == Kind::Folder    ? Text::SelectFolderTitle
                             : kind == Kind::SaveWim ? Text::SaveAsTitle
                                                     : Text::OpenTitle;
    QFileDialog dialog(owner, loadString(titleId));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setObjectName(QStringLiteral("picker"));

    switch (kind) {
    case Kind::SaveWim:
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        break;
    case Kind::OpenWim:
    case Kind::OpenIni:
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        break;
    case Kind::Folder:
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        break;
    }
    if (kind == Kind::OpenIni) {
        dialog.setNameFilter(QStringLiteral("INI Files (*.ini)"));
        dialog.setDefaultSuffix(QStringLiteral("ini"));
    } else if (kind != Kind::Folder) {
        dialog.setNameFilter(QStringLiteral("WIM Files (*.wim)"));
        dialog.setDefaultSuffix(QStringLiteral("wim"));
    }
    dialog.setDirectory(startFolderFor(path));
    // The field's file (or, for the folder picker, its folder when it exists) is preselected.
    const QFileInfo field(path);
    if (!path.isEmpty() && (kind != Kind::Folder || field.isDir()))
        dialog.selectFile(field.fileName());
    showWholeSidebarNames(dialog);
    // Qt sizes the size, type and date columns for short Latin texts; they follow their
    // contents instead, so a translated type or a long date is shown whole, and the name
    // column takes the width that is left.
    if (auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"))) {
        QHeaderView* header = view->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(0, QHeaderView::Stretch);
        for (int column = 1; column < header->count(); ++column)
            header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    }

    if (dialog.exec() != QDialog::Accepted)
        return false;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return false;
    path = QDir::toNativeSeparators(chosen.first());
    const QFileInfo picked(chosen.first());
    lastChosenFolder() = kind == Kind::Folder ? picked.absoluteFilePath() : picked.absolutePath();
    return true;
}

} // namespace

bool pickWimToSave(QWidget* owner, QString& path)
{
    return runPicker(owner, path, Kind::SaveWim);
}

bool pickWimToOpen(QWidget* owner, QString& path)
{
    return runPicker(owner, path, Kind::OpenWim);
}

bool pickIniToOpen(QWidget* owner, QString& path)
{
    return runPicker(owner, path, Kind::OpenIni);
}

bool pickFolder(QWidget* owner, QString& path)
{
    return runPicker(owner, path, Kind::Folder);
}
