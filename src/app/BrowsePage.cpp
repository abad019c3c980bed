// The browse page: the files of one image as a tree (read off the window's thread, folders as
// they are opened), a name filter, and extraction of the selected entries into a folder.
#include "app/BrowseModel.h"
#include "app/ControlIds.h"
#include "app/ImageChooser.h"
#include "app/Page.h"
#include "app/PathDrop.h"
#include "app/ToolboxPages.h"
#include "app/UpDown.h"
#include "ops/Toolbox.h"

#include "ui_BrowsePage.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QTreeView>

#include <algorithm>

namespace {

class BrowsePage : public PageExtension {
public:
    BrowsePage(Page& page, QWidget* mainWindow)
        : page_(page), mainWindow_(mainWindow), model_(new BrowseModel(&page)),
          filterTimer_(new QTimer(&page))
    {
        Ui::BrowsePage ui;
        ui.setupUi(&page);
        filterTimer_->setSingleShot(true);
        filterTimer_->setInterval(300);
    }

    void setUp() override
    {
        routeToolboxButtons(page_);
        auto* upDown = page_.control<UpDown>(IDC_BROWSE_INDEX);
        upDown->setBuddy(page_.control<QLineEdit>(IDC_BROWSE_INDEX_EDIT));
        upDown->setRange(1, 99);
        acceptPathDrops(page_.control<QLineEdit>(IDC_BROWSE_SOURCE));
        acceptPathDrops(page_.control<QLineEdit>(IDC_EXTRACT_TARGET));

        auto* tree = page_.control<QTreeView>(IDC_BROWSE_TREE);
        tree->setModel(model_);
        tree->setUniformRowHeights(true);
        tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
        tree->setSelectionBehavior(QAbstractItemView::SelectRows);
        QHeaderView* header = tree->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(BrowseModel::NameColumn, QHeaderView::Stretch);
        // Each column as wide as its longest text (a size, a date, the letters) or its title.
        const QFontMetrics fm = tree->fontMetrics();
        const int unit = fm.horizontalAdvance(QLatin1Char('0'));
        const int contents[] = {0, unit * 14,
                                fm.horizontalAdvance(QStringLiteral("0000-00-00 00:00")), unit * 5};
        for (int column = BrowseModel::SizeColumn; column < BrowseModel::ColumnCount; ++column) {
            const QString title =
                model_->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
            header->resizeSection(column, std::max(contents[column], fm.horizontalAdvance(title)) +
                                              2 * unit);
        }

        auto* status = page_.control<QLabel>(IDC_BROWSE_STATUS);
        QObject::connect(model_, &BrowseModel::statusChanged, status, &QLabel::setText);
        auto* filter = page_.control<QLineEdit>(IDC_BROWSE_FILTER);
        QObject::connect(filter, &QLineEdit::textChanged, filterTimer_,
                         [this] { filterTimer_->start(); });
        QObject::connect(filterTimer_, &QTimer::timeout, model_,
                         [this, filter] { model_->setFilter(filter->text()); });
    }

    void save(OperationRequest& request) const override
    {
        request.browseSource = page_.control<QLineEdit>(IDC_BROWSE_SOURCE)->text();
        request.browseIndex =
            static_cast<std::uint32_t>(page_.control<UpDown>(IDC_BROWSE_INDEX)->position());
        request.browseFilter = page_.control<QLineEdit>(IDC_BROWSE_FILTER)->text();
        request.extractTarget = page_.control<QLineEdit>(IDC_EXTRACT_TARGET)->text();
        request.extractOverwrite = page_.control<QCheckBox>(IDC_EXTRACT_OVERWRITE)->isChecked();
    }

    void show(const OperationRequest& request) override
    {
        page_.control<QLineEdit>(IDC_BROWSE_SOURCE)->setText(request.browseSource);
        page_.control<UpDown>(IDC_BROWSE_INDEX)
            ->setPosition(static_cast<int>(request.browseIndex & 0xFFFF));
        page_.control<QLineEdit>(IDC_BROWSE_FILTER)->setText(request.browseFilter);
        page_.control<QLineEdit>(IDC_EXTRACT_TARGET)->setText(request.extractTarget);
        page_.control<QCheckBox>(IDC_EXTRACT_OVERWRITE)->setChecked(request.extractOverwrite);
        filterTimer_->stop();
        model_->setFilter(request.browseFilter);
        // Coming back to the page shows the image again (read in the background).
        if (!request.browseSource.isEmpty())
            model_->openImage(request.browseSource, request.browseIndex);
    }

    void runCommand(int id) override
    {
        switch (id) {
        case IDC_BROWSE_BROWSE_SOURCE:
            browse(IDC_BROWSE_SOURCE, ToolboxPicker::ImageToOpen);
            break;
        case IDC_EXTRACT_BROWSE_TARGET:
            browse(IDC_EXTRACT_TARGET, ToolboxPicker::Folder);
            break;
        case IDC_BROWSE_CHOOSE:
            chooseImage();
            break;
        case IDC_BROWSE_SHOW: {
            OperationRequest& request = globalContext().request;
            page_.savePageSettings(request);
            model_->openImage(request.browseSource, request.browseIndex);
            break;
        }
        case ID_EXTRACT:
            startExtraction();
            break;
        default:
            break;
        }
    }

private:
    void browse(int editId, ToolboxPicker picker)
    {
        auto* edit = page_.control<QLineEdit>(editId);
        QString path = edit->text();
        if (runToolboxPicker(mainWindow_, path, picker))
            edit->setText(path);
    }

    void chooseImage()
    {
        OperationRequest& request = globalContext().request;
        auto* upDown = page_.control<UpDown>(IDC_BROWSE_INDEX);
        request.chooserWimPath = page_.control<QLineEdit>(IDC_BROWSE_SOURCE)->text();
        request.chooserIndex = static_cast<std::uint32_t>(upDown->position());
        openImageChooser(mainWindow_, request);
        upDown->setPosition(static_cast<int>(request.chooserIndex & 0xFFFF));
    }

    // The selected entries of the image shown, into the target folder.
    void startExtraction()
    {
        OperationRequest& request = globalContext().request;
        page_.savePageSettings(request);
        const auto* tree = page_.control<QTreeView>(IDC_BROWSE_TREE);
        request.extractSource = request.browseSource;
        request.extractIndex = request.browseIndex;
        request.extractPaths =
            joinExtractPaths(model_->pathsOf(tree->selectionModel()->selectedRows()));
        startToolboxOperation(page_, mainWindow_, ID_EXTRACT);
    }

    Page& page_;
    QWidget* mainWindow_;
    BrowseModel* model_;
    QTimer* filterTimer_;
};

} // namespace

std::unique_ptr<PageExtension> makeBrowsePage(Page& page, QWidget* mainWindow)
{
    return std::make_unique<BrowsePage>(page, mainWindow);
}
