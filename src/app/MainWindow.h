// The main window: a dialog holding the tab control with the eight pages. Only the page of
// the selected tab exists; changing tabs saves the page being left into the request,
// destroys it, builds the new page and shows the request in it.
#pragma once

#include "app/ControlIds.h"
#include "ops/Context.h"

#include <QDialog>
#include <QTabBar>
#include <QTabWidget>

class Page;

// Tab labels drawn the same whether selected or not: the button-face colour behind the
// text, the text at (left + 4, top + 2); only the tab frame shows the selection.
class PlainTabBar : public QTabBar {
    Q_OBJECT
public:
    explicit PlainTabBar(QWidget* parent = nullptr);

protected:
    QSize tabSizeHint(int index) const override;
    void paintEvent(QPaintEvent* event) override;
};

class TabControl : public QTabWidget {
    Q_OBJECT
public:
    explicit TabControl(QWidget* parent = nullptr);
};

class MainWindow : public QDialog {
    Q_OBJECT
public:
    // Builds the window and shows the first page (capture).
    explicit MainWindow(OperationContext& context = globalContext());
    ~MainWindow() override;

    QTabWidget* tabControl() const { return tabs_; }
    // The page now shown.
    Page* currentPage() const { return page_; }
    // The rectangle (main-window coordinates) in which pages are placed.
    QRect displayRect() const;

private:
    void switchPage(int index);

    OperationContext& context_;
    TabControl* tabs_;
    QWidget* containers_[PAGE_COUNT] = {};
    Page* page_ = nullptr;
};
