#include "app/Page.h"

#include "app/AppSetup.h"
#include "app/ImageChooser.h"
#include "app/MountList.h"
#include "app/PathDrop.h"
#include "app/Pickers.h"
#include "app/ProgressDialog.h"
#include "app/UpDown.h"
#include "ops/Text.h"
#include "ops/WimReport.h"

#include "ui_AboutPage.h"
#include "ui_ApplyPage.h"
#include "ui_CapturePage.h"
#include "ui_DeletePage.h"
#include "ui_ExportPage.h"
#include "ui_InfoPage.h"
#include "ui_ModifyPage.h"
#include "ui_MountPage.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <vector>

QStringList compressionItems()
{
    return {loadString(138), loadString(139), loadString(140)};
}

QStringList skuItems()
{
    return {QStringLiteral("ENTERPRISE"),       QStringLiteral("BUSINESS"),
            QStringLiteral("ULTIMATE"),         QStringLiteral("SERVERSTANDARD"),
            QStringLiteral("SERVERENTERPRISE"), QStringLiteral("SERVERDATACENTER"),
            QStringLiteral("HOMEBASIC"),        QStringLiteral("HOMEPREMIUM"),
            QStringLiteral("STARTER"),          QString()};
}

namespace {

template <class Ui> void buildFrom(QWidget* page)
{
    Ui ui;
    ui.setupUi(page);
}

// How the request fields of one page map to its controls.
struct TextField {
    int id;
    QString OperationRequest::*field;
};
struct FlagField {
    int id;
    bool OperationRequest::*field;
};
struct IndexField {
    int editId;
    int upDownId;
    std::uint32_t OperationRequest::*field;
};
struct ListField {
    int id;
    QString OperationRequest::*field;
    bool compression; // else the SKU list
};

struct PageFields {
    std::vector<TextField> texts;
    std::vector<ListField> lists;
    std::vector<IndexField> indexes;
    std::vector<FlagField> flags;
};

using R = OperationRequest;

const PageFields& fieldsOf(int pageIndex)
{
    static const PageFields capture{
        {{IDC_CAPTURE_SOURCE, &R::captureSource},
         {IDC_CAPTURE_TARGET, &R::captureTarget},
         {IDC_CAPTURE_NAME, &R::captureName},
         {IDC_CAPTURE_DESCRIPTION, &R::captureDescription},
         {IDC_CAPTURE_DISPLAY_NAME, &R::captureDisplayName},
         {IDC_CAPTURE_DISPLAY_DESCRIPTION, &R::captureDisplayDescription},
         {IDC_CAPTURE_CONFIG_FILE, &R::captureConfigFile},
         {IDC_CAPTURE_TEMP_FOLDER, &R::captureTempFolder}},
        {{IDC_CAPTURE_COMPRESSION, &R::captureCompression, true},
         {IDC_CAPTURE_FLAGS, &R::captureFlags, false}},
        {},
        {{IDC_CAPTURE_BOOTABLE, &R::captureBootable},
         {IDC_CAPTURE_VERIFY, &R::captureVerify},
         {IDC_CAPTURE_CHECK, &R::captureCheck},
         {IDC_CAPTURE_NO_RP_FIX, &R::captureNoRpFix},
         {IDC_CAPTURE_SHOW_CONFIG, &R::captureShowConfig}}};
    static const PageFields apply{
        {{IDC_APPLY_SOURCE, &R::applySource}, {IDC_APPLY_TARGET, &R::applyTarget}},
        {},
        {{IDC_APPLY_INDEX_EDIT, IDC_APPLY_INDEX, &R::applyIndex}},
        {{IDC_APPLY_VERIFY, &R::applyVerify}, {IDC_APPLY_CHECK, &R::applyCheck}}};
    static const PageFields info{
        {{IDC_INFO_SOURCE, &R::infoSource}, {IDC_INFO_REPORT, &R::infoText}}, {}, {}, {}};
    static const PageFields modify{
        {{IDC_MODIFY_SOURCE, &R::modifySource},
         {IDC_MODIFY_NAME, &R::modifyName},
         {IDC_MODIFY_DESCRIPTION, &R::modifyDescription},
         {IDC_MODIFY_DISPLAY_NAME, &R::modifyDisplayName},
         {IDC_MODIFY_DISPLAY_DESCRIPTION, &R::modifyDisplayDescription}},
        {{IDC_MODIFY_FLAGS, &R::modifyFlags, false}},
        {{IDC_MODIFY_INDEX_EDIT, IDC_MODIFY_INDEX, &R::modifyIndex}},
        {{IDC_MODIFY_BOOTABLE, &R::modifyBootable}, {IDC_MODIFY_CHECK, &R::modifyCheck}}};
    static const PageFields mount{
        {{IDC_MOUNT_SOURCE, &R::mountSource}, {IDC_MOUNT_PATH, &R::mountPath}},
        {},
        {{IDC_MOUNT_INDEX_EDIT, IDC_MOUNT_INDEX, &R::mountIndex}},
        {{IDC_MOUNT_READ_WRITE, &R::mountReadWrite}, {IDC_UNMOUNT_COMMIT, &R::unmountCommit}}};
    static const PageFields remove{{{IDC_DELETE_SOURCE, &R::deleteSource}},
                                   {},
                                   {{IDC_DELETE_INDEX_EDIT, IDC_DELETE_INDEX, &R::deleteIndex}},
                                   {{IDC_DELETE_CHECK, &R::deleteCheck}}};
    static const PageFields exportPage{
        {{IDC_EXPORT_SOURCE, &R::exportSource},
         {IDC_EXPORT_TARGET, &R::exportTarget},
         {IDC_EXPORT_NAME, &R::exportName}},
        {{IDC_EXPORT_COMPRESSION, &R::exportCompression, true}},
        {{IDC_EXPORT_INDEX_EDIT, IDC_EXPORT_INDEX, &R::exportIndex}},
        {{IDC_EXPORT_BOOTABLE, &R::exportBootable}, {IDC_EXPORT_CHECK, &R::exportCheck}}};
    static const PageFields none{{}, {}, {}, {}};

    switch (pageIndex) {
    case PAGE_CAPTURE:
        return capture;
    case PAGE_APPLY:
        return apply;
    case PAGE_INFO:
        return info;
    case PAGE_MODIFY:
        return modify;
    case PAGE_MOUNT:
        return mount;
    case PAGE_DELETE:
        return remove;
    case PAGE_EXPORT:
        return exportPage;
    default:
        return none;
    }
}

enum Picker { Folder, WimToSave, WimToOpen, IniToOpen };
// The "浏览..." buttons: the edit each one fills and the picker it opens.
struct BrowseTarget {
    int page;
    int button;
    int edit;
    Picker picker;
};
const BrowseTarget kBrowseTargets[] = {
    {PAGE_CAPTURE, IDC_CAPTURE_BROWSE_SOURCE, IDC_CAPTURE_SOURCE, Folder},
    {PAGE_CAPTURE, IDC_CAPTURE_BROWSE_TARGET, IDC_CAPTURE_TARGET, WimToSave},
    {PAGE_CAPTURE, IDC_CAPTURE_BROWSE_TEMP, IDC_CAPTURE_TEMP_FOLDER, Folder},
    {PAGE_CAPTURE, IDC_CAPTURE_BROWSE_CONFIG, IDC_CAPTURE_CONFIG_FILE, IniToOpen},
    {PAGE_APPLY, IDC_APPLY_BROWSE_SOURCE, IDC_APPLY_SOURCE, WimToOpen},
    {PAGE_APPLY, IDC_APPLY_BROWSE_TARGET, IDC_APPLY_TARGET, Folder},
    {PAGE_INFO, IDC_INFO_BROWSE_SOURCE, IDC_INFO_SOURCE, WimToOpen},
    {PAGE_MODIFY, IDC_MODIFY_BROWSE_SOURCE, IDC_MODIFY_SOURCE, WimToOpen},
    {PAGE_MOUNT, IDC_MOUNT_BROWSE_SOURCE, IDC_MOUNT_SOURCE, WimToOpen},
    {PAGE_MOUNT, IDC_MOUNT_BROWSE_PATH, IDC_MOUNT_PATH, Folder},
    {PAGE_DELETE, IDC_DELETE_BROWSE_SOURCE, IDC_DELETE_SOURCE, WimToOpen},
    {PAGE_EXPORT, IDC_EXPORT_BROWSE_SOURCE, IDC_EXPORT_SOURCE, WimToOpen},
    {PAGE_EXPORT, IDC_EXPORT_BROWSE_TARGET, IDC_EXPORT_TARGET, WimToSave},
};

QString controlText(QWidget* w)
{
    if (auto* edit = qobject_cast<QLineEdit*>(w))
        return edit->text();
    if (auto* text = qobject_cast<QPlainTextEdit*>(w))
        return text->toPlainText();
    if (auto* combo = qobject_cast<QComboBox*>(w))
        return combo->currentIndex() < 0 ? QString() : combo->currentText();
    return QString();
}

void setControlText(QWidget* w, const QString& text)
{
    if (auto* edit = qobject_cast<QLineEdit*>(w))
        edit->setText(text);
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(w))
        plain->setPlainText(text);
}

} // namespace

Page::Page(int pageIndex, QWidget* mainWindow, QWidget* parent)
    : QWidget(parent), pageIndex_(pageIndex), mainWindow_(mainWindow)
{
    switch (pageIndex) {
    case PAGE_CAPTURE:
        buildFrom<Ui::CapturePage>(this);
        break;
    case PAGE_APPLY:
        buildFrom<Ui::ApplyPage>(this);
        break;
    case PAGE_INFO:
        buildFrom<Ui::InfoPage>(this);
        break;
    case PAGE_MODIFY:
        buildFrom<Ui::ModifyPage>(this);
        break;
    case PAGE_MOUNT:
        buildFrom<Ui::MountPage>(this);
        break;
    case PAGE_DELETE:
        buildFrom<Ui::DeletePage>(this);
        break;
    case PAGE_EXPORT:
        buildFrom<Ui::ExportPage>(this);
        break;
    default:
        buildFrom<Ui::AboutPage>(this);
        break;
    }
    mapTemplateToPixels(this);

    if (pageIndex == PAGE_ABOUT) {
        if (auto* icon = findChild<QLabel*>(QStringLiteral("icon"), Qt::FindDirectChildrenOnly))
            icon->setPixmap(appIcon().pixmap(32, 32));
        return;
    }

    // Commands are routed by id; no button is a default button, so Enter presses nothing.
    for (QPushButton* button : findChildren<QPushButton*>(Qt::FindDirectChildrenOnly)) {
        button->setAutoDefault(false);
        button->setDefault(false);
        const int id = controlIdOf(button->objectName());
        if (id >= kFirstPageCommand && id <= kLastPageCommand)
            connect(button, &QPushButton::clicked, this, [this, id] { runPageCommand(id); });
    }
    // Texts are carried whole up to the 65,535 characters a page field holds (Qt's default
    // limit is 32,767).
    for (QLineEdit* edit : findChildren<QLineEdit*>(Qt::FindDirectChildrenOnly))
        edit->setMaxLength(65535);
    // A file or folder dropped on a path edit fills it, as its picker would.
    for (const BrowseTarget& t : kBrowseTargets) {
        if (t.page != pageIndex)
            continue;
        std::function<void()> dropped;
        if (pageIndex == PAGE_INFO)
            dropped = [this] { control<QPlainTextEdit>(IDC_INFO_REPORT)->clear(); };
        acceptPathDrops(control<QLineEdit>(t.edit), dropped);
    }
    for (const IndexField& f : fieldsOf(pageIndex).indexes) {
        auto* upDown = control<UpDown>(f.upDownId);
        upDown->setBuddy(control<QLineEdit>(f.editId));
        upDown->setRange(1, 99);
    }
    for (QComboBox* combo : findChildren<QComboBox*>(Qt::FindDirectChildrenOnly)) {
        combo->setEditable(false);
        combo->setMaxVisibleItems(10);
    }
}

Page::~Page()
{
    PagePort* self = this;
    globalContext().pageWindow.compare_exchange_strong(self, nullptr);
}

QWidget* Page::control(int controlId) const
{
    return findChild<QWidget*>(controlName(controlId), Qt::FindDirectChildrenOnly);
}

void Page::savePageSettings(OperationRequest& request) const
{
    const PageFields& fields = fieldsOf(pageIndex_);
    for (const TextField& f : fields.texts)
        request.*f.field = controlText(control(f.id));
    for (const ListField& f : fields.lists)
        request.*f.field = controlText(control(f.id));
    for (const IndexField& f : fields.indexes)
        request.*f.field = static_cast<std::uint32_t>(control<UpDown>(f.upDownId)->position());
    for (const FlagField& f : fields.flags) {
        request.*f.field = false;
        if (auto* box = control<QCheckBox>(f.id); box && box->isChecked())
            request.*f.field = true;
    }
}

void Page::showPageSettings(const OperationRequest& request)
{
    const PageFields& fields = fieldsOf(pageIndex_);
    for (const TextField& f : fields.texts)
        setControlText(control(f.id), request.*f.field);
    for (const ListField& f : fields.lists) {
        auto* combo = control<QComboBox>(f.id);
        combo->clear();
        combo->addItems(f.compression ? compressionItems() : skuItems());
        const QString& stored = request.*f.field;
        combo->setCurrentIndex(stored.isEmpty() ? -1 : combo->findText(stored, Qt::MatchExactly));
    }
    for (const IndexField& f : fields.indexes)
        control<UpDown>(f.upDownId)->setPosition(static_cast<int>(request.*f.field & 0xFFFF));
    for (const FlagField& f : fields.flags)
        control<QCheckBox>(f.id)->setChecked(request.*f.field);
    if (auto* list = control<QTreeWidget>(IDC_MOUNT_LIST)) {
        setupMountedList(list);
        ::refreshMountedList(list);
    }
}

void Page::runPageCommand(int id)
{
    OperationRequest& request = globalContext().request;
    switch (pageIndex_) {
    case PAGE_CAPTURE:
        switch (id) {
        case IDC_CAPTURE_BROWSE_SOURCE:
        case IDC_CAPTURE_BROWSE_TARGET:
        case IDC_CAPTURE_BROWSE_TEMP:
        case IDC_CAPTURE_BROWSE_CONFIG:
            browse(id);
            return;
        case IDC_CAPTURE_CREATE:
        case IDC_CAPTURE_APPEND:
            runOperation(id);
            return;
        }
        return;
    case PAGE_APPLY:
        switch (id) {
        case IDC_APPLY_BROWSE_SOURCE:
        case IDC_APPLY_BROWSE_TARGET:
            browse(id);
            return;
        case IDC_APPLY_START:
            runOperation(id);
            return;
        case IDC_APPLY_CHOOSE:
            chooseImage(IDC_APPLY_SOURCE, IDC_APPLY_INDEX);
            return;
        }
        return;
    case PAGE_INFO:
        if (id == IDC_INFO_BROWSE_SOURCE)
            browse(id);
        else if (id == IDC_INFO_RUN)
            runReport();
        return;
    case PAGE_MODIFY:
        if (id == IDC_MODIFY_BROWSE_SOURCE)
            browse(id);
        else if (id == IDC_MODIFY_CHOOSE)
            chooseImage(IDC_MODIFY_SOURCE, IDC_MODIFY_INDEX);
        else if (id == IDC_MODIFY_START)
            runOperation(id);
        return;
    case PAGE_MOUNT:
        switch (id) {
        case IDC_MOUNT_BROWSE_SOURCE:
        case IDC_MOUNT_BROWSE_PATH:
            browse(id);
            return;
        case IDC_MOUNT_CHOOSE:
            chooseImage(IDC_MOUNT_SOURCE, IDC_MOUNT_INDEX);
            return;
        case IDC_MOUNT_START:
            runOperation(id);
            refreshListNow();
            return;
        case IDC_UNMOUNT_START:
            startUnmount();
            return;
        case IDC_MOUNT_REFRESH:
            savePageSettings(request);
            refreshListNow();
            return;
        }
        return;
    case PAGE_DELETE:
        if (id == IDC_DELETE_BROWSE_SOURCE)
            browse(id);
        else if (id == IDC_DELETE_CHOOSE)
            chooseImage(IDC_DELETE_SOURCE, IDC_DELETE_INDEX);
        else if (id == IDC_DELETE_START)
            runOperation(id);
        return;
    case PAGE_EXPORT:
        switch (id) {
        case IDC_EXPORT_BROWSE_SOURCE:
        case IDC_EXPORT_BROWSE_TARGET:
            browse(id);
            return;
        case IDC_EXPORT_CHOOSE:
            chooseImage(IDC_EXPORT_SOURCE, IDC_EXPORT_INDEX);
            return;
        case IDC_EXPORT_START:
            runOperation(id);
            return;
        }
        return;
    default:
        return;
    }
}

void Page::browse(int buttonId)
{
    for (const BrowseTarget& t : kBrowseTargets) {
        if (t.page != pageIndex_ || t.button != buttonId)
            continue;
        auto* edit = control<QLineEdit>(t.edit);
        QString path = edit->text();
        bool chosen = false;
        switch (t.picker) {
        case Folder:
            chosen = pickFolder(mainWindow_, path);
            break;
        case WimToSave:
            chosen = pickWimToSave(mainWindow_, path);
            break;
        case WimToOpen:
            chosen = pickWimToOpen(mainWindow_, path);
            break;
        case IniToOpen:
            chosen = pickIniToOpen(mainWindow_, path);
            break;
        }
        // A cancelled picker leaves the edit as it was; the whole path is kept, never cut.
        if (!chosen)
            return;
        edit->setText(path);
        if (pageIndex_ == PAGE_INFO)
            control<QPlainTextEdit>(IDC_INFO_REPORT)->clear();
        return;
    }
}

void Page::chooseImage(int sourceId, int upDownId)
{
    OperationRequest& request = globalContext().request;
    auto* upDown = control<UpDown>(upDownId);
    request.chooserWimPath = control<QLineEdit>(sourceId)->text();
    request.chooserIndex = static_cast<std::uint32_t>(upDown->position());
    openImageChooser(mainWindow_, request);
    upDown->setPosition(static_cast<int>(request.chooserIndex & 0xFFFF));
}

void Page::runOperation(int operationId)
{
    savePageSettings(globalContext().request);
    runProgressDialog(mainWindow_, operationId);
}

void Page::startUnmount()
{
    OperationRequest& request = globalContext().request;
    savePageSettings(request);
    auto* list = control<QTreeWidget>(IDC_MOUNT_LIST);
    QTreeWidgetItem* selected = nullptr;
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
        if (list->topLevelItem(row)->isSelected()) {
            selected = list->topLevelItem(row);
            break;
        }
    }
    if (selected) {
        request.mountPath = selected->text(1);
        runProgressDialog(mainWindow_, ID_UNMOUNT);
    }
    refreshListNow();
}

void Page::runReport()
{
    OperationRequest& request = globalContext().request;
    savePageSettings(request);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const QString report =
        buildWimReport(request.infoSource, [this] { showXmlErrorMessage(mainWindow_); });
    QApplication::restoreOverrideCursor();
    control<QPlainTextEdit>(IDC_INFO_REPORT)->setPlainText(report);
}

void Page::refreshListNow()
{
    if (auto* list = control<QTreeWidget>(IDC_MOUNT_LIST))
        ::refreshMountedList(list);
}

void Page::refreshMountedList()
{
    if (pageIndex_ != PAGE_MOUNT)
        return;
    QMetaObject::invokeMethod(
        this, [this] { refreshListNow(); }, Qt::AutoConnection);
}
