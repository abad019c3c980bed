#include "app/Page.h"

#include "app/AppSetup.h"
#include "app/ImageChooser.h"
#include "app/MainWindow.h"
#include "app/MountList.h"
#include "app/PathDrop.h"
#include "app/Pickers.h"
#include "app/ProgressDialog.h"
#include "app/ToolboxPages.h"
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
    return {loadString(Text::CompressionNone), loadString(Text::CompressionFast),
            loadString(Text::CompressionMaximum)};
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

// The request fields of each page and the controls that show them.
const PageFields kCaptureFields{{{IDC_CAPTURE_SOURCE, &R::captureSource},
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
const PageFields kApplyFields{
    {{IDC_APPLY_SOURCE, &R::applySource}, {IDC_APPLY_TARGET, &R::applyTarget}},
    {},
    {{IDC_APPLY_INDEX_EDIT, IDC_APPLY_INDEX, &R::applyIndex}},
    {{IDC_APPLY_VERIFY, &R::applyVerify}, {IDC_APPLY_CHECK, &R::applyCheck}}};
const PageFields kInfoFields{
    {{IDC_INFO_SOURCE, &R::infoSource}, {IDC_INFO_REPORT, &R::infoText}}, {}, {}, {}};
const PageFields kModifyFields{
    {{IDC_MODIFY_SOURCE, &R::modifySource},
     {IDC_MODIFY_NAME, &R::modifyName},
     {IDC_MODIFY_DESCRIPTION, &R::modifyDescription},
     {IDC_MODIFY_DISPLAY_NAME, &R::modifyDisplayName},
     {IDC_MODIFY_DISPLAY_DESCRIPTION, &R::modifyDisplayDescription}},
    {{IDC_MODIFY_FLAGS, &R::modifyFlags, false}},
    {{IDC_MODIFY_INDEX_EDIT, IDC_MODIFY_INDEX, &R::modifyIndex}},
    {{IDC_MODIFY_BOOTABLE, &R::modifyBootable}, {IDC_MODIFY_CHECK, &R::modifyCheck}}};
const PageFields kMountFields{
    {{IDC_MOUNT_SOURCE, &R::mountSource}, {IDC_MOUNT_PATH, &R::mountPath}},
    {},
    {{IDC_MOUNT_INDEX_EDIT, IDC_MOUNT_INDEX, &R::mountIndex}},
    {{IDC_MOUNT_READ_WRITE, &R::mountReadWrite}, {IDC_UNMOUNT_COMMIT, &R::unmountCommit}}};
const PageFields kDeleteFields{{{IDC_DELETE_SOURCE, &R::deleteSource}},
                               {},
                               {{IDC_DELETE_INDEX_EDIT, IDC_DELETE_INDEX, &R::deleteIndex}},
                               {{IDC_DELETE_CHECK, &R::deleteCheck}}};
const PageFields kExportFields{
    {{IDC_EXPORT_SOURCE, &R::exportSource},
     {IDC_EXPORT_TARGET, &R::exportTarget},
     {IDC_EXPORT_NAME, &R::exportName}},
    {{IDC_EXPORT_COMPRESSION, &R::exportCompression, true}},
    {{IDC_EXPORT_INDEX_EDIT, IDC_EXPORT_INDEX, &R::exportIndex}},
    {{IDC_EXPORT_BOOTABLE, &R::exportBootable}, {IDC_EXPORT_CHECK, &R::exportCheck}}};
const PageFields kNoFields{{}, {}, {}, {}};

const PageFields& fieldsOf(int pageIndex)
{
    switch (pageIndex) {
    case PAGE_CAPTURE:
        return kCaptureFields;
    case PAGE_APPLY:
        return kApplyFields;
    case PAGE_INFO:
        return kInfoFields;
    case PAGE_MODIFY:
        return kModifyFields;
    case PAGE_MOUNT:
        return kMountFields;
    case PAGE_DELETE:
        return kDeleteFields;
    case PAGE_EXPORT:
        return kExportFields;
    default:
        return kNoFields;
    }
}

enum Picker { Folder, WimToSave, WimToOpen, IniToOpen };

// What a page's button does.
enum class Action {
    Browse,           // run `picker` and put the chosen path into `edit`
    ChooseImage,      // image chooser for the WIM in `edit` and the index box `upDown`
    StartOperation,   // save the page, run the progress dialog for the button's operation
    StartMount,       // as StartOperation, then refresh the mounted-image list
    StartUnmount,     // unmount the selected row of the mounted-image list
    RunReport,        // save the page, show the information report
    RefreshMountList, // save the page, refresh the mounted-image list
};

// The command table: every button a page routes, by page and control id. Ids in the
// command range that are not listed (edits, lists, check boxes) do nothing.
struct PageCommand {
    int page;
    int id;
    Action action;
    int edit = 0;   // Browse: the edit filled; ChooseImage: the source edit
    int upDown = 0; // ChooseImage: the index box
    Picker picker = Folder;
};
using A = Action;
const PageCommand kPageCommands[] = {
    {PAGE_CAPTURE, IDC_CAPTURE_BROWSE_SOURCE, A::Browse, IDC_CAPTURE_SOURCE, 0, Folder},
    {PAGE_CAPTURE, IDC_CAPTURE_BROWSE_TARGET, A::Browse, IDC_CAPTURE_TARGET, 0, WimToSave},
    {PAGE_CAPTURE, IDC_CAPTURE_BROWSE_TEMP, A::Browse, IDC_CAPTURE_TEMP_FOLDER, 0, Folder},
    {PAGE_CAPTURE, IDC_CAPTURE_BROWSE_CONFIG, A::Browse, IDC_CAPTURE_CONFIG_FILE, 0, IniToOpen},
    {PAGE_CAPTURE, IDC_CAPTURE_CREATE, A::StartOperation},
    {PAGE_CAPTURE, IDC_CAPTURE_APPEND, A::StartOperation},
    {PAGE_APPLY, IDC_APPLY_BROWSE_SOURCE, A::Browse, IDC_APPLY_SOURCE, 0, WimToOpen},
    {PAGE_APPLY, IDC_APPLY_BROWSE_TARGET, A::Browse, IDC_APPLY_TARGET, 0, Folder},
    {PAGE_APPLY, IDC_APPLY_START, A::StartOperation},
    {PAGE_APPLY, IDC_APPLY_CHOOSE, A::ChooseImage, IDC_APPLY_SOURCE, IDC_APPLY_INDEX},
    {PAGE_INFO, IDC_INFO_BROWSE_SOURCE, A::Browse, IDC_INFO_SOURCE, 0, WimToOpen},
    {PAGE_INFO, IDC_INFO_RUN, A::RunReport},
    {PAGE_MODIFY, IDC_MODIFY_BROWSE_SOURCE, A::Browse, IDC_MODIFY_SOURCE, 0, WimToOpen},
    {PAGE_MODIFY, IDC_MODIFY_CHOOSE, A::ChooseImage, IDC_MODIFY_SOURCE, IDC_MODIFY_INDEX},
    {PAGE_MODIFY, IDC_MODIFY_START, A::StartOperation},
    {PAGE_MOUNT, IDC_MOUNT_BROWSE_SOURCE, A::Browse, IDC_MOUNT_SOURCE, 0, WimToOpen},
    {PAGE_MOUNT, IDC_MOUNT_BROWSE_PATH, A::Browse, IDC_MOUNT_PATH, 0, Folder},
    {PAGE_MOUNT, IDC_MOUNT_CHOOSE, A::ChooseImage, IDC_MOUNT_SOURCE, IDC_MOUNT_INDEX},
    {PAGE_MOUNT, IDC_MOUNT_START, A::StartMount},
    {PAGE_MOUNT, IDC_UNMOUNT_START, A::StartUnmount},
    {PAGE_MOUNT, IDC_MOUNT_REFRESH, A::RefreshMountList},
    {PAGE_DELETE, IDC_DELETE_BROWSE_SOURCE, A::Browse, IDC_DELETE_SOURCE, 0, WimToOpen},
    {PAGE_DELETE, IDC_DELETE_CHOOSE, A::ChooseImage, IDC_DELETE_SOURCE, IDC_DELETE_INDEX},
    {PAGE_DELETE, IDC_DELETE_START, A::StartOperation},
    {PAGE_EXPORT, IDC_EXPORT_BROWSE_SOURCE, A::Browse, IDC_EXPORT_SOURCE, 0, WimToOpen},
    {PAGE_EXPORT, IDC_EXPORT_BROWSE_TARGET, A::Browse, IDC_EXPORT_TARGET, 0, WimToSave},
    {PAGE_EXPORT, IDC_EXPORT_CHOOSE, A::ChooseImage, IDC_EXPORT_SOURCE, IDC_EXPORT_INDEX},
    {PAGE_EXPORT, IDC_EXPORT_START, A::StartOperation},
};

const PageCommand* findCommand(int page, int id)
{
    for (const PageCommand& command : kPageCommands) {
        if (command.page == page && command.id == id)
            return &command;
    }
    return nullptr;
}

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
    case PAGE_BROWSE:
    case PAGE_SPLIT:
    case PAGE_MAINTAIN:
        extension_ = makePageExtension(pageIndex, *this, mainWindow);
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

    setUpControls();
}

void Page::setUpControls()
{
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
    for (const PageCommand& command : kPageCommands) {
        if (command.page != pageIndex_ || command.action != Action::Browse)
            continue;
        std::function<void()> dropped;
        if (pageIndex_ == PAGE_INFO)
            dropped = [this] { clearReport(); };
        acceptPathDrops(control<QLineEdit>(command.edit), dropped);
    }
    if (auto* report = control<QPlainTextEdit>(IDC_INFO_REPORT))
        setEditTabStops(report);
    for (const IndexField& f : fieldsOf(pageIndex_).indexes) {
        auto* upDown = control<UpDown>(f.upDownId);
        upDown->setBuddy(control<QLineEdit>(f.editId));
        upDown->setRange(1, 99);
    }
    for (QComboBox* combo : findChildren<QComboBox*>(Qt::FindDirectChildrenOnly)) {
        combo->setEditable(false);
        combo->setMaxVisibleItems(10);
    }
    if (extension_)
        extension_->setUp();
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
    if (extension_)
        extension_->save(request);
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
        if (f.id == IDC_EXPORT_COMPRESSION) // toolbox: export also writes ESD files
            combo->addItem(loadString(Text::CompressionLzmsSolid));
        const QString& stored = request.*f.field;
        combo->setCurrentIndex(stored.isEmpty() ? -1 : combo->findText(stored, Qt::MatchExactly));
    }
    for (const IndexField& f : fields.indexes)
        control<UpDown>(f.upDownId)->setPosition(static_cast<int>(request.*f.field & 0xFFFF));
    for (const FlagField& f : fields.flags)
        control<QCheckBox>(f.id)->setChecked(request.*f.field);
    if (auto* list = control<QTreeWidget>(IDC_MOUNT_LIST)) {
        setupMountedList(list);
        fillMountedList(list);
    }
    if (extension_)
        extension_->show(request);
}

void Page::runPageCommand(int id)
{
    const PageCommand* command = findCommand(pageIndex_, id);
    if (!command) {
        if (extension_)
            extension_->runCommand(id);
        return;
    }
    switch (command->action) {
    case Action::Browse:
        browse(command->edit, command->picker);
        return;
    case Action::ChooseImage:
        chooseImage(command->edit, command->upDown);
        return;
    case Action::StartOperation:
        runOperation(id);
        return;
    case Action::StartMount:
        runOperation(id);
        refreshListNow();
        return;
    case Action::StartUnmount:
        startUnmount();
        return;
    case Action::RunReport:
        runReport();
        return;
    case Action::RefreshMountList:
        savePageSettings(globalContext().request);
        refreshListNow();
        return;
    }
}

void Page::browse(int editId, int picker)
{
    auto* edit = control<QLineEdit>(editId);
    QString path = edit->text();
    bool chosen = false;
    switch (picker) {
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
        clearReport();
}

void Page::clearReport()
{
    // Another file: a report still being built for the old one is not wanted any more.
    if (auto* window = qobject_cast<MainWindow*>(mainWindow_))
        window->cancelReport();
    control<QPlainTextEdit>(IDC_INFO_REPORT)->clear();
}

void Page::focusFirstControl()
{
    for (QWidget* w = nextInFocusChain(); w && w != this; w = w->nextInFocusChain()) {
        if (!isAncestorOf(w))
            continue;
        if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && w->isVisibleTo(this)) {
            w->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

void Page::chooseImage(int sourceId, int upDownId)
{
    OperationRequest& request = globalContext().request;
    auto* upDown = control<UpDown>(upDownId);
    request.chooserWimPath = control<QLineEdit>(sourceId)->text();
    request.chooserIndex = static_cast<std::uint32_t>(upDown->position());
    const bool shown = openImageChooser(mainWindow_, request);
    upDown->setPosition(static_cast<int>(request.chooserIndex & 0xFFFF));
    if (shown)
        focusFirstControl();
}

void Page::runOperation(int operationId)
{
    savePageSettings(globalContext().request);
    runProgressDialog(mainWindow_, operationId);
    focusFirstControl();
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
        focusFirstControl();
    }
    refreshListNow();
}

void Page::runReport()
{
    OperationRequest& request = globalContext().request;
    savePageSettings(request);
    // The main window builds it off its thread and shows it here when it is ready.
    if (auto* window = qobject_cast<MainWindow*>(mainWindow_)) {
        window->requestReport(request.infoSource);
        return;
    }
    // A page on its own (no main window) waits for it.
    const QString report =
        buildWimReport(request.infoSource, [this] { showXmlErrorMessage(mainWindow_); });
    control<QPlainTextEdit>(IDC_INFO_REPORT)->setPlainText(report);
}

void Page::refreshListNow()
{
    if (auto* list = control<QTreeWidget>(IDC_MOUNT_LIST))
        fillMountedList(list);
}

void Page::postMountListRefresh()
{
    if (pageIndex_ != PAGE_MOUNT)
        return;
    QMetaObject::invokeMethod(
        this, [this] { refreshListNow(); }, Qt::AutoConnection);
}
