#include "app/ImageChooser.h"

#include "app/AppSetup.h"
#include "meta/ImageInfo.h"
#include "meta/XmlDocument.h"
#include "ops/Text.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace
{

enum : int {
    IDC_CHOOSER_LIST = 1085,
    IDC_CHOOSER_SELECT = 1086,
};

constexpr qsizetype kVisibleTextLength = 259;

// Display text only: cut to 259 code units, never inside a surrogate pair.
QString cutForDisplay(const QString& text)
{
    if (text.size() <= kVisibleTextLength)
        return text;
    qsizetype length = kVisibleTextLength;
    if (text[length - 1].isHighSurrogate())
        --length;
    return text.left(length);
}

QString childTextOrNa(const XmlNode& image, QStringView name)
{
    const XmlNode* child = image.findChild(name);
    return child ? cutForDisplay(child->text()) : loadString(Text::NotAvailable);
}

} // namespace

ChooserLoad readChooserRows(const QString& wimPath, std::vector<ChooserRow>& rows)
{
    rows.clear();
    const QString path = fullPathOf(wimPath);
    DWORD creationResult = 0;
    const HANDLE wim = WIMCreateFile(wide(path), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0,
                                     WIM_COMPRESS_NONE, &creationResult);
    if (!wim)
        return ChooserLoad::Unreadable;
    const UniqueWimHandle closer(wim);

    WIM_INFO info{};
    if (!WIMGetAttributes(wim, &info, sizeof info))
        return ChooserLoad::Unreadable;
    QString text;
    if (!loadInfoText(wim, text))
        return ChooserLoad::Unreadable;
    return chooserRowsFromXml(text, info.ImageCount, rows);
}

ChooserLoad chooserRowsFromXml(const QString& xml, std::uint32_t imageCount,
                               std::vector<ChooserRow>& rows)
{
    rows.clear();
    XmlDocument document;
    if (!document.parse(xml))
        return ChooserLoad::XmlRejected;
    // The k-th IMAGE child stands for image k, whatever its attributes say.
    const XmlNode* child = document.root().firstChild();
    for (std::uint32_t row = 0; row < imageCount; ++row) {
        while (child && child->name() != u"IMAGE")
            child = child->nextSibling();
        if (!child) {
            rows.clear();
            return ChooserLoad::XmlRejected;
        }
        rows.push_back({QString::number(row + 1), childTextOrNa(*child, u"NAME"),
                        childTextOrNa(*child, u"DESCRIPTION")});
        child = child->nextSibling();
    }
    return ChooserLoad::Loaded;
}

ImageChooserDialog::ImageChooserDialog(QWidget* owner, OperationRequest& request,
                                       const std::vector<ChooserRow>& rows)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), request_(request)
{
    setObjectName(QStringLiteral("imageChooser"));
    setWindowTitle(QCoreApplication::translate("ImageChooserDialog", "选择映像"));
    setModal(true);

    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("c%1").arg(IDC_CHOOSER_LIST));
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Full-row selection: the focus frame goes round the whole row, as the selection does.
    list_->setAllColumnsShowFocus(true);
    list_->setHeaderLabels({loadString(Text::ImageColumn), loadString(Text::NameColumn),
                            loadString(Text::DescriptionColumn)});
    list_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list_->header()->setStretchLastSection(false);
    for (int column = 0; column < 3; ++column)
        list_->setColumnWidth(column, 70);

    chooseButton_ =
        new QPushButton(QCoreApplication::translate("ImageChooserDialog", "选择"), this);
    chooseButton_->setObjectName(QStringLiteral("c%1").arg(IDC_CHOOSER_SELECT));
    chooseButton_->setAutoDefault(false);
    connect(chooseButton_, &QPushButton::clicked, this, [this] { choose(); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addWidget(chooseButton_, 0, Qt::AlignRight);

    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows.size()));
    for (const ChooserRow& row : rows)
        items.append(new QTreeWidgetItem(QStringList{row.number, row.name, row.description}));
    list_->addTopLevelItems(items);
    for (int column = 0; column < 3; ++column)
        list_->resizeColumnToContents(column);

    // A modal frame: the template's size, not resizable; on a screen without room for it, the
    // screen's available area (the list gives up its size).
    const QRect size = dialogToPixels(QRect(0, 0, 337, 237), dialogBaseUnits(font()));
    setFixedSize(size.size().boundedTo(availableClientSize(this)));

    const std::uint32_t preselect = request.chooserIndex;
    if (preselect >= 1 && preselect <= static_cast<std::uint32_t>(items.size())) {
        QTreeWidgetItem* item = items[static_cast<qsizetype>(preselect - 1)];
        list_->setCurrentItem(item);
        item->setSelected(true);
        list_->scrollToItem(item, QAbstractItemView::EnsureVisible);
    }
    list_->setFocus();
}

void ImageChooserDialog::reject()
{
    // Escape and the close command do not end the chooser; only "选择" does.
}

void ImageChooserDialog::choose()
{
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        if (list_->topLevelItem(row)->isSelected()) {
            request_.chooserIndex = static_cast<std::uint32_t>(row + 1);
            break;
        }
    }
    done(0);
}

void showXmlErrorMessage(QWidget* owner)
{
    QMessageBox box(QMessageBox::Critical, loadString(Text::Information),
                    loadString(Text::XmlParseFailed), QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("xmlErrorBox"));
    box.exec();
}

bool openImageChooser(QWidget* owner, OperationRequest& request)
{
    std::vector<ChooserRow> rows;
    switch (readChooserRows(request.chooserWimPath, rows)) {
    case ChooserLoad::Unreadable:
        return false;
    case ChooserLoad::XmlRejected:
        showXmlErrorMessage(owner);
        return true;
    case ChooserLoad::Loaded:
        break;
    }
    ImageChooserDialog dialog(owner, request, rows);
    dialog.exec();
    return true;
}
