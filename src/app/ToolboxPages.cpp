// The split page (split and join) and the maintain page (optimize and verify), and what all the
// toolbox pages share: pickers for ESD and split files, button routing, operation start.
#include "app/ToolboxPages.h"

#include "app/ControlIds.h"
#include "app/Page.h"
#include "app/PathDrop.h"
#include "app/Pickers.h"
#include "app/ProgressDialog.h"
#include "ops/Text.h"

#include "ui_MaintainPage.h"
#include "ui_SplitPage.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>

#include <vector>

bool runToolboxPicker(QWidget* owner, QString& path, ToolboxPicker picker)
{
    if (picker == ToolboxPicker::Folder)
        return pickFolder(owner, path);
    if (picker == ToolboxPicker::WimToSave)
        return pickWimToSave(owner, path);
    const bool save = picker == ToolboxPicker::SplitPartToSave;
    QFileDialog dialog(owner, loadString(save ? Text::SaveAsTitle : Text::OpenTitle));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setObjectName(QStringLiteral("picker"));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (save)
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (picker == ToolboxPicker::ImageToOpen) {
        dialog.setNameFilter(QStringLiteral("WIM Files (*.wim *.esd *.swm)"));
        dialog.setDefaultSuffix(QStringLiteral("wim"));
    } else {
        dialog.setNameFilter(QStringLiteral("Split WIM Files (*.swm)"));
        dialog.setDefaultSuffix(QStringLiteral("swm"));
    }
    if (!path.isEmpty())
        dialog.selectFile(path);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    path = QDir::toNativeSeparators(dialog.selectedFiles().first());
    return true;
}

void routeToolboxButtons(Page& page)
{
    for (QPushButton* button : page.findChildren<QPushButton*>(Qt::FindDirectChildrenOnly)) {
        const int id = controlIdOf(button->objectName());
        if (id >= IDC_BROWSE_SOURCE)
            QObject::connect(button, &QPushButton::clicked, &page,
                             [&page, id] { page.runPageCommand(id); });
    }
}

void startToolboxOperation(Page& page, QWidget* mainWindow, int operationId)
{
    page.savePageSettings(globalContext().request);
    runProgressDialog(mainWindow, operationId);
}

namespace {

using R = OperationRequest;

struct TextField {
    int id;
    QString R::*field;
};
struct BrowseCommand {
    int button;
    int edit;
    ToolboxPicker picker;
};

// A toolbox page of path edits, browse buttons and operation buttons.
class FormPage : public PageExtension {
public:
    FormPage(Page& page, QWidget* mainWindow, std::vector<TextField> texts,
             std::vector<BrowseCommand> browses, std::vector<int> operations)
        : page_(page), mainWindow_(mainWindow), texts_(std::move(texts)),
          browses_(std::move(browses)), operations_(std::move(operations))
    {
    }
    void setUp() override
    {
        routeToolboxButtons(page_);
        for (const BrowseCommand& b : browses_)
            acceptPathDrops(page_.control<QLineEdit>(b.edit));
    }
    void save(OperationRequest& request) const override
    {
        for (const TextField& f : texts_)
            request.*f.field = page_.control<QLineEdit>(f.id)->text();
    }
    void show(const OperationRequest& request) override
    {
        for (const TextField& f : texts_)
            page_.control<QLineEdit>(f.id)->setText(request.*f.field);
    }
    void runCommand(int id) override
    {
        for (const BrowseCommand& b : browses_) {
            if (b.button != id)
                continue;
            auto* edit = page_.control<QLineEdit>(b.edit);
            QString path = edit->text();
            if (runToolboxPicker(mainWindow_, path, b.picker))
                edit->setText(path);
            return;
        }
        if (std::find(operations_.begin(), operations_.end(), id) != operations_.end())
            startToolboxOperation(page_, mainWindow_, id);
    }

protected:
    Page& page_;
    QWidget* mainWindow_;

private:
    std::vector<TextField> texts_;
    std::vector<BrowseCommand> browses_;
    std::vector<int> operations_;
};

// Split and join; the part size is a number of MB (an empty or unusable text saves 0).
class SplitPage : public FormPage {
public:
    SplitPage(Page& page, QWidget* mainWindow)
        : FormPage(page, mainWindow,
                   {{IDC_SPLIT_SOURCE, &R::splitSource},
                    {IDC_SPLIT_TARGET, &R::splitTarget},
                    {IDC_JOIN_SOURCE, &R::joinSource},
                    {IDC_JOIN_TARGET, &R::joinTarget}},
                   {{IDC_SPLIT_BROWSE_SOURCE, IDC_SPLIT_SOURCE, ToolboxPicker::ImageToOpen},
                    {IDC_SPLIT_BROWSE_TARGET, IDC_SPLIT_TARGET, ToolboxPicker::SplitPartToSave},
                    {IDC_JOIN_BROWSE_SOURCE, IDC_JOIN_SOURCE, ToolboxPicker::SplitPartToOpen},
                    {IDC_JOIN_BROWSE_TARGET, IDC_JOIN_TARGET, ToolboxPicker::WimToSave}},
                   {ID_SPLIT, ID_JOIN})
    {
        Ui::SplitPage ui;
        ui.setupUi(&page);
    }
    void setUp() override
    {
        FormPage::setUp();
        auto* size = page_.control<QLineEdit>(IDC_SPLIT_SIZE);
        size->setValidator(new QIntValidator(0, 999999, size));
    }
    void save(OperationRequest& request) const override
    {
        FormPage::save(request);
        request.splitSize = page_.control<QLineEdit>(IDC_SPLIT_SIZE)->text().toUInt();
    }
    void show(const OperationRequest& request) override
    {
        FormPage::show(request);
        page_.control<QLineEdit>(IDC_SPLIT_SIZE)->setText(QString::number(request.splitSize));
    }
};

// Optimize and verify; the compression list starts with "keep", stored as an empty text.
class MaintainPage : public FormPage {
public:
    MaintainPage(Page& page, QWidget* mainWindow)
        : FormPage(
              page, mainWindow,
              {{IDC_OPTIMIZE_SOURCE, &R::optimizeSource}, {IDC_VERIFY_SOURCE, &R::verifySource}},
              {{IDC_OPTIMIZE_BROWSE_SOURCE, IDC_OPTIMIZE_SOURCE, ToolboxPicker::ImageToOpen},
               {IDC_VERIFY_BROWSE_SOURCE, IDC_VERIFY_SOURCE, ToolboxPicker::ImageToOpen}},
              {ID_OPTIMIZE, ID_VERIFY})
    {
        Ui::MaintainPage ui;
        ui.setupUi(&page);
    }
    void save(OperationRequest& request) const override
    {
        FormPage::save(request);
        const auto* combo = page_.control<QComboBox>(IDC_OPTIMIZE_COMPRESSION);
        request.optimizeCompression = combo->currentIndex() <= 0 ? QString() : combo->currentText();
    }
    void show(const OperationRequest& request) override
    {
        FormPage::show(request);
        auto* combo = page_.control<QComboBox>(IDC_OPTIMIZE_COMPRESSION);
        combo->clear();
        combo->addItems({loadString(Text::CompressionKeep), loadString(Text::CompressionNone),
                         loadString(Text::CompressionFast), loadString(Text::CompressionMaximum),
                         loadString(Text::CompressionLzmsSolid)});
        const QString& stored = request.optimizeCompression;
        const int found = combo->findText(stored, Qt::MatchExactly);
        combo->setCurrentIndex(stored.isEmpty() || found < 0 ? 0 : found);
    }
};

} // namespace

std::unique_ptr<PageExtension> makePageExtension(int pageIndex, Page& page, QWidget* mainWindow)
{
    switch (pageIndex) {
    case PAGE_BROWSE:
        return makeBrowsePage(page, mainWindow);
    case PAGE_SPLIT:
        return std::make_unique<SplitPage>(page, mainWindow);
    case PAGE_MAINTAIN:
        return std::make_unique<MaintainPage>(page, mainWindow);
    default:
        return nullptr;
    }
}
