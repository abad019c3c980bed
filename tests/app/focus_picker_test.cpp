// Where the keyboard focus is (at start, after a page change, after the progress dialog and
// the image chooser close) and where the pickers start (the field's folder, else the folder
// last chosen, else home; nothing kept in the user's settings), with whole sidebar names.
#include "UiDriver.h"

#include "app/AppSetup.h"
#include "app/ControlIds.h"
#include "app/ImageChooser.h"
#include "app/ProgressDialog.h"
#include "app/UpDown.h"
#include "platform/Kernel.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QListView>
#include <QPushButton>
#include <QStandardPaths>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace uitest;

namespace {

class FocusTest : public MainWindowFixture {
protected:
    // Whether control `id` has the focus (within 5 s). The window manager activates the main
    // window again when a dialog over it closes; offscreen, the test does.
    bool focusIs(int id)
    {
        QWidget* expected = page()->control(id);
        if (!window->isActiveWindow())
            window->activateWindow();
        return waitUntil([&] { return QApplication::focusWidget() == expected; }, 5000);
    }
    std::string focusName() const
    {
        QWidget* w = QApplication::focusWidget();
        return w ? w->objectName().toStdString() : std::string("(none)");
    }
};

// The first control that takes the focus on each page.
const int kFirstControls[] = {IDC_CAPTURE_SOURCE, IDC_APPLY_SOURCE, IDC_INFO_SOURCE,
                              IDC_MODIFY_SOURCE,  IDC_MOUNT_PATH,   IDC_DELETE_SOURCE,
                              IDC_EXPORT_SOURCE};

// The state of the user's own Qt settings file, which the program must leave alone.
QByteArray userQtSettings()
{
    QFile file(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
               QStringLiteral("/QtProject.conf"));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("(none)");
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

} // namespace

TEST_F(FocusTest, FirstControlAtStartAndAfterEveryPageChange)
{
    EXPECT_TRUE(focusIs(IDC_CAPTURE_SOURCE)) << "at start: " << focusName();
    // Typing goes there at once.
    typeText(QApplication::focusWidget(), u"源"_qs);
    EXPECT_EQ(ctl<QLineEdit>(IDC_CAPTURE_SOURCE)->text(), u"源"_qs);

    // A click on a tab, from a control in the middle of the page left.
    for (int p :
         {PAGE_EXPORT, PAGE_APPLY, PAGE_MOUNT, PAGE_INFO, PAGE_MODIFY, PAGE_DELETE, PAGE_CAPTURE}) {
        QWidget* middle = nullptr;
        for (QWidget* w : page()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (w->focusPolicy() & Qt::TabFocus)
                middle = w;
        }
        ASSERT_NE(middle, nullptr);
        middle->setFocus(Qt::MouseFocusReason);
        selectTab(p);
        EXPECT_TRUE(focusIs(kFirstControls[p])) << "page " << p << ": " << focusName();
    }
}

TEST_F(FocusTest, FirstControlAfterTheProgressDialogAndTheChooserClose)
{
    TempDir dir;
    const QString tree = dir.mkdir(u"tree"_qs);
    wimfix::makeSampleTree(tree);
    const QString wim = dir.file(u"焦点.wim"_qs);
    ASSERT_TRUE(wimfix::makeWim(wim, {{{tree, u"一"_qs}, {tree, u"二"_qs}}}));

    selectTab(PAGE_DELETE);
    retype(ctl<QLineEdit>(IDC_DELETE_SOURCE), wim);
    // The button that opened the dialog had the focus; the page's first control has it after.
    overrideOperation(ID_DELETE, [](OperationContext&) { return true; });
    whenModal<ProgressDialog>("progress dialog", [](ProgressDialog* d) {
        EXPECT_TRUE(waitUntil([] { return !globalContext().running.load(); }));
        QTest::keyClick(d, Qt::Key_Escape);
    });
    auto* start = ctl<QPushButton>(IDC_DELETE_START);
    start->setFocus(Qt::TabFocusReason);
    QTest::keyClick(start, Qt::Key_Space);
    overrideOperation(ID_DELETE, {});
    EXPECT_TRUE(focusIs(IDC_DELETE_SOURCE)) << "after the progress dialog: " << focusName();

    bool chose = false;
    whenModal<ImageChooserDialog>("image chooser", [&](ImageChooserDialog* d) {
        d->list()->setCurrentItem(d->list()->topLevelItem(1));
        QTest::mouseClick(d->chooseButton(), Qt::LeftButton);
        chose = true;
    });
    auto* choose = ctl<QPushButton>(IDC_DELETE_CHOOSE);
    choose->setFocus(Qt::TabFocusReason);
    QTest::keyClick(choose, Qt::Key_Space);
    EXPECT_TRUE(chose);
    EXPECT_EQ(ctl<UpDown>(IDC_DELETE_INDEX)->position(), 2);
    EXPECT_TRUE(focusIs(IDC_DELETE_SOURCE)) << "after the chooser: " << focusName();
}

// Each picker's start folder, in the order of the rules, and its sidebar.
TEST_F(FocusTest, PickersStartInTheFieldsFolderElseTheLastChosenElseHome)
{
    const QByteArray settingsBefore = userQtSettings();
    TempDir dir;
    const QString first = dir.mkdir(u"第一"_qs);
    const QString second = dir.mkdir(u"第二"_qs);
    const QString wim = dir.write(u"第一/映像.wim"_qs, "WIM");

    // Runs the picker behind `button` and notes where it starts; `choose` is accepted in it,
    // or the picker is cancelled when empty.
    auto startOf = [&](int button, const QString& choose, int* sidebarShort = nullptr) {
        QString started;
        whenModal<QFileDialog>("picker", [&](QFileDialog* d) {
            started = d->directory().absolutePath();
            if (sidebarShort) {
                auto* sidebar = d->findChild<QListView*>(u"sidebar"_qs);
                *sidebarShort =
                    sidebar ? sidebar->sizeHintForColumn(0) - sidebar->viewport()->width() : 1000;
            }
            if (choose.isNull())
                d->reject();
            else
                chooseInPicker(d, choose);
        });
        click(button);
        return started;
    };

    // Nothing chosen yet and an empty field: home.
    selectTab(PAGE_INFO);
    EXPECT_EQ(startOf(IDC_INFO_BROWSE_SOURCE, QString()), QDir::homePath());
    // The field's folder; a choice there is remembered for the other pickers.
    retype(ctl<QLineEdit>(IDC_INFO_SOURCE), wim);
    EXPECT_EQ(startOf(IDC_INFO_BROWSE_SOURCE, wim), first);

    selectTab(PAGE_CAPTURE);
    // An empty field, and a field whose folder does not exist: the folder last chosen.
    int sidebarShort = 1000;
    EXPECT_EQ(startOf(IDC_CAPTURE_BROWSE_TARGET, QString(), &sidebarShort), first);
    EXPECT_LE(sidebarShort, 0) << "the sidebar cuts a place's name by " << sidebarShort << " px";
    retype(ctl<QLineEdit>(IDC_CAPTURE_TARGET), dir.file(u"没有/新.wim"_qs));
    EXPECT_EQ(startOf(IDC_CAPTURE_BROWSE_TARGET, QString()), first);

    // A folder chosen in the folder picker is the folder the next picker starts in; a folder
    // in the field starts its picker in the folder that holds it.
    retype(ctl<QLineEdit>(IDC_CAPTURE_SOURCE), QString());
    whenModal<QFileDialog>("folder picker", [&](QFileDialog* d) {
        d->setDirectory(second);
        chooseInPicker(d, QString());
    });
    click(IDC_CAPTURE_BROWSE_SOURCE);
    EXPECT_EQ(ctl<QLineEdit>(IDC_CAPTURE_SOURCE)->text(), second);
    EXPECT_EQ(startOf(IDC_CAPTURE_BROWSE_CONFIG, QString()), second);
    EXPECT_EQ(startOf(IDC_CAPTURE_BROWSE_SOURCE, QString()), dir.path());

    // And the user's own Qt settings are as they were.
    EXPECT_EQ(userQtSettings(), settingsBefore);
}

// The sidebar in English ("Computer" was cut to "Com…").
TEST_F(FocusTest, EnglishPickerSidebarShowsWholeNames)
{
    SetProcessUILanguage(LANGID_ENGLISH_US);
    installTranslations();
    int shortBy = 1000;
    whenModal<QFileDialog>("picker", [&](QFileDialog* d) {
        auto* sidebar = d->findChild<QListView*>(u"sidebar"_qs);
        ASSERT_NE(sidebar, nullptr);
        ASSERT_GT(sidebar->model()->rowCount(), 0);
        shortBy = sidebar->sizeHintForColumn(0) - sidebar->viewport()->width();
        d->reject();
    });
    selectTab(PAGE_INFO);
    click(IDC_INFO_BROWSE_SOURCE);
    SetProcessUILanguage(0);
    installTranslations();
    EXPECT_LE(shortBy, 0);
}
