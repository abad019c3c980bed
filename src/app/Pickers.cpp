#include "app/Pickers.h"

#include "ops/Text.h"

#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QTreeView>

namespace {

enum class Kind { SaveWim, OpenWim, OpenIni, Folder };

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
        dialog.setDirectory(QDir::rootPath());
        break;
    }
    if (kind == Kind::OpenIni) {
        dialog.setNameFilter(QStringLiteral("INI Files (*.ini)"));
        dialog.setDefaultSuffix(QStringLiteral("ini"));
    } else if (kind != Kind::Folder) {
        dialog.setNameFilter(QStringLiteral("WIM Files (*.wim)"));
        dialog.setDefaultSuffix(QStringLiteral("wim"));
    }
    if (kind != Kind::Folder && !path.isEmpty())
        dialog.selectFile(path);
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
