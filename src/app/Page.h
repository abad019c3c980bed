// One tab page of the main window, built from its template. A page keeps no state of its
// own: its values live in the OperationRequest, stored by savePageSettings when the page is
// left or an operation starts, and shown again by showPageSettings.
#pragma once

#include "app/ControlIds.h"
#include "ops/Context.h"

#include <QWidget>

#include <memory>

class PageExtension;
class UpDown;

class Page : public QWidget, public PagePort {
    Q_OBJECT
public:
    // Builds page `pageIndex` (PageIndex) as a child of parent; mainWindow owns the dialogs
    // the page opens.
    Page(int pageIndex, QWidget* mainWindow, QWidget* parent = nullptr);
    ~Page() override;

    int pageIndex() const { return pageIndex_; }

    // Controls of the page → request fields of this page. Nothing for the About page.
    void savePageSettings(OperationRequest& request) const;
    // Request fields → controls: texts, fixed lists, index boxes, check boxes, and for the
    // mount page the mounted-image list.
    void showPageSettings(const OperationRequest& request);

    // What the page's button `controlId` does (browse, chooser, report, operation start).
    void runPageCommand(int controlId);

    // Gives the keyboard focus to the page's first control that takes it (the default focus
    // of a dialog page): on entry, and when the progress dialog or the image chooser closes.
    void focusFirstControl();

    // The control with id `controlId` of this page, or nullptr.
    QWidget* control(int controlId) const;
    template <class T> T* control(int controlId) const
    {
        return qobject_cast<T*>(control(controlId));
    }

    // PagePort: refreshes the mounted-image list (mount page only). Any thread; the list is
    // refreshed on the user-interface thread.
    void postMountListRefresh() override;

private:
    // Buttons routed by id (none a default button), whole-length edits, path drops, the
    // report's tab stops, index boxes and lists.
    void setUpControls();
    // Runs `picker` (Page.cpp's Picker) on the text of edit `editId`; a chosen path replaces
    // the text, a cancel leaves it.
    void browse(int editId, int picker);
    void chooseImage(int sourceId, int upDownId);
    void runOperation(int operationId);
    void startUnmount();
    void runReport();
    void clearReport();
    void refreshListNow();

    const int pageIndex_;
    QWidget* mainWindow_;
    // The toolbox pages' own controls, fields and commands (ToolboxPages.h); null elsewhere.
    std::unique_ptr<PageExtension> extension_;
};

// The fixed item lists of the drop-down boxes.
QStringList compressionItems(); // Text::CompressionNone, CompressionFast, CompressionMaximum
QStringList skuItems();         // nine SKU names and an empty item
