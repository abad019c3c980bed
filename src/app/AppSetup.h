// Application-wide look: the interface font, the program icon, and the mapping of template
// geometry from dialog units to pixels.
#pragma once

#include <QFont>
#include <QIcon>
#include <QRect>

class QPlainTextEdit;
class QWidget;

// Picks a CJK-capable interface font ("WenQuanYi Micro Hei" when installed, else the first
// family that has Simplified Chinese glyphs) and the Fusion style, whose check boxes and
// drop-down arrows grow with a larger font, keeps Qt's file dialog from storing anything
// between runs, and installs the translations of the interface language. Call once after the
// QApplication exists.
void setUpApplication();

// Installs the translations of the process's interface language (GetProcessUILanguage). In
// English: the English catalogue of the page, dialog and chooser labels, and the system's
// locale for dates and sizes. In Chinese (every other locale): no catalogue, since the labels
// are written in Chinese, and Qt's own Chinese texts for its dialogs (file pickers, message
// box buttons) with the Chinese locale for their dates and sizes. Windows built afterwards
// speak that language; called by setUpApplication, and again after SetProcessUILanguage.
// Returns false when a catalogue could not be loaded (the program then shows Qt's English
// texts in its dialogs, or the source texts of the labels).
bool installTranslations();

// The program icon (a disc in a box), drawn at 16, 32 and 48 pixels.
QIcon appIcon();

// Dialog base units of a font: average character width and character height in pixels.
// One horizontal dialog unit is x / 4 pixels, one vertical unit y / 8.
struct DialogBaseUnits {
    int x = 0;
    int y = 0;
};
DialogBaseUnits dialogBaseUnits(const QFont& font);
QRect dialogToPixels(const QRect& dialogUnits, DialogBaseUnits units);

// Templates keep their geometry in dialog units. Converts the geometry of root (size only)
// and of every direct child widget to pixels, using root's font.
void mapTemplateToPixels(QWidget* root);

// The largest client area a top-level window on widget's screen can have: the screen's
// available area less the window's frame (as shown, or an estimate of a title bar and borders
// before the window manager has framed it).
QSize availableClientSize(const QWidget* widget);

// Puts the tab stops of a text box every 32 dialog units of its font, as an edit control has
// them, so that tab-separated columns line up.
void setEditTabStops(QPlainTextEdit* edit);
