// The main window and its pages, driven through real widgets with input events: stored list
// choices, index boxes, every field surviving tab changes, window geometry, keyboard
// behaviour, pickers and the buttons that start work.
#include "UiDriver.h"

#include "app/AppSetup.h"
#include "app/ControlIds.h"
#include "app/MainWindow.h"
#include "app/Page.h"
#include "app/ProgressDialog.h"
#include "app/ReportRunner.h"
#include "app/UpDown.h"
#include "ops/Text.h"
#include "ops/WimReport.h"
#include "ops/Worker.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <atomic>

using namespace uitest;

namespace {

class MainWindowTest : public MainWindowFixture {};

// What the user puts into one control, and how the control shows it.
struct Entry {
    int page;
    int id;
    enum Kind { Text, Check, List, Index } kind;
    QString text; // Text: typed; List: item to pick
    int number;   // Index: arrow clicks up from 1
};

const std::vector<Entry>& entries()
{
    static const std::vector<Entry> table = {
        {PAGE_CAPTURE, IDC_CAPTURE_SOURCE, Entry::Text, u"/srv/源 文件夹"_qs, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_TARGET, Entry::Text, u"/tmp/输出.wim"_qs, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_NAME, Entry::Text, u"映像一"_qs, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_DESCRIPTION, Entry::Text, u"描述 d"_qs, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_DISPLAY_NAME, Entry::Text, u"显示 N"_qs, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_DISPLAY_DESCRIPTION, Entry::Text, u"显示描述 x"_qs, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_CONFIG_FILE, Entry::Text, u"/etc/配置.ini"_qs, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_TEMP_FOLDER, Entry::Text, u"/var/临时"_qs, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_COMPRESSION, Entry::List, u"最大"_qs, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_FLAGS, Entry::List, u"ULTIMATE"_qs, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_BOOTABLE, Entry::Check, {}, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_VERIFY, Entry::Check, {}, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_CHECK, Entry::Check, {}, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_NO_RP_FIX, Entry::Check, {}, 0},
        {PAGE_CAPTURE, IDC_CAPTURE_SHOW_CONFIG, Entry::Check, {}, 0},
        {PAGE_APPLY, IDC_APPLY_SOURCE, Entry::Text, u"/wim/应用.wim"_qs, 0},
        {PAGE_APPLY, IDC_APPLY_TARGET, Entry::Text, u"/mnt/目标"_qs, 0},
        {PAGE_APPLY, IDC_APPLY_INDEX, Entry::Index, {}, 12},
        {PAGE_APPLY, IDC_APPLY_VERIFY, Entry::Check, {}, 0},
        {PAGE_APPLY, IDC_APPLY_CHECK, Entry::Check, {}, 0},
        {PAGE_INFO, IDC_INFO_SOURCE, Entry::Text, u"/wim/信息.wim"_qs, 0},
        {PAGE_MODIFY, IDC_MODIFY_SOURCE, Entry::Text, u"/wim/修改.wim"_qs, 0},
        {PAGE_MODIFY, IDC_MODIFY_INDEX, Entry::Index, {}, 3},
        {PAGE_MODIFY, IDC_MODIFY_NAME, Entry::Text, u"新名称"_qs, 0},
        {PAGE_MODIFY, IDC_MODIFY_DESCRIPTION, Entry::Text, u"新描述"_qs, 0},
        {PAGE_MODIFY, IDC_MODIFY_DISPLAY_NAME, Entry::Text, u"新显示名称"_qs, 0},
        {PAGE_MODIFY, IDC_MODIFY_DISPLAY_DESCRIPTION, Entry::Text, u"新显示描述"_qs, 0},
        {PAGE_MODIFY, IDC_MODIFY_FLAGS, Entry::List, u"STARTER"_qs, 0},
        {PAGE_MODIFY, IDC_MODIFY_BOOTABLE, Entry::Check, {}, 0},
        {PAGE_MODIFY, IDC_MODIFY_CHECK, Entry::Check, {}, 0},
        {PAGE_MOUNT, IDC_MOUNT_PATH, Entry::Text, u"/mnt/挂载点"_qs, 0},
        {PAGE_MOUNT, IDC_MOUNT_SOURCE, Entry::Text, u"/wim/挂载.wim"_qs, 0},
        {PAGE_MOUNT, IDC_MOUNT_INDEX, Entry::Index, {}, 4},
        {PAGE_MOUNT, IDC_MOUNT_READ_WRITE, Entry::Check, {}, 0},
        {PAGE_MOUNT, IDC_UNMOUNT_COMMIT, Entry::Check, {}, 0},
        {PAGE_DELETE, IDC_DELETE_SOURCE, Entry::Text, u"/wim/删除.wim"_qs, 0},
        {PAGE_DELETE, IDC_DELETE_INDEX, Entry::Index, {}, 5},
        {PAGE_DELETE, IDC_DELETE_CHECK, Entry::Check, {}, 0},
        {PAGE_EXPORT, IDC_EXPORT_SOURCE, Entry::Text, u"/wim/导出源.wim"_qs, 0},
        {PAGE_EXPORT, IDC_EXPORT_INDEX, Entry::Index, {}, 6},
        {PAGE_EXPORT, IDC_EXPORT_TARGET, Entry::Text, u"/wim/导出目标.wim"_qs, 0},
        {PAGE_EXPORT, IDC_EXPORT_COMPRESSION, Entry::List, u"无"_qs, 0},
        {PAGE_EXPORT, IDC_EXPORT_NAME, Entry::Text, u"导出名称"_qs, 0},
        {PAGE_EXPORT, IDC_EXPORT_BOOTABLE, Entry::Check, {}, 0},
        {PAGE_EXPORT, IDC_EXPORT_CHECK, Entry::Check, {}, 0},
    };
    return table;
}

} // namespace

TEST_F(MainWindowTest, StoredCompressionSelectsTheMatchingItem)
{
    // Stored while the About page (which saves nothing) is shown.
    selectTab(PAGE_ABOUT);
    globalContext().request.captureCompression = u"最大"_qs;
    globalContext().request.captureFlags = u"SERVERDATACENTER"_qs;
    globalContext().request.exportCompression = u"无"_qs;
    selectTab(PAGE_CAPTURE);
    EXPECT_EQ(ctl<QComboBox>(IDC_CAPTURE_COMPRESSION)->currentIndex(), 2);
    EXPECT_EQ(ctl<QComboBox>(IDC_CAPTURE_FLAGS)->currentIndex(), 5);
    selectTab(PAGE_EXPORT);
    EXPECT_EQ(ctl<QComboBox>(IDC_EXPORT_COMPRESSION)->currentIndex(), 0);

    // A text that is no item selects nothing, and saving then stores the empty text.
    selectTab(PAGE_ABOUT);
    globalContext().request.exportCompression = u"LZMS"_qs;
    selectTab(PAGE_EXPORT);
    EXPECT_EQ(ctl<QComboBox>(IDC_EXPORT_COMPRESSION)->currentIndex(), -1);
    selectTab(PAGE_ABOUT);
    EXPECT_EQ(globalContext().request.exportCompression, QString());
}

TEST_F(MainWindowTest, EveryFieldSurvivesTabChanges)
{
    // Enter everything, page by page, through the keyboard and the mouse.
    for (int p = 0; p < PAGE_COUNT; ++p) {
        selectTab(p);
        for (const Entry& e : entries()) {
            if (e.page != p)
                continue;
            switch (e.kind) {
            case Entry::Text:
                retype(ctl<QLineEdit>(e.id), e.text);
                break;
            case Entry::Check:
                QTest::mouseClick(ctl<QCheckBox>(e.id), Qt::LeftButton);
                break;
            case Entry::List: {
                auto* box = ctl<QComboBox>(e.id);
                box->setFocus();
                const int target = box->findText(e.text);
                ASSERT_GE(target, 0);
                QTest::keyClick(box, Qt::Key_Home);
                for (int i = 0; i < target; ++i)
                    QTest::keyClick(box, Qt::Key_Down);
                break;
            }
            case Entry::Index: {
                auto* up = ctl<UpDown>(e.id)->findChild<QToolButton*>(u"up"_qs);
                for (int i = 1; i < e.number; ++i)
                    QTest::mouseClick(up, Qt::LeftButton);
                break;
            }
            }
        }
    }
    // Round trip through every tab twice, in both directions.
    for (int p = PAGE_COUNT - 1; p >= 0; --p)
        selectTab(p);
    for (int p = 0; p < PAGE_COUNT; ++p)
        selectTab(p);

    for (int p = 0; p < PAGE_COUNT; ++p) {
        selectTab(p);
        for (const Entry& e : entries()) {
            if (e.page != p)
                continue;
            switch (e.kind) {
            case Entry::Text:
                EXPECT_EQ(ctl<QLineEdit>(e.id)->text(), e.text) << e.id;
                break;
            case Entry::Check:
                EXPECT_TRUE(ctl<QCheckBox>(e.id)->isChecked()) << p << "/" << e.id;
                break;
            case Entry::List:
                EXPECT_EQ(ctl<QComboBox>(e.id)->currentText(), e.text) << e.id;
                break;
            case Entry::Index:
                EXPECT_EQ(ctl<UpDown>(e.id)->buddy()->text(), QString::number(e.number));
                break;
            }
        }
    }

    // The request holds what the pages showed.
    const OperationRequest& r = globalContext().request;
    EXPECT_EQ(r.captureName, u"映像一"_qs);
    EXPECT_EQ(r.captureCompression, u"最大"_qs);
    EXPECT_EQ(r.captureFlags, u"ULTIMATE"_qs);
    EXPECT_TRUE(r.captureNoRpFix && r.captureShowConfig && r.captureBootable);
    EXPECT_EQ(r.applyIndex, 12u);
    EXPECT_EQ(r.modifyIndex, 3u);
    EXPECT_EQ(r.modifyFlags, u"STARTER"_qs);
    EXPECT_EQ(r.mountPath, u"/mnt/挂载点"_qs);
    EXPECT_TRUE(r.unmountCommit);
    EXPECT_EQ(r.deleteIndex, 5u);
    EXPECT_EQ(r.exportIndex, 6u);
    EXPECT_EQ(r.exportCompression, u"无"_qs);
    EXPECT_EQ(r.exportTarget, u"/wim/导出目标.wim"_qs);
}

TEST_F(MainWindowTest, TabKeyVisitsControlsInTemplateOrder)
{
    const std::vector<std::vector<int>> orders = {
        {1002, 1007, 1004, 1008, 1005, 1003, 1006, 1016, 1092, 1093, 1009,
         1018, 1021, 1096, 1022, 1011, 1013, 1010, 1012, 1019, 1020},
        {1021, 1023, 1022, 1024, 1027, 1087, 1028, 1026, 1025},
        {1030, 1031, 1033, 1032},
        {1040, 1042, 1043, 1051, 1048, 1049, 1047, 1094, 1095, 1050, 1045, 1046},
        {1055, 1057, 1054, 1056, 1058, 1088, 1062, 1060, 1066, 1063, 1064, 1061},
        {1071, 1072, 1069, 1089, 1068, 1067},
        {1073, 1075, 1077, 1090, 1074, 1076, 1082, 1083, 1079, 1080, 1081},
    };
    for (int p = 0; p < static_cast<int>(orders.size()); ++p) {
        selectTab(p);
        std::vector<int> visited;
        for (QWidget* w = page()->nextInFocusChain(); w != page(); w = w->nextInFocusChain()) {
            if (w->parentWidget() == page() && (w->focusPolicy() & Qt::TabFocus) &&
                controlIdOf(w->objectName()) != 0)
                visited.push_back(controlIdOf(w->objectName()));
        }
        EXPECT_EQ(visited, orders[p]) << "page " << p;
    }
}

TEST_F(MainWindowTest, LongTextsSurviveTabChangesWhole)
{
    selectTab(PAGE_ABOUT);
    const QString longText(40000, u'描');
    const QString longReport = QString(u"行\n"_qs).repeated(50000);
    globalContext().request.modifyDescription = longText;
    globalContext().request.infoText = longReport;
    selectTab(PAGE_MODIFY);
    selectTab(PAGE_INFO);
    selectTab(PAGE_ABOUT);
    EXPECT_EQ(globalContext().request.modifyDescription, longText);
    EXPECT_EQ(globalContext().request.infoText, longReport);
}

TEST_F(MainWindowTest, CheckBoxesOfOnePageLeaveOtherPagesAlone)
{
    selectTab(PAGE_DELETE);
    QTest::mouseClick(ctl<QCheckBox>(IDC_DELETE_CHECK), Qt::LeftButton);
    selectTab(PAGE_MODIFY);
    EXPECT_FALSE(ctl<QCheckBox>(IDC_MODIFY_CHECK)->isChecked());
    selectTab(PAGE_DELETE);
    EXPECT_TRUE(ctl<QCheckBox>(IDC_DELETE_CHECK)->isChecked());
    QTest::mouseClick(ctl<QCheckBox>(IDC_DELETE_CHECK), Qt::LeftButton);
    selectTab(PAGE_EXPORT);
    EXPECT_FALSE(globalContext().request.deleteCheck);
    EXPECT_FALSE(globalContext().request.modifyCheck);
    selectTab(PAGE_DELETE);
    EXPECT_FALSE(ctl<QCheckBox>(IDC_DELETE_CHECK)->isChecked());
}

TEST_F(MainWindowTest, IndexBoxTakesOneTypedDigitAndArrowsFromOneTo99)
{
    selectTab(PAGE_DELETE);
    auto* edit = ctl<QLineEdit>(IDC_DELETE_INDEX_EDIT);
    auto* upDown = ctl<UpDown>(IDC_DELETE_INDEX);
    auto* up = upDown->findChild<QToolButton*>(u"up"_qs);
    auto* down = upDown->findChild<QToolButton*>(u"down"_qs);

    struct Typing {
        QString keys;
        QString shown;
    };
    for (const Typing& t :
         {Typing{u"7"_qs, u"7"_qs}, Typing{u"78"_qs, u"7"_qs}, Typing{u"a"_qs, u""_qs},
          Typing{u"中"_qs, u""_qs}, Typing{u"x4"_qs, u"4"_qs}, Typing{u"-"_qs, u""_qs}}) {
        retype(edit, t.keys);
        EXPECT_EQ(edit->text(), t.shown) << qPrintable(t.keys);
    }

    retype(edit, u"1"_qs);
    for (int i = 0; i < 120; ++i)
        QTest::mouseClick(up, Qt::LeftButton);
    EXPECT_EQ(edit->text(), u"99"_qs);
    EXPECT_EQ(upDown->position(), 99);
    // A third digit cannot be typed onto the arrows' two.
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_End);
    typeText(edit, u"5"_qs);
    EXPECT_EQ(edit->text(), u"99"_qs);

    for (int i = 0; i < 120; ++i)
        QTest::mouseClick(down, Qt::LeftButton);
    EXPECT_EQ(edit->text(), u"1"_qs);

    // The arrow keys in the edit step too.
    edit->setFocus();
    for (int i = 0; i < 11; ++i)
        QTest::keyClick(edit, Qt::Key_Up);
    EXPECT_EQ(edit->text(), u"12"_qs);
    QTest::keyClick(edit, Qt::Key_Down);
    EXPECT_EQ(edit->text(), u"11"_qs);

    // An edit holding no number keeps the last valid position.
    retype(edit, QString());
    selectTab(PAGE_EXPORT);
    EXPECT_EQ(globalContext().request.deleteIndex, 11u);
    selectTab(PAGE_DELETE);
    EXPECT_EQ(ctl<QLineEdit>(IDC_DELETE_INDEX_EDIT)->text(), u"11"_qs);
}

TEST_F(MainWindowTest, IndexBoxShowsTheLowWordOfTheStoredIndex)
{
    struct Case {
        std::uint32_t stored;
        QString shown;
    };
    for (const Case& c : {Case{0x00010003u, u"3"_qs}, Case{42u, u"42"_qs}, Case{0u, u"1"_qs},
                          Case{500u, u"99"_qs}}) {
        selectTab(PAGE_ABOUT);
        globalContext().request.applyIndex = c.stored;
        selectTab(PAGE_APPLY);
        EXPECT_EQ(ctl<QLineEdit>(IDC_APPLY_INDEX_EDIT)->text(), c.shown) << c.stored;
    }
}

TEST_F(MainWindowTest, WindowWrapsTheTabControlWithOneDialogUnitMargin)
{
    const DialogBaseUnits units = dialogBaseUnits(window->font());
    const QRect tabs = window->tabControl()->geometry();
    EXPECT_EQ(tabs.topLeft(), QPoint(units.x / 4, units.y / 8));
    EXPECT_EQ(window->width(), tabs.right() + 1 + units.x / 4);
    EXPECT_EQ(window->height(), tabs.bottom() + 1 + units.y / 8);

    const QSize pageSize = dialogToPixels(QRect(0, 0, 338, 239), units).size();
    for (int p = 0; p < PAGE_COUNT; ++p) {
        selectTab(p);
        EXPECT_EQ(window->displayRect().size(), pageSize);
        EXPECT_EQ(page()->size(), pageSize);
        EXPECT_EQ(page()->mapTo(window.get(), QPoint(0, 0)), window->displayRect().topLeft());
        // Every control lies inside the page.
        for (QWidget* child : page()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            EXPECT_TRUE(page()->rect().contains(child->geometry()))
                << qPrintable(child->objectName());
    }
}

TEST_F(MainWindowTest, TabLabelsLookTheSameSelectedOrNot)
{
    QTabBar* bar = window->tabControl()->tabBar();
    auto labelImage = [&](int tab) {
        const QRect r = bar->tabRect(tab);
        const QRect label(r.left() + 4, r.top() + 2,
                          bar->fontMetrics().horizontalAdvance(bar->tabText(tab)),
                          bar->fontMetrics().height());
        return bar->grab(label).toImage();
    };
    const QImage unselected = labelImage(1);
    selectTab(1);
    const QImage selected = labelImage(1);
    EXPECT_EQ(selected, unselected);
    // And the label area is drawn on the button face, not left to the style.
    EXPECT_EQ(selected.pixelColor(selected.width() - 1, 0), bar->palette().color(QPalette::Button));
}

TEST_F(MainWindowTest, EscapeClosesTheWindowAndEnterDoesNothing)
{
    std::atomic<int> started{0};
    overrideOperation(ID_CAPTURE, [&](OperationContext&) {
        ++started;
        return true;
    });
    auto* name = ctl<QLineEdit>(IDC_CAPTURE_NAME);
    name->setFocus();
    QTest::keyClick(name, Qt::Key_Return);
    QTest::keyClick(name, Qt::Key_Enter);
    auto* create = ctl<QPushButton>(IDC_CAPTURE_CREATE);
    create->setFocus();
    QTest::keyClick(create, Qt::Key_Return);
    QApplication::processEvents();
    EXPECT_EQ(started.load(), 0);
    EXPECT_TRUE(window->isVisible());
    for (QPushButton* b : window->findChildren<QPushButton*>())
        EXPECT_FALSE(b->autoDefault() || b->isDefault()) << qPrintable(b->objectName());
    overrideOperation(ID_CAPTURE, {});

    QTest::keyClick(name, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), QDialog::Rejected);
}

TEST_F(MainWindowTest, OperationButtonSavesThePageAndRunsTheProgressDialog)
{
    struct Seen {
        std::atomic<int> runs{0};
        QString name;
        std::uint32_t index = 0;
    } seen;
    overrideOperation(ID_CAPTURE, [&](OperationContext& ctx) {
        seen.name = ctx.request.captureName;
        ++seen.runs;
        return true;
    });
    overrideOperation(ID_EXPORT, [&](OperationContext& ctx) {
        seen.index = ctx.request.exportIndex;
        ++seen.runs;
        return true;
    });
    auto closeWhenDone = [] {
        whenModal<ProgressDialog>("progress dialog", [](ProgressDialog* d) {
            EXPECT_TRUE(waitUntil([] { return !globalContext().running.load(); }));
            QTest::keyClick(d, Qt::Key_Escape);
        });
    };

    retype(ctl<QLineEdit>(IDC_CAPTURE_NAME), u"新的映像"_qs);
    closeWhenDone();
    click(IDC_CAPTURE_CREATE);
    EXPECT_EQ(seen.runs.load(), 1);
    EXPECT_EQ(seen.name, u"新的映像"_qs);
    EXPECT_EQ(globalContext().progressWindow.load(), nullptr);
    EXPECT_EQ(ctl<QLineEdit>(IDC_CAPTURE_NAME)->text(), u"新的映像"_qs);

    selectTab(PAGE_EXPORT);
    QTest::mouseClick(ctl<UpDown>(IDC_EXPORT_INDEX)->findChild<QToolButton*>(u"up"_qs),
                      Qt::LeftButton);
    closeWhenDone();
    click(IDC_EXPORT_START);
    EXPECT_EQ(seen.runs.load(), 2);
    EXPECT_EQ(seen.index, 2u);
    overrideOperation(ID_CAPTURE, {});
    overrideOperation(ID_EXPORT, {});
}

// Every button the pages route, by what it visibly does: a picker of its kind whose choice
// lands in its edit, the image chooser for its source and index box, or the progress dialog
// running the button's operation. (Report, refresh and unmount have tests of their own.)
TEST_F(MainWindowTest, EveryPageButtonReachesItsAction)
{
    enum Kind { Folder, SaveWim, OpenWim, OpenIni, Choose, Operation };
    struct Route {
        int page, button;
        Kind kind;
        int edit = 0;   // the edit a picker fills, or the chooser's source
        int upDown = 0; // the chooser's index box
    };
    const Route routes[] = {
        {PAGE_CAPTURE, IDC_CAPTURE_BROWSE_SOURCE, Folder, IDC_CAPTURE_SOURCE},
        {PAGE_CAPTURE, IDC_CAPTURE_BROWSE_TARGET, SaveWim, IDC_CAPTURE_TARGET},
        {PAGE_CAPTURE, IDC_CAPTURE_BROWSE_TEMP, Folder, IDC_CAPTURE_TEMP_FOLDER},
        {PAGE_CAPTURE, IDC_CAPTURE_BROWSE_CONFIG, OpenIni, IDC_CAPTURE_CONFIG_FILE},
        {PAGE_CAPTURE, IDC_CAPTURE_CREATE, Operation},
        {PAGE_CAPTURE, IDC_CAPTURE_APPEND, Operation},
        {PAGE_APPLY, IDC_APPLY_BROWSE_SOURCE, OpenWim, IDC_APPLY_SOURCE},
        {PAGE_APPLY, IDC_APPLY_BROWSE_TARGET, Folder, IDC_APPLY_TARGET},
        {PAGE_APPLY, IDC_APPLY_START, Operation},
        {PAGE_APPLY, IDC_APPLY_CHOOSE, Choose, IDC_APPLY_SOURCE, IDC_APPLY_INDEX},
        {PAGE_INFO, IDC_INFO_BROWSE_SOURCE, OpenWim, IDC_INFO_SOURCE},
        {PAGE_MODIFY, IDC_MODIFY_BROWSE_SOURCE, OpenWim, IDC_MODIFY_SOURCE},
        {PAGE_MODIFY, IDC_MODIFY_CHOOSE, Choose, IDC_MODIFY_SOURCE, IDC_MODIFY_INDEX},
        {PAGE_MODIFY, IDC_MODIFY_START, Operation},
        {PAGE_MOUNT, IDC_MOUNT_BROWSE_SOURCE, OpenWim, IDC_MOUNT_SOURCE},
        {PAGE_MOUNT, IDC_MOUNT_BROWSE_PATH, Folder, IDC_MOUNT_PATH},
        {PAGE_MOUNT, IDC_MOUNT_CHOOSE, Choose, IDC_MOUNT_SOURCE, IDC_MOUNT_INDEX},
        {PAGE_MOUNT, IDC_MOUNT_START, Operation},
        {PAGE_DELETE, IDC_DELETE_BROWSE_SOURCE, OpenWim, IDC_DELETE_SOURCE},
        {PAGE_DELETE, IDC_DELETE_CHOOSE, Choose, IDC_DELETE_SOURCE, IDC_DELETE_INDEX},
        {PAGE_DELETE, IDC_DELETE_START, Operation},
        {PAGE_EXPORT, IDC_EXPORT_BROWSE_SOURCE, OpenWim, IDC_EXPORT_SOURCE},
        {PAGE_EXPORT, IDC_EXPORT_BROWSE_TARGET, SaveWim, IDC_EXPORT_TARGET},
        {PAGE_EXPORT, IDC_EXPORT_CHOOSE, Choose, IDC_EXPORT_SOURCE, IDC_EXPORT_INDEX},
        {PAGE_EXPORT, IDC_EXPORT_START, Operation},
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString wim = dir.filePath(u"选中.wim"_qs);
    const QString ini = dir.filePath(u"配置.ini"_qs);
    for (const QString& path : {wim, ini}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    // The kind of picker a file dialog is.
    auto pickerKind = [](QFileDialog* d) {
        if (d->fileMode() == QFileDialog::Directory)
            return Folder;
        if (d->acceptMode() == QFileDialog::AcceptSave)
            return SaveWim;
        return d->nameFilters() == QStringList{u"INI Files (*.ini)"_qs} ? OpenIni : OpenWim;
    };
    const QString chosen[] = {dir.path(), dir.filePath(u"新建.wim"_qs), wim, ini};
    std::atomic<int> ran{0};

    for (const Route& r : routes) {
        SCOPED_TRACE(r.button);
        selectTab(r.page);
        switch (r.kind) {
        case Folder:
        case SaveWim:
        case OpenWim:
        case OpenIni: {
            int shown = -1;
            whenModal<QFileDialog>("picker", [&](QFileDialog* d) {
                shown = pickerKind(d);
                if (shown == Folder)
                    d->setDirectory(dir.path());
                chooseInPicker(d, shown == Folder ? QString() : chosen[shown]);
            });
            click(r.button);
            EXPECT_EQ(shown, r.kind);
            EXPECT_EQ(ctl<QLineEdit>(r.edit)->text(), chosen[r.kind]);
            break;
        }
        case Choose: {
            const QString source = u"/不存在/%1.wim"_qs.arg(r.button);
            retype(ctl<QLineEdit>(r.edit), source);
            ctl<UpDown>(r.upDown)->setPosition(3);
            globalContext().request.chooserWimPath.clear();
            click(r.button);
            EXPECT_EQ(globalContext().request.chooserWimPath, source);
            EXPECT_EQ(globalContext().request.chooserIndex, 3u);
            break;
        }
        case Operation: {
            ran = 0;
            overrideOperation(r.button, [&ran, id = r.button](OperationContext&) {
                ran = id;
                return true;
            });
            int dialogFor = 0;
            whenModal<ProgressDialog>("progress dialog", [&](ProgressDialog* d) {
                dialogFor = d->operationId();
                EXPECT_TRUE(waitUntil([] { return !globalContext().running.load(); }));
                QTest::keyClick(d, Qt::Key_Escape);
            });
            click(r.button);
            overrideOperation(r.button, {});
            EXPECT_EQ(dialogFor, r.button);
            EXPECT_EQ(ran.load(), r.button);
            break;
        }
        }
    }
}

TEST_F(MainWindowTest, UnmountWithoutSelectedRowOpensNoDialog)
{
    std::atomic<int> started{0};
    overrideOperation(ID_UNMOUNT, [&](OperationContext&) {
        ++started;
        return true;
    });
    selectTab(PAGE_MOUNT);
    auto* list = ctl<QTreeWidget>(IDC_MOUNT_LIST);
    list->clearSelection();
    retype(ctl<QLineEdit>(IDC_MOUNT_PATH), u"/mnt/edit"_qs);
    click(IDC_UNMOUNT_START);
    QApplication::processEvents();
    EXPECT_EQ(started.load(), 0);
    EXPECT_EQ(globalContext().request.mountPath, u"/mnt/edit"_qs);
    EXPECT_EQ(list->columnCount(), 4);
    overrideOperation(ID_UNMOUNT, {});
}

TEST_F(MainWindowTest, MountListIsRefreshedFromTheWorkerAndAfterTheDialog)
{
    selectTab(PAGE_MOUNT);
    auto* list = ctl<QTreeWidget>(IDC_MOUNT_LIST);
    auto addStaleRow = [&] {
        list->addTopLevelItem(new QTreeWidgetItem(QStringList{u"RO"_qs, u"/假的/行"_qs}));
    };
    auto hasStaleRow = [&] {
        return !list->findItems(u"/假的/行"_qs, Qt::MatchExactly, 1).isEmpty();
    };
    overrideOperation(ID_MOUNT, [](OperationContext& ctx) {
        if (PagePort* page = ctx.pageWindow.load())
            page->postMountListRefresh();
        return true;
    });
    addStaleRow();
    bool refreshedWhileOpen = false;
    whenModal<ProgressDialog>("mount progress dialog", [&](ProgressDialog* d) {
        EXPECT_TRUE(waitUntil([] { return !globalContext().running.load(); }));
        refreshedWhileOpen = waitUntil([&] { return !hasStaleRow(); }, 2000);
        addStaleRow(); // the refresh after the dialog must clear this one
        QTest::keyClick(d, Qt::Key_Escape);
    });
    click(IDC_MOUNT_START);
    EXPECT_TRUE(refreshedWhileOpen);
    EXPECT_FALSE(hasStaleRow());
    overrideOperation(ID_MOUNT, {});

    // "更新列表" refreshes too.
    addStaleRow();
    click(IDC_MOUNT_REFRESH);
    EXPECT_FALSE(hasStaleRow());
}

TEST_F(MainWindowTest, ChooserGetsSourceAndIndexAndUnreadableFileChangesNothing)
{
    selectTab(PAGE_APPLY);
    retype(ctl<QLineEdit>(IDC_APPLY_SOURCE), u"/nonexistent/映像.wim"_qs);
    ctl<UpDown>(IDC_APPLY_INDEX)->setPosition(3);
    click(IDC_APPLY_CHOOSE);
    EXPECT_EQ(globalContext().request.chooserWimPath, u"/nonexistent/映像.wim"_qs);
    EXPECT_EQ(globalContext().request.chooserIndex, 3u);
    EXPECT_EQ(ctl<QLineEdit>(IDC_APPLY_INDEX_EDIT)->text(), u"3"_qs);
    // The page itself is not saved by the chooser.
    EXPECT_EQ(globalContext().request.applySource, QString());
}

TEST_F(MainWindowTest, ReportButtonShowsTheReportOfTheSource)
{
    selectTab(PAGE_INFO);
    retype(ctl<QLineEdit>(IDC_INFO_SOURCE), u"/nonexistent/信息.wim"_qs);
    click(IDC_INFO_RUN);
    ASSERT_TRUE(waitUntil([&] { return !window->reportRunner()->busy(); }, kLongestWait));
    const QString report = ctl<QPlainTextEdit>(IDC_INFO_REPORT)->toPlainText();
    EXPECT_EQ(globalContext().request.infoSource, u"/nonexistent/信息.wim"_qs);
    EXPECT_FALSE(report.isEmpty());
    EXPECT_EQ(report, buildWimReport(u"/nonexistent/信息.wim"_qs));
    // The report comes back after a tab change.
    selectTab(PAGE_ABOUT);
    selectTab(PAGE_INFO);
    EXPECT_EQ(ctl<QPlainTextEdit>(IDC_INFO_REPORT)->toPlainText(), report);
}

TEST_F(MainWindowTest, BrowsingWritesBackOnlyWhatWasChosen)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString wim = dir.filePath(u"选中.wim"_qs);
    QFile file(wim);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    selectTab(PAGE_INFO);
    auto* report = ctl<QPlainTextEdit>(IDC_INFO_REPORT);
    auto* source = ctl<QLineEdit>(IDC_INFO_SOURCE);
    report->setPlainText(u"旧报告"_qs);
    retype(source, u"/keep/me.wim"_qs);

    // Cancelled: edit and report as they were.
    QString title;
    whenModal<QFileDialog>("information source picker (cancelled)", [&](QFileDialog* d) {
        title = d->windowTitle();
        d->reject();
    });
    click(IDC_INFO_BROWSE_SOURCE);
    EXPECT_EQ(title, u"打开:"_qs);
    EXPECT_EQ(source->text(), u"/keep/me.wim"_qs);
    EXPECT_EQ(report->toPlainText(), u"旧报告"_qs);

    // Chosen: the path goes into the edit and the report is emptied.
    QStringList filters;
    whenModal<QFileDialog>("information source picker", [&](QFileDialog* d) {
        filters = d->nameFilters();
        chooseInPicker(d, wim);
    });
    click(IDC_INFO_BROWSE_SOURCE);
    EXPECT_EQ(filters, QStringList{u"WIM Files (*.wim)"_qs});
    EXPECT_EQ(source->text(), wim);
    EXPECT_TRUE(report->toPlainText().isEmpty());

    // The capture target picker is a save dialog with its own title and suffix.
    selectTab(PAGE_CAPTURE);
    QString saveTitle, suffix;
    whenModal<QFileDialog>("capture target picker", [&](QFileDialog* d) {
        saveTitle = d->windowTitle();
        suffix = d->defaultSuffix();
        chooseInPicker(d, dir.filePath(u"新建"_qs));
    });
    click(IDC_CAPTURE_BROWSE_TARGET);
    EXPECT_EQ(saveTitle, u"另存为:"_qs);
    EXPECT_EQ(suffix, u"wim"_qs);
    EXPECT_EQ(ctl<QLineEdit>(IDC_CAPTURE_TARGET)->text(), dir.filePath(u"新建.wim"_qs));

    // The folder picker writes the chosen folder.
    QString folderTitle;
    whenModal<QFileDialog>("capture source folder picker", [&](QFileDialog* d) {
        folderTitle = d->windowTitle();
        // Nothing typed: the folder shown is the choice.
        d->setDirectory(dir.path());
        chooseInPicker(d, QString());
    });
    click(IDC_CAPTURE_BROWSE_SOURCE);
    EXPECT_EQ(folderTitle, u"选择文件夹:"_qs);
    EXPECT_EQ(ctl<QLineEdit>(IDC_CAPTURE_SOURCE)->text(), dir.path());
}


TEST_F(MainWindowTest, TabBarShowsItsKeyboardFocusAndCtrlTabKeepsTheTypingGoing)
{
    QTabBar* bar = window->tabControl()->tabBar();
    auto tabImage = [&](int tab) { return bar->grab(bar->tabRect(tab)).toImage(); };

    // Tab past the page's last control reaches the tab bar, which marks the selected tab.
    selectTab(PAGE_DELETE);
    const QImage plain = tabImage(PAGE_DELETE);
    auto* last = ctl<QPushButton>(IDC_DELETE_START);
    last->setFocus(Qt::TabFocusReason);
    QTest::keyClick(last, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), bar);
    EXPECT_TRUE(tabImage(PAGE_DELETE) != plain);

    // The arrows switch pages and the mark follows the selection.
    QTest::keyClick(bar, Qt::Key_Right);
    ASSERT_EQ(page()->pageIndex(), PAGE_EXPORT);
    EXPECT_EQ(QApplication::focusWidget(), bar);
    const QImage marked = tabImage(PAGE_EXPORT);
    QTest::keyClick(bar, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), ctl<QLineEdit>(IDC_EXPORT_SOURCE));
    EXPECT_TRUE(tabImage(PAGE_EXPORT) != marked);

    // Ctrl+Tab and Ctrl+Shift+Tab from inside a page: what is typed next lands in the new
    // page's first control. The About page has none; Ctrl+Tab passes on through it. The
    // toolbox pages stand between the export and the About page.
    struct Step {
        Qt::KeyboardModifiers modifiers;
        int page;
        int firstControl; // 0: none
    };
    const Qt::KeyboardModifiers back = Qt::ControlModifier | Qt::ShiftModifier;
    for (const Step& step : {Step{Qt::ControlModifier, PAGE_BROWSE, IDC_BROWSE_SOURCE},
                             Step{Qt::ControlModifier, PAGE_SPLIT, IDC_SPLIT_SOURCE},
                             Step{Qt::ControlModifier, PAGE_MAINTAIN, IDC_OPTIMIZE_SOURCE},
                             Step{Qt::ControlModifier, PAGE_ABOUT, 0},
                             Step{Qt::ControlModifier, PAGE_CAPTURE, IDC_CAPTURE_SOURCE},
                             Step{Qt::ControlModifier, PAGE_APPLY, IDC_APPLY_SOURCE},
                             Step{back, PAGE_CAPTURE, IDC_CAPTURE_SOURCE}}) {
        QWidget* from = QApplication::focusWidget();
        ASSERT_NE(from, nullptr);
        QTest::keyClick(from, Qt::Key_Tab, step.modifiers);
        ASSERT_EQ(page()->pageIndex(), step.page);
        if (step.firstControl == 0)
            continue;
        auto* edit = ctl<QLineEdit>(step.firstControl);
        EXPECT_EQ(QApplication::focusWidget(), edit) << step.page;
        typeText(QApplication::focusWidget(), u"源"_qs);
        EXPECT_TRUE(edit->text().endsWith(u"源"_qs)) << step.page;
    }
}

TEST_F(MainWindowTest, OperationUsesTheIndexTheBoxShows)
{
    // Each index box, with the operation of its page: the index the operation starts with.
    using R = OperationRequest;
    struct Box {
        int page, edit, upDown, button;
        std::uint32_t R::*field;
    };
    const Box boxes[] = {
        {PAGE_APPLY, IDC_APPLY_INDEX_EDIT, IDC_APPLY_INDEX, IDC_APPLY_START, &R::applyIndex},
        {PAGE_MODIFY, IDC_MODIFY_INDEX_EDIT, IDC_MODIFY_INDEX, IDC_MODIFY_START, &R::modifyIndex},
        {PAGE_MOUNT, IDC_MOUNT_INDEX_EDIT, IDC_MOUNT_INDEX, IDC_MOUNT_START, &R::mountIndex},
        {PAGE_DELETE, IDC_DELETE_INDEX_EDIT, IDC_DELETE_INDEX, IDC_DELETE_START, &R::deleteIndex},
        {PAGE_EXPORT, IDC_EXPORT_INDEX_EDIT, IDC_EXPORT_INDEX, IDC_EXPORT_START, &R::exportIndex},
    };
    for (const Box& box : boxes) {
        SCOPED_TRACE(box.page);
        std::atomic<std::uint32_t> used{0};
        overrideOperation(box.button, [&](OperationContext& ctx) {
            used = ctx.request.*box.field;
            return true;
        });
        auto press = [&] {
            used = 0;
            whenModal<ProgressDialog>("progress dialog", [](ProgressDialog* d) {
                EXPECT_TRUE(waitUntil([] { return !globalContext().running.load(); }));
                QTest::keyClick(d, Qt::Key_Escape);
            });
            click(box.button);
            return used.load();
        };
        auto replaceBy = [&](const QString& typed) {
            auto* edit = ctl<QLineEdit>(box.edit);
            edit->setFocus();
            QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
            if (typed.isEmpty())
                QTest::keyClick(edit, Qt::Key_Delete);
            else
                typeText(edit, typed);
            EXPECT_EQ(edit->text(), typed);
        };

        selectTab(box.page);
        QTest::mouseClick(ctl<UpDown>(box.upDown)->findChild<QToolButton*>(u"up"_qs),
                          Qt::LeftButton);
        EXPECT_EQ(ctl<QLineEdit>(box.edit)->text(), u"2"_qs);
        replaceBy(u"4"_qs);
        replaceBy(u"0"_qs);
        EXPECT_EQ(press(), 4u);
        // On a later visit the box starts from that 4; a number typed there counts, and
        // emptying the box keeps the last one shown.
        selectTab(PAGE_ABOUT);
        selectTab(box.page);
        EXPECT_EQ(ctl<QLineEdit>(box.edit)->text(), u"4"_qs);
        replaceBy(u"7"_qs);
        replaceBy(QString());
        EXPECT_EQ(press(), 7u);
        replaceBy(u"3"_qs);
        EXPECT_EQ(press(), 3u);
        overrideOperation(box.button, {});
    }
}
