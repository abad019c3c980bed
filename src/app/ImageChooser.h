// The image chooser behind every "选择..." button: lists the images of
// request.chooserWimPath and lets the user pick one into request.chooserIndex.
#pragma once

#include "ops/Context.h"

#include <QDialog>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

class QTreeWidget;
class QPushButton;
class QWidget;

// Opens the chooser modally over owner; returns when it has closed. Its only effect is the
// new value of request.chooserIndex. Does nothing when the file cannot be read; shows the
// XML error box (Text::XmlParseFailed, caption Text::Information) over owner when the file's XML
// cannot be parsed or lists fewer images than the file holds. Returns whether a dialog (the
// chooser or the box) was shown. User-interface thread only.
bool openImageChooser(QWidget* owner, OperationRequest& request);

// The XML error box: Text::XmlParseFailed with caption Text::Information and the error icon, modal
// over owner. The information page passes it to buildWimReport for images whose XML cannot be read.
void showXmlErrorMessage(QWidget* owner);

// One row of the chooser: the image's number and its NAME and DESCRIPTION texts ("N/A"
// when missing; longer texts cut to 259 characters).
struct ChooserRow {
    QString number;
    QString name;
    QString description;
};

enum class ChooserLoad {
    Loaded,      // rows filled, one per image of the file
    Unreadable,  // the file, its attributes or its XML could not be read: show nothing
    XmlRejected, // the XML does not parse or has too few IMAGE elements: show the XML box
};

// Reads the rows of the file at wimPath (made a full path first). Any thread.
ChooserLoad readChooserRows(const QString& wimPath, std::vector<ChooserRow>& rows);
// The rows from the whole file's XML: one per image up to imageCount, from the root's
// IMAGE children in document order. XmlRejected when the text does not parse or holds
// fewer IMAGE children; IMAGE children beyond the count are not listed.
ChooserLoad chooserRowsFromXml(const QString& xml, std::uint32_t imageCount,
                               std::vector<ChooserRow>& rows);

// The chooser dialog over given rows. Only "选择" ends it: Escape and the close command
// are ignored. Pressing "选择" stores the selected row's number in request.chooserIndex
// (unchanged with no selection) and ends the dialog with result 0.
class ImageChooserDialog : public QDialog
{
public:
    ImageChooserDialog(QWidget* owner, OperationRequest& request,
                       const std::vector<ChooserRow>& rows);

    QTreeWidget* list() const { return list_; }
    QPushButton* chooseButton() const { return chooseButton_; }

    void reject() override;

private:
    void choose();

    OperationRequest& request_;
    QTreeWidget* list_ = nullptr;
    QPushButton* chooseButton_ = nullptr;
};
