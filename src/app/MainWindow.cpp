#include "app/MainWindow.h"

#include "app/AppSetup.h"
#include "app/ControlIds.h"
#include "app/ImageChooser.h"
#include "app/Page.h"
#include "app/ReportRunner.h"
#include "ops/Text.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QScreen>
#include <QStyleOptionFocusRect>
#include <QStyleOptionTab>
#include <QStylePainter>
#include <QWindow>

#include <algorithm>

PlainTabBar::PlainTabBar(QWidget* parent) : QTabBar(parent)
{
    setDrawBase(true);
    setExpanding(false);
}

QSize PlainTabBar::tabSizeHint(int index) const
{
    // One common item height; the width fits the label with the drawing offsets.
    const QFontMetrics fm(font());
    return QSize(fm.horizontalAdvance(tabText(index)) + 4 + 10, fm.height() + 2 + 6);
}

void PlainTabBar::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    const QColor face = palette().color(QPalette::Button);
    const QColor text = palette().color(QPalette::ButtonText);
    // The selected tab last, so its frame overlaps its neighbours as the style intends.
    auto drawTab = [&](int i) {
        QStyleOptionTab option;
        initStyleOption(&option, i);
        option.text.clear();
        option.icon = QIcon();
        painter.drawControl(QStyle::CE_TabBarTabShape, option);
        const QRect item = tabRect(i);
        painter.fillRect(item.adjusted(2, 2, -2, -1), face);
        painter.setPen(text);
        painter.drawText(
            QRect(item.left() + 4, item.top() + 2, item.width() - 4, item.height() - 2),
            Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, tabText(i));
    };
    for (int i = 0; i < count(); ++i) {
        if (i != currentIndex())
            drawTab(i);
    }
    if (currentIndex() < 0)
        return;
    drawTab(currentIndex());
    // The focus frame inside the selected tab, as the platform's tab control draws it while
    // the control has the keyboard focus (the style decides when the frame is visible).
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = tabRect(currentIndex()).adjusted(3, 3, -3, -3);
        focus.backgroundColor = face;
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}

TabControl::TabControl(QWidget* parent) : QTabWidget(parent)
{
    setTabBar(new PlainTabBar(this));
    setObjectName(controlName(1001));
}

PageArea::PageArea(const QSize& pageSize, QWidget* parent) : QScrollArea(parent)
{
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(false);
    // The area itself takes no focus: Tab goes from control to control of the page.
    setFocusPolicy(Qt::NoFocus);
    auto* holder = new QWidget;
    holder->setFixedSize(pageSize);
    setWidget(holder);
    // Never larger than the page: the page fills the area whenever the window has room.
    setMaximumSize(pageSize);
}

QSize PageArea::sizeHint() const
{
    return widget()->size();
}

QSize PageArea::minimumSizeHint() const
{
    return whole_ ? widget()->size() : QSize(0, 0);
}

MainWindow::MainWindow(OperationContext& context)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      context_(context), tabs_(new TabControl(this)), reports_(new ReportRunner(this))
{
    setWindowTitle(QStringLiteral("Pelloric v2.0.17"));
    setWindowIcon(appIcon());

    // The display area is the largest page; every page template has the same size.
    static const Text::Id labels[PAGE_COUNT] = {
        Text::Capture, Text::Apply,  Text::Information, Text::Modify,   Text::Mount, Text::Delete,
        Text::Export,  Text::Browse, Text::Split,       Text::Maintain, Text::About};
    const QSize display = dialogToPixels(QRect(0, 0, 338, 239), dialogBaseUnits(font())).size();
    for (int i = 0; i < PAGE_COUNT; ++i) {
        areas_[i] = new PageArea(display);
        holders_[i] = areas_[i]->widget();
        tabs_->addTab(areas_[i], loadString(labels[i]));
    }
    tabs_->setFocusPolicy(Qt::TabFocus);
    fitToScreen();

    connect(reports_, &ReportRunner::ready, this,
            [this](std::uint64_t number, const QString& report, int xmlErrors) {
                // The error boxes first, as the report meets each image; a newer request made
                // while a box was open wins.
                for (int i = 0; i < xmlErrors && reports_->isLatest(number); ++i)
                    showXmlErrorMessage(this);
                if (reports_->isLatest(number))
                    showReport(report, xmlErrors);
            });
    connect(tabs_, &QTabWidget::currentChanged, this, &MainWindow::switchPage);
    switchPage(tabs_->currentIndex());
}

void MainWindow::fitToScreen()
{
    const DialogBaseUnits units = dialogBaseUnits(font());
    const int marginX = units.x / 4;
    const int marginY = units.y / 8;
    for (PageArea* area : areas_)
        area->setWholePageHint(true);
    const QSize described = tabs_->sizeHint().expandedTo(tabs_->minimumSizeHint());
    for (PageArea* area : areas_)
        area->setWholePageHint(false);
    const QSize room = availableClientSize(this) - QSize(2 * marginX, 2 * marginY);
    tabs_->move(marginX, marginY);
    tabs_->resize(described.boundedTo(room));
    setFixedSize(tabs_->x() + tabs_->width() + marginX, tabs_->y() + tabs_->height() + marginY);
}

void MainWindow::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // Framed now: fit again with the real frame, and whenever the window moves to another
    // screen; a window that reaches past its screen's available area moves into it.
    fitToScreen();
    if (!screenWatched_ && windowHandle()) {
        screenWatched_ = true;
        connect(windowHandle(), &QWindow::screenChanged, this, [this] { fitToScreen(); });
    }
    if (const QScreen* shown = screen()) {
        const QRect available = shown->availableGeometry();
        const QRect frame = frameGeometry();
        if (!available.contains(frame)) {
            QPoint to = frame.topLeft();
            to.setX(std::clamp(to.x(), available.left(),
                               std::max(available.left(), available.right() - frame.width() + 1)));
            to.setY(std::clamp(to.y(), available.top(),
                               std::max(available.top(), available.bottom() - frame.height() + 1)));
            move(to);
        }
    }
}

MainWindow::~MainWindow()
{
    if (page_) {
        context_.pageWindow.store(nullptr);
        delete page_;
    }
}

QRect MainWindow::displayRect() const
{
    QWidget* shown = tabs_->currentWidget();
    return QRect(shown->mapTo(this, QPoint(0, 0)), shown->size());
}

void MainWindow::requestReport(const QString& path)
{
    if (page_ && page_->pageIndex() == PAGE_INFO) {
        if (auto* box = page_->control<QPlainTextEdit>(IDC_INFO_REPORT))
            box->setPlainText(loadString(Text::OpeningWim));
    }
    reports_->request(path);
}

void MainWindow::cancelReport()
{
    reports_->cancel();
}

void MainWindow::showReport(const QString& report, int)
{
    // On the information page when it is shown; else kept for it, as leaving it would have.
    if (page_ && page_->pageIndex() == PAGE_INFO) {
        if (auto* box = page_->control<QPlainTextEdit>(IDC_INFO_REPORT)) {
            box->setPlainText(report);
            return;
        }
    }
    context_.request.infoText = report;
}

void MainWindow::switchPage(int index)
{
    if (page_) {
        page_->savePageSettings(context_.request);
        context_.pageWindow.store(nullptr);
        delete page_;
        page_ = nullptr;
    }
    if (index < 0 || index >= PAGE_COUNT)
        return;
    areas_[index]->ensureVisible(0, 0);
    page_ = new Page(index, this, holders_[index]);
    page_->move(0, 0);
    page_->show();
    context_.pageWindow.store(page_);
    page_->showPageSettings(context_.request);

    // The new page's first control takes the focus, as a dialog page gives focus on entry;
    // only a user stepping through the tabs with the arrow keys keeps it on the tab bar.
    if (QApplication::focusWidget() != tabs_->tabBar())
        page_->focusFirstControl();
}
