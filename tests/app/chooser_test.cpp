// The image chooser: its rows from real WIM files and from XML texts, and the real dialog
// offscreen (preselection, choosing, Escape, no selection).
#include "app/AppSetup.h"
#include "app/ImageChooser.h"
#include "meta/WimPatch.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

namespace {

const QString kNa = QStringLiteral("N/A");

std::vector<ChooserRow> threeRows()
{
    return {{QStringLiteral("1"), QStringLiteral("one"), QStringLiteral("first")},
            {QStringLiteral("2"), QStringLiteral("two"), kNa},
            {QStringLiteral("3"), QStringLiteral("three"), QStringLiteral("third")}};
}

QList<int> selectedRows(QTreeWidget* list)
{
    QList<int> rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->isSelected())
            rows.append(i);
    }
    return rows;
}

void clickRow(QTreeWidget* list, int row)
{
    const QRect rect = list->visualItemRect(list->topLevelItem(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
}

TEST(ChooserRows, FromXmlTexts)
{
    const struct {
        const char* name;
        const char16_t* xml;
        std::uint32_t count;
        ChooserLoad result;
        std::vector<ChooserRow> rows;
    } cases[] = {
        {"attributes do not number the rows",
         u"\uFEFF<WIM><TOTALBYTES>1</TOTALBYTES><IMAGE INDEX=\"3\"><NAME>c</NAME>"
         u"<DESCRIPTION>dc</DESCRIPTION></IMAGE><IMAGE INDEX=\"1\"><NAME>a</NAME></IMAGE>"
         u"<IMAGE INDEX=\"2\"><DESCRIPTION>db</DESCRIPTION></IMAGE></WIM>",
         3,
         ChooserLoad::Loaded,
         {{QStringLiteral("1"), QStringLiteral("c"), QStringLiteral("dc")},
          {QStringLiteral("2"), QStringLiteral("a"), kNa},
          {QStringLiteral("3"), kNa, QStringLiteral("db")}}},
        {"more IMAGE elements than the count",
         u"<WIM><IMAGE><NAME>a</NAME></IMAGE><IMAGE><NAME>b</NAME></IMAGE></WIM>",
         1,
         ChooserLoad::Loaded,
         {{QStringLiteral("1"), QStringLiteral("a"), kNa}}},
        {"fewer IMAGE elements than the count",
         u"<WIM><IMAGE><NAME>a</NAME></IMAGE><X/></WIM>",
         2,
         ChooserLoad::XmlRejected,
         {}},
        {"text that does not parse", u"<WIM><IMAGE></WIM>", 1, ChooserLoad::XmlRejected, {}},
        {"empty text", u"", 1, ChooserLoad::XmlRejected, {}},
        {"no images", u"<WIM/>", 0, ChooserLoad::Loaded, {}},
        {"names with references and empty texts",
         u"<WIM><IMAGE><NAME>a &amp; b</NAME><DESCRIPTION/></IMAGE></WIM>",
         1,
         ChooserLoad::Loaded,
         {{QStringLiteral("1"), QStringLiteral("a & b"), QString()}}},
    };
    for (const auto& c : cases) {
        std::vector<ChooserRow> rows{{QStringLiteral("stale"), {}, {}}};
        EXPECT_EQ(chooserRowsFromXml(QStringView(c.xml).toString(), c.count, rows), c.result)
            << c.name;
        ASSERT_EQ(rows.size(), c.rows.size()) << c.name;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].number, c.rows[i].number) << c.name;
            EXPECT_EQ(rows[i].name, c.rows[i].name) << c.name;
            EXPECT_EQ(rows[i].description, c.rows[i].description) << c.name;
        }
    }
}

TEST(ChooserRows, LongTextsAreCutForDisplay)
{
    const QString longName(300, u'名');
    // A character outside the BMP straddling the cut is dropped whole.
    const QString straddling =
        QString(258, u'x') + QString::fromUcs4(U"\U0001F600") + QStringLiteral("tail");
    const QString xml = QStringLiteral("<WIM><IMAGE><NAME>%1</NAME><DESCRIPTION>%2</DESCRIPTION>"
                                       "</IMAGE></WIM>")
                            .arg(longName, straddling);
    std::vector<ChooserRow> rows;
    ASSERT_EQ(chooserRowsFromXml(xml, 1, rows), ChooserLoad::Loaded);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, longName.left(259));
    EXPECT_EQ(rows[0].description, QString(258, u'x'));
}

TEST(ChooserRows, FromRealFiles)
{
    TempDir dir;
    const QString source = dir.mkdir(QStringLiteral("tree"));
    wimfix::makeSampleTree(source);
    const QString wim = dir.file(QStringLiteral("three.wim"));
    wimfix::WimRecipe recipe;
    recipe.images.push_back({source, QStringLiteral("专业版 & <x>"), QStringLiteral("d1"), {}});
    recipe.images.push_back({source, QString(), QString(), {}});
    recipe.images.push_back({source, QStringLiteral("three"), QStringLiteral("d3"), {}});
    ASSERT_TRUE(wimfix::makeWim(wim, recipe));

    std::vector<ChooserRow> rows;
    ASSERT_EQ(readChooserRows(wim, rows), ChooserLoad::Loaded);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].name, QStringLiteral("专业版 & <x>"));
    EXPECT_EQ(rows[0].description, QStringLiteral("d1"));
    EXPECT_EQ(rows[1].name, kNa);
    EXPECT_EQ(rows[1].description, kNa);
    EXPECT_EQ(rows[2].number, QStringLiteral("3"));

    // A relative path is made absolute against the current folder.
    const QString saved = QDir::currentPath();
    QDir::setCurrent(dir.path());
    EXPECT_EQ(readChooserRows(QStringLiteral("three.wim"), rows), ChooserLoad::Loaded);
    QDir::setCurrent(saved);

    const QString notWim = dir.write(QStringLiteral("not.wim"), QByteArray(1000, 'z'));
    for (const QString& path :
         {QString(), dir.file(QStringLiteral("missing.wim")), notWim, dir.path()}) {
        EXPECT_EQ(readChooserRows(path, rows), ChooserLoad::Unreadable) << path.toStdString();
        EXPECT_TRUE(rows.empty());
    }
}

class ChooserDialogTest : public testing::Test {
protected:
    OperationRequest request;
};

TEST_F(ChooserDialogTest, ShowsColumnsAndPreselectsTheIndex)
{
    request.chooserIndex = 2;
    ImageChooserDialog dialog(nullptr, request, threeRows());
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("选择映像"));
    EXPECT_EQ(dialog.chooseButton()->text(), QStringLiteral("选择"));
    QTreeWidget* list = dialog.list();
    ASSERT_EQ(list->columnCount(), 3);
    EXPECT_EQ(list->headerItem()->text(0), QStringLiteral("映像"));
    EXPECT_EQ(list->headerItem()->text(1), QStringLiteral("名称"));
    EXPECT_EQ(list->headerItem()->text(2), QStringLiteral("描述"));
    ASSERT_EQ(list->topLevelItemCount(), 3);
    EXPECT_EQ(list->topLevelItem(1)->text(1), QStringLiteral("two"));
    EXPECT_EQ(list->topLevelItem(1)->text(2), kNa);
    EXPECT_EQ(selectedRows(list), QList<int>{1});
    EXPECT_TRUE(list->viewport()->rect().contains(list->visualItemRect(list->topLevelItem(1))));

    clickRow(list, 2);
    EXPECT_EQ(selectedRows(list), QList<int>{2});
    QTest::mouseClick(dialog.chooseButton(), Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), 0);
    EXPECT_EQ(request.chooserIndex, 3u);
}

TEST_F(ChooserDialogTest, HasTheTemplateSizeAndCannotBeResized)
{
    ImageChooserDialog dialog(nullptr, request, threeRows());
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    const QSize size = dialogToPixels(QRect(0, 0, 337, 237), dialogBaseUnits(dialog.font())).size();
    EXPECT_EQ(dialog.size(), size);
    dialog.resize(size * 2);
    EXPECT_EQ(dialog.size(), size);
    dialog.resize(size / 2);
    EXPECT_EQ(dialog.size(), size);
    // Whole rows are selected, and the focus frame goes round the whole row too.
    EXPECT_TRUE(dialog.list()->allColumnsShowFocus());
}

TEST_F(ChooserDialogTest, PreselectedRowOfALongListIsScrolledIntoView)
{
    std::vector<ChooserRow> rows;
    for (int i = 1; i <= 200; ++i)
        rows.push_back({QString::number(i), QStringLiteral("n%1").arg(i), kNa});
    request.chooserIndex = 180;
    ImageChooserDialog dialog(nullptr, request, rows);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QTreeWidget* list = dialog.list();
    EXPECT_EQ(selectedRows(list), QList<int>{179});
    EXPECT_TRUE(list->viewport()->rect().contains(list->visualItemRect(list->topLevelItem(179))));
}

TEST_F(ChooserDialogTest, NoSelectionKeepsTheIndex)
{
    request.chooserIndex = 1;
    ImageChooserDialog dialog(nullptr, request, threeRows());
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QTreeWidget* list = dialog.list();
    ASSERT_EQ(selectedRows(list), QList<int>{0});
    // Clicking the empty space below the rows clears the selection.
    const QRect last = list->visualItemRect(list->topLevelItem(2));
    const QPoint below(last.center().x(), last.bottom() + 20);
    ASSERT_TRUE(list->viewport()->rect().contains(below));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, below);
    ASSERT_TRUE(selectedRows(list).isEmpty());
    QTest::mouseClick(dialog.chooseButton(), Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(request.chooserIndex, 1u);
}

TEST_F(ChooserDialogTest, IndexBeyondTheImagesSelectsNothing)
{
    for (std::uint32_t index : {0u, 3u, 9u}) {
        request.chooserIndex = index;
        std::vector<ChooserRow> rows = threeRows();
        rows.pop_back();
        ImageChooserDialog dialog(nullptr, request, rows);
        dialog.show();
        EXPECT_TRUE(selectedRows(dialog.list()).isEmpty()) << index;
        QTest::mouseClick(dialog.chooseButton(), Qt::LeftButton);
        EXPECT_EQ(request.chooserIndex, index);
    }
}

TEST_F(ChooserDialogTest, EscapeAndCloseDoNotEndIt)
{
    request.chooserIndex = 2;
    ImageChooserDialog dialog(nullptr, request, threeRows());
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClick(dialog.list(), Qt::Key_Escape);
    EXPECT_TRUE(dialog.isVisible());
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_TRUE(dialog.isVisible());
    dialog.close();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
    // Enter on the list does not choose either.
    QTest::keyClick(dialog.list(), Qt::Key_Return);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(request.chooserIndex, 2u);
}

// The whole path: openImageChooser reads a real file, shows the modal dialog and returns
// the choice.
TEST(OpenImageChooser, ChoosesFromARealFileModally)
{
    TempDir dir;
    const QString source = dir.mkdir(QStringLiteral("tree"));
    wimfix::makeSampleTree(source);
    const QString wim = dir.file(QStringLiteral("two.wim"));
    wimfix::WimRecipe recipe;
    recipe.images.push_back({source, QStringLiteral("a"), QString(), {}});
    recipe.images.push_back({source, QStringLiteral("b"), QString(), {}});
    ASSERT_TRUE(wimfix::makeWim(wim, recipe));

    OperationRequest request;
    request.chooserWimPath = wim;
    request.chooserIndex = 1;
    int rowsSeen = -1;
    QTimer::singleShot(0, [&] {
        auto* dialog = dynamic_cast<ImageChooserDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            if (QWidget* other = QApplication::activeModalWidget())
                other->close();
            return;
        }
        rowsSeen = dialog->list()->topLevelItemCount();
        clickRow(dialog->list(), 1);
        QTest::mouseClick(dialog->chooseButton(), Qt::LeftButton);
    });
    openImageChooser(nullptr, request);
    EXPECT_EQ(rowsSeen, 2);
    EXPECT_EQ(request.chooserIndex, 2u);
}

// A file whose information mixes text and elements: the XML error box over the owner, no
// chooser, the index unchanged.
TEST(OpenImageChooser, UnparsableXmlShowsTheErrorBox)
{
    TempDir dir;
    const QString source = dir.mkdir(QStringLiteral("tree"));
    wimfix::makeSampleTree(source);
    const QString wim = dir.file(QStringLiteral("mixed.wim"));
    wimfix::WimRecipe recipe;
    recipe.images.push_back({source, QStringLiteral("QQQQQQ"), QString(), {}});
    ASSERT_TRUE(wimfix::makeWim(wim, recipe));
    ASSERT_TRUE(patchUtf16(wim, QStringLiteral("QQQQQQ"), QStringLiteral("x<B/>y")));
    std::vector<ChooserRow> rows;
    EXPECT_EQ(readChooserRows(wim, rows), ChooserLoad::XmlRejected);

    QWidget owner;
    owner.show();
    OperationRequest request;
    request.chooserWimPath = wim;
    request.chooserIndex = 1;
    QString boxText, boxTitle;
    bool chooserShown = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget* boxParent = nullptr;
    QTimer::singleShot(0, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        chooserShown = dynamic_cast<ImageChooserDialog*>(modal) != nullptr;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            boxText = box->text();
            boxTitle = box->windowTitle();
            icon = box->icon();
            boxParent = box->parentWidget();
        }
        if (modal)
            modal->hide();
    });
    openImageChooser(&owner, request);
    EXPECT_FALSE(chooserShown);
    EXPECT_EQ(boxText, QStringLiteral("错误:不能正确解析 WIM 文件的 XML 信息."));
    EXPECT_EQ(boxTitle, QStringLiteral("信息"));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(boxParent, &owner);
    EXPECT_EQ(request.chooserIndex, 1u);
}

TEST(OpenImageChooser, UnreadableFileShowsNothing)
{
    TempDir dir;
    OperationRequest request;
    request.chooserWimPath = dir.file(QStringLiteral("missing.wim"));
    request.chooserIndex = 4;
    bool somethingShown = false;
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            somethingShown = true;
            modal->hide();
        }
    });
    watchdog.start(50);
    openImageChooser(nullptr, request);
    EXPECT_FALSE(somethingShown);
    EXPECT_EQ(request.chooserIndex, 4u);
}

} // namespace
