// The windows on small screens and at large scales: the main window, the progress dialog and
// the image chooser fit the screen's available area, and every control of every page can be
// reached with the keyboard and clicked; on a screen with room the main window keeps the size
// its templates describe. Each screen runs in a copy of this program on an offscreen screen of
// that size and scale. Also: check boxes and drop-down arrows grow with a larger font.
#include "UiDriver.h"

#include "app/AppSetup.h"
#include "app/ControlIds.h"
#include "app/ImageChooser.h"
#include "app/MainWindow.h"
#include "app/Page.h"
#include "app/ProgressDialog.h"
#include "ops/Worker.h"
#include "support/TempDir.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>

#include <gtest/gtest.h>

using namespace uitest;

namespace {

// The screen a child run has: its pixels and scale, and whether the described size fits. A
// scale is either Qt's (QT_SCALE_FACTOR: everything drawn larger) or the screen's font
// resolution (as Xft.dpi sets it: the fonts larger, and with them every template size).
struct Screen {
    int width, height;
    double scale;
    bool byFont;
    bool roomy; // the described window fits
};

const Screen kScreens[] = {{1366, 768, 1.5, false, false},
                           {1366, 768, 1.5, true, false},
                           {1600, 1000, 2.0, false, false},
                           {1600, 1000, 2.0, true, false},
                           // Screens on which the described window cannot fit whatever the font: a
                           // small one at 1.5, and a font twice as large on 1366x768.
                           {1024, 600, 1.5, false, false},
                           {1366, 768, 2.0, true, false},
                           {1920, 1080, 1.0, false, true}};

bool inChild()
{
    return !qEnvironmentVariableIsEmpty("PELLORIC_FIT_SCREEN");
}

QRect globalRect(const QWidget* w)
{
    return QRect(w->mapToGlobal(QPoint(0, 0)), w->size());
}

QRect available()
{
    return QGuiApplication::primaryScreen()->availableGeometry();
}

// Every control of the page, in Tab order: the page's children that take the focus.
std::vector<QWidget*> tabOrder(Page* page)
{
    std::vector<QWidget*> order;
    for (QWidget* w = page->nextInFocusChain(); w != page; w = w->nextInFocusChain()) {
        if (w->parentWidget() == page && (w->focusPolicy() & Qt::TabFocus) && w->isEnabled())
            order.push_back(w);
    }
    return order;
}

class ScreenFitChild : public MainWindowFixture {
protected:
    void SetUp() override
    {
        if (!inChild())
            GTEST_SKIP() << "runs in a copy of the program started by ScreenFit.*";
        MainWindowFixture::SetUp();
    }
};

} // namespace

// In the child: the window lies inside the screen's available area, and Tab reaches every
// control of every page where it can be seen on the screen and clicked.
TEST_F(ScreenFitChild, EveryControlCanBeReachedAndClicked)
{
    const bool roomy = qEnvironmentVariable("PELLORIC_FIT_SCREEN") == u"roomy"_qs;
    EXPECT_TRUE(available().contains(window->frameGeometry()))
        << "window " << window->frameGeometry().width() << "x" << window->frameGeometry().height()
        << " on " << available().width() << "x" << available().height();
    const QSize pageSize =
        dialogToPixels(QRect(0, 0, 338, 239), dialogBaseUnits(window->font())).size();
    for (int p = 0; p < PAGE_COUNT; ++p) {
        selectTab(p);
        QApplication::processEvents();
        PageArea* area = window->pageArea(p);
        if (roomy) {
            // The described size, nothing to scroll.
            EXPECT_EQ(area->viewport()->size(), pageSize) << "page " << p;
            EXPECT_FALSE(area->verticalScrollBar()->isVisible());
        }
        const std::vector<QWidget*> order = tabOrder(page());
        if (order.empty())
            continue;
        order.front()->setFocus(Qt::TabFocusReason);
        for (std::size_t i = 0; i < order.size(); ++i) {
            QWidget* control = order[i];
            if (i > 0)
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            ASSERT_EQ(QApplication::focusWidget(), control)
                << "page " << p << ": Tab did not reach " << control->objectName().toStdString();
            QApplication::processEvents();
            // The control is on the screen: all of it, or, when it is larger than the page's
            // visible part (as the report box can be), at least half of what that part holds.
            const QRect viewport = globalRect(area->viewport()).intersected(available());
            const QRect shown = globalRect(control).intersected(viewport);
            const QSize room = control->size().boundedTo(viewport.size());
            const bool whole = shown.size() == control->size();
            EXPECT_TRUE(
                whole ||
                (shown.width() * 2 >= room.width() && shown.height() * 2 >= room.height() &&
                 (control->width() > viewport.width() || control->height() > viewport.height())))
                << "page " << p << ": " << control->objectName().toStdString()
                << " is not on the screen";
            // What is under the middle of its visible part is the control (or a part of it).
            QWidget* hit = QApplication::widgetAt(shown.center());
            EXPECT_TRUE(hit == control || control->isAncestorOf(hit))
                << "page " << p << ": " << control->objectName().toStdString()
                << " cannot be clicked";
        }
    }

    // 创建 and 追加 start their operation when clicked where they are shown.
    selectTab(PAGE_CAPTURE);
    for (int id : {IDC_CAPTURE_CREATE, IDC_CAPTURE_APPEND}) {
        auto* button = ctl<QPushButton>(id);
        window->pageArea(PAGE_CAPTURE)->ensureWidgetVisible(button);
        QApplication::processEvents();
        ASSERT_EQ(QApplication::widgetAt(globalRect(button).center()), button) << id;
        overrideOperation(id, [](OperationContext&) { return true; });
        bool dialogFits = false;
        whenModal<ProgressDialog>("progress dialog", [&](ProgressDialog* d) {
            EXPECT_TRUE(waitUntil([] { return !globalContext().running.load(); }));
            dialogFits = available().contains(d->frameGeometry());
            QTest::keyClick(d, Qt::Key_Escape);
        });
        QTest::mouseClick(button, Qt::LeftButton);
        overrideOperation(id, {});
        EXPECT_TRUE(dialogFits) << "the progress dialog does not fit the screen";
    }

    // The image chooser fits too.
    const std::vector<ChooserRow> rows = {{u"1"_qs, u"Windows 10 Pro"_qs, u"N/A"_qs}};
    ImageChooserDialog chooser(window.get(), globalContext().request, rows);
    chooser.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chooser));
    EXPECT_TRUE(available().contains(chooser.frameGeometry()));
    EXPECT_TRUE(globalRect(chooser.chooseButton()).intersects(available()));
}

// Runs the test above on each screen: 1366x768 at 1.5 and 1600x1000 at 2, each scaled by Qt
// and by the font resolution, two screens too small for the described window, and 1920x1080
// at 1, where the described size fits.
TEST(ScreenFit, EveryControlIsReachableOnSmallAndScaledScreens)
{
    if (inChild())
        GTEST_SKIP() << "the parent run";
    TempDir dir;
    for (const Screen& screen : kScreens) {
        const int dpi = screen.byFont ? int(96 * screen.scale) : 96;
        const QString config = dir.write(
            QStringLiteral("screen-%1-%2.json").arg(screen.width).arg(dpi),
            QStringLiteral("{\"screens\":[{\"name\":\"s\",\"x\":0,\"y\":0,\"width\":%1,"
                           "\"height\":%2,\"logicalDpi\":%3,\"logicalBaseDpi\":%3,\"dpr\":1}]}")
                .arg(screen.width)
                .arg(screen.height)
                .arg(dpi)
                .toUtf8());
        QString output;
        const int code = runThisProgram(
            u"ScreenFitChild.*"_qs,
            {{u"PELLORIC_FIT_SCREEN"_qs, screen.roomy ? u"roomy"_qs : u"small"_qs},
             {u"QT_QPA_PLATFORM"_qs, u"offscreen:configfile="_qs + config},
             {u"QT_SCALE_FACTOR"_qs, screen.byFont ? u"1"_qs : QString::number(screen.scale)}},
            &output);
        EXPECT_EQ(code, 0) << screen.width << "x" << screen.height << " at " << screen.scale
                           << (screen.byFont ? " (font)" : " (Qt)") << ":\n"
                           << output.toStdString();
        EXPECT_TRUE(output.contains(u"[  PASSED  ] 1 test"_qs)) << output.toStdString();
    }
}

// Check boxes and drop-down arrows follow a larger font: drawn with a font twice as large,
// the check box's indicator and the combo box's arrow are about twice as large.
TEST(LargerFont, CheckBoxesAndDropDownArrowsGrow)
{
    if (inChild())
        GTEST_SKIP() << "the parent run";
    auto indicatorWidth = [](QCheckBox& box) {
        QStyleOptionButton option;
        option.initFrom(&box);
        return box.style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, &box).width();
    };
    // The width of the arrow: the dark pixels inside the combo box's arrow part.
    auto arrowWidth = [](QComboBox& combo) {
        QStyleOptionComboBox option;
        option.initFrom(&combo);
        option.subControls = QStyle::SC_All;
        const QRect part = combo.style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                         QStyle::SC_ComboBoxArrow, &combo);
        const QImage image = combo.grab().toImage();
        int left = image.width(), right = -1;
        for (int y = part.top(); y <= part.bottom(); ++y) {
            for (int x = part.left(); x <= part.right(); ++x) {
                if (image.rect().contains(x, y) && qGray(image.pixel(x, y)) < 128) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
            }
        }
        return std::max(0, right - left + 1);
    };
    const QFont normal = QApplication::font();
    QFont large = normal;
    large.setPointSizeF(normal.pointSizeF() * 2);
    int indicator[2], arrow[2];
    for (int i = 0; i < 2; ++i) {
        QWidget holder;
        holder.setFont(i == 0 ? normal : large);
        QCheckBox box(u"校验"_qs, &holder);
        QComboBox combo(&holder);
        combo.addItem(u"快速"_qs);
        const int line = QFontMetrics(holder.font()).height();
        combo.setGeometry(0, 40, line * 8, line * 7 / 4);
        holder.resize(line * 10, line * 4);
        holder.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&holder));
        indicator[i] = indicatorWidth(box);
        arrow[i] = arrowWidth(combo);
    }
    EXPECT_GE(indicator[1], indicator[0] * 17 / 10) << indicator[0] << " -> " << indicator[1];
    EXPECT_GT(arrow[0], 3);
    EXPECT_GE(arrow[1], arrow[0] * 15 / 10) << arrow[0] << " -> " << arrow[1];
}
