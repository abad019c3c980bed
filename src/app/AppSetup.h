// Application-wide look: the interface font, the program icon, and the mapping of template
// geometry from dialog units to pixels.
#pragma once

#include <QFont>
#include <QIcon>
#include <QRect>

class QWidget;

// Picks a CJK-capable interface font ("WenQuanYi Micro Hei" when installed, else the first
// family that has Simplified Chinese glyphs) and the Fusion style. Call once after the
// QApplication exists.
void setUpApplication();

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
