// The main window: a dialog holding the tab control with the eight pages. Only the page of
// the selected tab exists; changing tabs saves the page being left into the request,
// destroys it, builds the new page and shows the request in it.
#pragma once

#include "app/ControlIds.h"
#include "ops/Context.h"

#include <QDialog>
#include <QScrollArea>
#include <QTabBar>
#include <QTabWidget>

class Page;
class ReportRunner;

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

// The area of one tab: the page at its template size, scrolled when the window is smaller
// than the page (a small screen, or a large scale). Its size hint is the whole page.
class PageArea : public QScrollArea {
    Q_OBJECT
public:
    explicit PageArea(const QSize& pageSize, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    // Nothing, so the window can be smaller than a page; the whole page while `whole` is set
    // (the tab control's own minimum size then tells the size the templates describe).
    QSize minimumSizeHint() const override;
    void setWholePageHint(bool whole) { whole_ = whole; }

private:
    bool whole_ = false;
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
    // The rectangle (main-window coordinates) in which pages are placed: the visible part of
    // the tab's page area.
    QRect displayRect() const;
    // The page area of tab `index`.
    PageArea* pageArea(int index) const { return areas_[index]; }

    // Builds the information report of `path` off this thread and shows it on the information
    // page (or keeps it for that page) when ready; a newer request supersedes an older one.
    void requestReport(const QString& path);
    // Drops a report still being built: the information page was given another file.
    void cancelReport();
    ReportRunner* reportRunner() const { return reports_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void switchPage(int index);
    void showReport(const QString& report, int xmlErrors);
    // The window's size: the size the templates describe when the screen has room for it,
    // else the screen's available area, in which the pages scroll.
    void fitToScreen();

    OperationContext& context_;
    TabControl* tabs_;
    PageArea* areas_[PAGE_COUNT] = {};
    QWidget* holders_[PAGE_COUNT] = {};
    Page* page_ = nullptr;
    ReportRunner* reports_ = nullptr;
    bool screenWatched_ = false;
};
