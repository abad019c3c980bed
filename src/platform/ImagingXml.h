// The imaging layer's view of a WIM's XML (one element tree per image, kept beside libwim's
// own document), and how a change of it is carried into libwim's properties.
#pragma once

#include <wimlib.h>

#include <QString>

#include <utility>
#include <vector>

namespace imaging {

// One element as the file holds it: its qualified name (prefix included), its attributes in
// stored order (namespace declarations included), its text and child elements. Text mixed
// between child elements is kept as one text before the children, and so are comments
// (`comments`); whitespace between elements and processing instructions are not kept (libwim
// keeps them in its own document, and the layer's own write keeps the stored text).
struct XmlElem {
    QString name;
    std::vector<std::pair<QString, QString>> attrs;
    QString text;
    std::vector<XmlElem> children;
    bool emptyForm = false; // stored as <NAME/>; only for an element without text and children
    // The comments inside the element, as written ("<!--...-->" each). They go out with the
    // element's text, so a reader that knows no comments (the program's tree) refuses it.
    QString comments;
    // The name libwim's property paths know the element by: the local name when its prefix is
    // declared, else the qualified name. Empty means `name`.
    QString pathName;
    // Where the element stands in the text it was parsed from, in characters: [start, end)
    // its whole markup, [contentStart, contentEnd) what lies between its tags (empty for
    // <NAME/>). -1 for elements made in memory.
    qsizetype start = -1;
    qsizetype end = -1;
    qsizetype contentStart = -1;
    qsizetype contentEnd = -1;
};

// Parses a whole document into root, without namespace processing (prefixes stay part of the
// names, declarations stay attributes). A text that is not well-formed only because of bare
// '&' or '<' characters in values is read with those characters taken literally (its
// elements then hold no positions). Returns false for anything else that does not parse, and for nesting
// deeper than 256 levels.
bool parseXml(const QString& text, XmlElem& root);
// Compact serialization (no indentation), values escaped ('&', '<', '>' everywhere, '"' in
// attributes), an element without text and children in the form it was stored in.
// indexAttr, when not null, is written as the value of the INDEX attribute (added first when
// the element has none).
void serializeXml(const XmlElem& elem, QString& out, const QString* indexAttr = nullptr);
// Whether a text written back as `want` leaves the stored `have` as it is: the program's XML
// tree reads a text without its leading white space.
bool unchangedText(const QString& have, const QString& want);
// `text` without the white space the program's XML tree skips before a text.
QStringView withoutLeadingSpace(const QString& text);
// The start tag of `elem` ("<NAME a=\"v\"", without its closing '>').
void writeStartTag(const XmlElem& elem, QString& out, const QString* indexAttr);
// The text `stored` (an element parsed from `text`, with positions) has in `text` once it is
// changed to `now` the way libwim changes its own document (syncImageElements): elements
// whose place was kept (they hold their positions) keep their markup, attributes and the
// white space and comments around them, with a changed text written anew; elements `now`
// lacks are left out; elements made in memory are added before the end tag.
void writeChangedElement(const QString& text, const XmlElem& stored, const XmlElem& now,
                         QString& out);
// UTF-16LE bytes to text; a leading byte-order mark is dropped, the text stops at a NUL.
QString fromUtf16Le(const void* bytes, std::size_t size);

// The view of an image from what libwim reports through its properties (for a WIM whose
// XML cannot be read, and for an image just added in memory).
XmlElem imageFromProperties(WIMStruct* wim, int image);

// Elements of an image's information that libwim keeps up to date itself.
bool isMaintainedElement(const QString& name);

// `given` as the new information elements of an image whose view holds `current`: the
// elements libwim maintains keep libwim's values (a given one takes the value of current's
// element of the same name and rank and is dropped when current has none; one given leaves
// out stays, behind the element it follows in current).
std::vector<XmlElem> withMaintainedElements(const std::vector<XmlElem>& current,
                                            std::vector<XmlElem> given);

// Changes the information elements of image `image` in libwim's document from `live` (what
// libwim holds, as the view shows it) to `want`, through libwim's property paths ("NAME[1]",
// "WINDOWS[1]/VERSION[1]/BUILD[1]"), which also lets images share a NAME. An element is
// matched by name and rank among its same-named siblings. libwim can only change an
// element's text and append elements, so:
// - the longest leading run of `want` that libwim holds in that order is changed in place:
//   only elements whose text differs are written (text compared without leading white space),
//   and each keeps its place, attributes, prefix and namespace declarations;
// - everything behind that run is removed and appended again in the wanted order; elements
//   libwim makes carry no attributes, and libwim writes an element without content as
//   <NAME/>.
// `live` is updated to what libwim then holds; *changed (when given) tells whether anything
// was written. On failure libwim's elements are put back as they were, as far as libwim
// allows, `live` shows the result and the libwim error code is returned.
int syncImageElements(WIMStruct* wim, int image, std::vector<XmlElem>& live,
                      const std::vector<XmlElem>& want, bool* changed = nullptr);

// wimlib_export_image of one image, with the image's information kept as the source holds
// it: its NAME stays in place (wimlib_export_image with WIMLIB_EXPORT_FLAG_NO_NAMES drops it,
// and a name given back afterwards lands at the end), also when `dest` has an image of that
// name. `flags` are wimlib_export_image's.
int exportImageKeepingInformation(WIMStruct* src, int srcImage, WIMStruct* dest, int flags);

} // namespace imaging
