// The whole path from the page to the WIM file with the real operations and real libwim:
// values typed into a page reach the operation run in the progress dialog, and the report
// button shows what the file holds.
#include "UiDriver.h"

#include "app/ControlIds.h"
#include "app/ImageChooser.h"
#include "app/MainWindow.h"
#include "app/Page.h"
#include "app/ProgressDialog.h"
#include "app/ReportRunner.h"
#include "app/UpDown.h"
#include "meta/WimPatch.h"
#include "ops/Text.h"
#include "ops/Worker.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace uitest;

namespace {

class EndToEndTest : public MainWindowFixture {
protected:
    // Presses button `id`, waits in the progress dialog until the operation has ended,
    // records the dialog's log and button, and closes it with Escape.
    void runFromButton(int id)
    {
        log.clear();
        buttonText.clear();
        whenModal<ProgressDialog>("progress dialog", [this](ProgressDialog* d) {
            EXPECT_TRUE(waitUntil([] { return !globalContext().running.load(); }, kLongestWait))
                << "the operation did not end";
            d->drainPending();
            log = d->findChild<QPlainTextEdit*>(u"c1012"_qs)->toPlainText();
            auto* button = d->findChild<QPushButton*>(u"c2"_qs);
            buttonText = button->text();
            buttonEnabled = button->isEnabled();
            QTest::keyClick(d, Qt::Key_Escape);
        });
        QTest::mouseClick(ctl<QPushButton>(id), Qt::LeftButton);
    }

    QString log;
    QString buttonText;
    bool buttonEnabled = false;
};

} // namespace

TEST_F(EndToEndTest, CaptureFromThePageWritesTheImageWithThePageValues)
{
    TempDir dir;
    const QString source = dir.mkdir(u"源"_qs);
    wimfix::makeSampleTree(source);
    const QString target = dir.file(u"捕获.wim"_qs);

    retype(ctl<QLineEdit>(IDC_CAPTURE_SOURCE), source);
    retype(ctl<QLineEdit>(IDC_CAPTURE_TARGET), target);
    retype(ctl<QLineEdit>(IDC_CAPTURE_DESCRIPTION), u"页面描述"_qs);
    runFromButton(IDC_CAPTURE_CREATE);

    EXPECT_EQ(buttonText, u"关闭"_qs);
    EXPECT_TRUE(buttonEnabled);
    EXPECT_TRUE(log.contains(u"WIM 捕获成功"_qs)) << qPrintable(log);
    EXPECT_EQ(wimfix::imageCount(target), 1);
    EXPECT_EQ(wimfix::imageProperty(target, 1, u"NAME"_qs), u"WIM1"_qs);
    EXPECT_EQ(wimfix::imageProperty(target, 1, u"DESCRIPTION"_qs), u"页面描述"_qs);
    // The page keeps its values after the dialog.
    EXPECT_EQ(ctl<QLineEdit>(IDC_CAPTURE_TARGET)->text(), target);
}

TEST_F(EndToEndTest, DeleteFromThePageRemovesTheChosenIndex)
{
    TempDir dir;
    const QString tree = dir.mkdir(u"tree"_qs);
    wimfix::makeSampleTree(tree);
    const QString wim = dir.file(u"三个.wim"_qs);
    QString error;
    ASSERT_TRUE(wimfix::makeWim(
        wim, {{{tree, u"一"_qs, {}, {}}, {tree, u"二"_qs, {}, {}}, {tree, u"三"_qs, {}, {}}}},
        &error))
        << qPrintable(error);

    selectTab(PAGE_DELETE);
    retype(ctl<QLineEdit>(IDC_DELETE_SOURCE), wim);
    QTest::mouseClick(ctl<UpDown>(IDC_DELETE_INDEX)->findChild<QToolButton*>(u"up"_qs),
                      Qt::LeftButton);
    runFromButton(IDC_DELETE_START);

    EXPECT_EQ(buttonText, u"关闭"_qs);
    EXPECT_EQ(wimfix::imageCount(wim), 2) << qPrintable(log);
    EXPECT_EQ(wimfix::imageProperty(wim, 1, u"NAME"_qs), u"一"_qs);
    EXPECT_EQ(wimfix::imageProperty(wim, 2, u"NAME"_qs), u"三"_qs);
}

TEST_F(EndToEndTest, ReportButtonShowsTheImagesOfARealFile)
{
    TempDir dir;
    const QString tree = dir.mkdir(u"tree"_qs);
    wimfix::makeSampleTree(tree);
    const QString wim = dir.file(u"报告.wim"_qs);
    ASSERT_TRUE(wimfix::makeWim(wim, {{{tree, u"报告映像"_qs, u"报告描述"_qs, {}}}}));

    selectTab(PAGE_INFO);
    retype(ctl<QLineEdit>(IDC_INFO_SOURCE), wim);
    QTest::mouseClick(ctl<QPushButton>(IDC_INFO_RUN), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !window->reportRunner()->busy(); }, kLongestWait));
    const QString report = ctl<QPlainTextEdit>(IDC_INFO_REPORT)->toPlainText();
    EXPECT_TRUE(report.contains(u"报告映像"_qs)) << qPrintable(report);
    EXPECT_TRUE(report.contains(u"报告描述"_qs));
}

TEST_F(EndToEndTest, ChooserOpensAtTheBoxIndexAndPutsTheChosenRowBack)
{
    TempDir dir;
    const QString tree = dir.mkdir(u"tree"_qs);
    wimfix::makeSampleTree(tree);
    const QString wim = dir.file(u"五个.wim"_qs);
    wimfix::WimRecipe recipe;
    for (const QString& name : {u"一"_qs, u"二"_qs, u"三"_qs, u"四"_qs, u"五"_qs})
        recipe.images.push_back({tree, name, {}, {}});
    ASSERT_TRUE(wimfix::makeWim(wim, recipe));

    selectTab(PAGE_EXPORT);
    retype(ctl<QLineEdit>(IDC_EXPORT_SOURCE), wim);
    auto* edit = ctl<QLineEdit>(IDC_EXPORT_INDEX_EDIT);
    retype(edit, u"3"_qs);

    struct Case {
        int pick; // row to select, -1 for none
        QString shown;
    };
    for (const Case& c : {Case{4, u"5"_qs}, Case{-1, u"5"_qs}}) {
        int preselected = -2;
        whenModal<ImageChooserDialog>("image chooser", [&](ImageChooserDialog* d) {
            QTreeWidget* list = d->list();
            const auto selected = list->selectedItems();
            preselected = selected.isEmpty() ? -1 : list->indexOfTopLevelItem(selected.first());
            list->clearSelection();
            if (c.pick >= 0)
                list->topLevelItem(c.pick)->setSelected(true);
            QTest::mouseClick(d->chooseButton(), Qt::LeftButton);
        });
        const int before = edit->text().toInt();
        QTest::mouseClick(ctl<QPushButton>(IDC_EXPORT_CHOOSE), Qt::LeftButton);
        EXPECT_EQ(preselected, before - 1);
        EXPECT_EQ(edit->text(), c.shown);
    }
    // The chosen number reaches the request at the next save.
    selectTab(PAGE_ABOUT);
    EXPECT_EQ(globalContext().request.exportIndex, 5u);
}

// A comment inside an IMAGE element: the image's information does not parse, so modify shows
// the XML error box for each value and writes nothing.
TEST_F(EndToEndTest, ModifyOfAnImageWhoseXmlHoldsACommentWritesNothing)
{
    TempDir dir;
    const QString tree = dir.mkdir(u"tree"_qs);
    wimfix::makeSampleTree(tree);
    const QString wim = dir.file(u"注释.wim"_qs);
    ASSERT_TRUE(wimfix::makeWim(wim, {{{tree, u"Img"_qs}}}));
    ASSERT_TRUE(replaceWimXml(wim, u"<WIM><IMAGE INDEX=\"1\"><NAME>Img</NAME><!-- note -->"
                                   "<DIRCOUNT>2</DIRCOUNT><FILECOUNT>5</FILECOUNT>"
                                   "<TOTALBYTES>10</TOTALBYTES></IMAGE></WIM>"_qs));
    const QByteArray before = wimfix::fileDigest(wim);

    selectTab(PAGE_MODIFY);
    retype(ctl<QLineEdit>(IDC_MODIFY_SOURCE), wim);
    retype(ctl<QLineEdit>(IDC_MODIFY_NAME), u"新"_qs);
    // Every XML error box is answered, and the progress dialog closed once the operation has
    // ended; each look returns at once, so the box's own loop can end.
    int boxes = 0;
    QString text;
    bool closed = false;
    QTimer look;
    look.setInterval(10);
    QObject::connect(&look, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            ++boxes;
            text = box->text();
            box->accept();
        } else if (auto* d = qobject_cast<ProgressDialog*>(modal);
                   d && !globalContext().running.load()) {
            d->drainPending();
            log = d->findChild<QPlainTextEdit*>(u"c1012"_qs)->toPlainText();
            closed = true;
            look.stop();
            QTest::keyClick(d, Qt::Key_Escape);
        }
    });
    look.start();
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget(); modal && !closed) {
            ADD_FAILURE() << "the modify did not end";
            modal->hide();
        }
    });
    guard.start(kLongestWait);
    QTest::mouseClick(ctl<QPushButton>(IDC_MODIFY_START), Qt::LeftButton);
    EXPECT_TRUE(closed);
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(text, loadString(Text::XmlParseFailed));
    EXPECT_EQ(wimfix::fileDigest(wim), before) << qPrintable(log);
    EXPECT_EQ(wimfix::imageProperty(wim, 1, u"NAME"_qs), u"Img"_qs);
}
