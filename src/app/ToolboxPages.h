// The pages beyond the described eight, between 导出 and 关于: browse and extract (BrowsePage.cpp),
// split and join, optimize and verify (ToolboxPages.cpp). Each is a Page built from its own
// template, whose controls (ids from 1100 up), request fields and commands its extension
// handles; the described pages have none.
#pragma once

#include "ops/Context.h"

#include <QString>

#include <memory>

class Page;
class QWidget;

class PageExtension {
public:
    virtual ~PageExtension() = default;
    // Once the template's geometry is in pixels: index boxes, lists, command routing, drops.
    virtual void setUp() = 0;
    // The page's controls → its request fields.
    virtual void save(OperationRequest& request) const = 0;
    // Request fields → controls.
    virtual void show(const OperationRequest& request) = 0;
    // What button `id` does (browse, chooser, operation start, showing the image).
    virtual void runCommand(int id) = 0;
};

// Builds the template of toolbox page `pageIndex` (PAGE_BROWSE, PAGE_SPLIT, PAGE_MAINTAIN) into
// `page` and returns its extension; mainWindow owns the dialogs the page opens.
std::unique_ptr<PageExtension> makePageExtension(int pageIndex, Page& page, QWidget* mainWindow);
std::unique_ptr<PageExtension> makeBrowsePage(Page& page, QWidget* mainWindow);

// ---- what the toolbox pages share -----------------------------------------------------------
enum class ToolboxPicker {
    ImageToOpen,     // a WIM, ESD or first split part (*.wim *.esd *.swm)
    SplitPartToOpen, // a first split part (*.swm)
    SplitPartToSave, // the first part of a new split set (*.swm)
    WimToSave,       // pickWimToSave
    Folder,          // pickFolder
};
// Runs the picker on `path`; true (and `path` replaced) when the user chose one.
bool runToolboxPicker(QWidget* owner, QString& path, ToolboxPicker picker);
// Routes the clicks of the page's buttons with ids from 1100 up to Page::runPageCommand.
void routeToolboxButtons(Page& page);
// Saves the page into the process's request and runs the progress dialog for `operationId`.
void startToolboxOperation(Page& page, QWidget* mainWindow, int operationId);
