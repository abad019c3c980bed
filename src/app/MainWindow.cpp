#include "app/MainWindow.h"

#include "app/AppSetup.h"
#include "app/ControlIds.h"
#include "app/Page.h"
#include "ops/Text.h"

#include <QApplication>
#include <QStyleOptionFocusRect>
#include <QStyleOptionTab>
#include <QStylePainter>

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

MainWindow::MainWindow(OperationContext& context)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      context_(context), tabs_(new TabControl(this))
{
    setWindowTitle(QStringLiteral("Pelloric v2.0.17"));
    setWindowIcon(appIcon());

    const DialogBaseUnits units = dialogBaseUnits(font());
    const int marginX = units.x / 4;
    const int marginY = units.y / 8;

    // The display area is the largest page; every page template has the same size.
    static const Text::Id labels[PAGE_COUNT] = {
        Text::Capture, Text::Apply,  Text::Information, Text::Modify,   Text::Mount, Text::Delete,
        Text::Export,  Text::Browse, Text::Split,       Text::Maintain, Text::About};
    QSize display = dialogToPixels(QRect(0, 0, 338, 239), units).size();
    for (int i = 0; i < PAGE_COUNT; ++i) {
        containers_[i] = new QWidget;
        containers_[i]->setFixedSize(display);
        tabs_->addTab(containers_[i], loadString(labels[i]));
    }
    tabs_->setFocusPolicy(Qt::TabFocus);
    tabs_->move(marginX, marginY);
    tabs_->resize(tabs_->sizeHint().expandedTo(tabs_->minimumSizeHint()));
    setFixedSize(tabs_->x() + tabs_->width() + marginX, tabs_->y() + tabs_->height() + marginY);

    connect(tabs_, &QTabWidget::currentChanged, this, &MainWindow::switchPage);
    switchPage(tabs_->currentIndex());
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
    page_ = new Page(index, this, containers_[index]);
    page_->move(0, 0);
    page_->show();
    context_.pageWindow.store(page_);
    page_->showPageSettings(context_.request);

    // When the focus was in the page being left (Ctrl+Tab from a control, or a click on a
    // tab), the tab widget parks it on the bare page area, where typed keys go nowhere. The
    // new page's first control takes it instead, as a dialog page gives focus on entry.
    QWidget* focus = QApplication::focusWidget();
    if (focus && focus == containers_[index]) {
        for (QWidget* w = page_->nextInFocusChain(); w != page_; w = w->nextInFocusChain()) {
            if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && w->isVisibleTo(page_) &&
                page_->isAncestorOf(w)) {
                w->setFocus(Qt::TabFocusReason);
                break;
            }
        }
    }
}
