// The program's own small XML tree: elements, attributes and character data, nothing else
// (no declaration, comments, processing instructions, CDATA, document type or namespaces).
// It reads the imaging library's image information and writes it back in an indented form.
//
// Text and attribute values are held decoded: on parse the five predefined entities
// (&amp; &lt; &gt; &quot; &apos;) and numeric character references (&#N; &#xH;) are
// replaced by their characters; an '&' that starts no valid reference stays a literal '&'.
// On serialize '&', '<', '>' are escaped in text and '&', '<', '"' in attribute values, so
// any text set through the tree reads back unchanged. A tree with a character XML 1.0 cannot
// carry, not even as a reference (a control character other than TAB, LF and CR, U+FFFE,
// U+FFFF, a lone surrogate), in a name, an attribute or a text is not serialized at all:
// the output never holds such a character, and no value is changed behind its owner's back.
//
// Every document belongs to the thread that built it; nothing is shared.
#pragma once

#include <QString>
#include <QStringView>

#include <memory>
#include <vector>

// True when XML 1.0 can carry every character of `text` (see above).
bool isXmlText(QStringView text);

struct XmlAttribute {
    QString name;
    QString value;
};

// One element. Owns its children and attributes. An element that has children has empty
// text: adding a child clears the text, setting the text removes the children.
// Destruction is iterative, so a tree of any depth can be destroyed.
class XmlNode
{
public:
    explicit XmlNode(QString name = {});
    ~XmlNode();
    XmlNode(const XmlNode&) = delete;
    XmlNode& operator=(const XmlNode&) = delete;

    const QString& name() const { return name_; }
    const QString& text() const { return text_; }
    XmlNode* parent() const { return parent_; }
    XmlNode* firstChild() const { return firstChild_; }
    XmlNode* lastChild() const { return lastChild_; }
    XmlNode* previousSibling() const { return previous_; }
    XmlNode* nextSibling() const { return next_; }
    bool hasChildren() const { return firstChild_ != nullptr; }
    // Attributes in the order in which each name was first set.
    const std::vector<XmlAttribute>& attributes() const { return attributes_; }

    // The first direct child (document order) whose name equals `name` exactly
    // (case-sensitive); grandchildren are not searched. Null when there is none.
    XmlNode* findChild(QStringView name) const;
    // Clear this element's text and link `child` after the last child (before the first
    // for prependChild). The tree takes ownership; returns the linked child. A null child
    // is ignored and returns null.
    XmlNode* appendChild(std::unique_ptr<XmlNode> child);
    XmlNode* prependChild(std::unique_ptr<XmlNode> child);
    // Removes all children, then sets the text.
    void setText(const QString& text);
    // Destroys every child; afterwards there are no children and the text is empty. An
    // element without children is left unchanged.
    void removeChildren();
    // Replaces the value of the attribute with exactly this name (it keeps its place) or
    // appends a new attribute.
    void setAttribute(const QString& name, const QString& value);

private:
    friend class XmlParser;

    QString name_;
    QString text_;
    std::vector<XmlAttribute> attributes_;
    XmlNode* parent_ = nullptr;
    XmlNode* firstChild_ = nullptr; // owned, with every following sibling
    XmlNode* lastChild_ = nullptr;
    XmlNode* previous_ = nullptr;
    XmlNode* next_ = nullptr;
};

class XmlDocument
{
public:
    // Spaces added per nesting level when serializing.
    static constexpr int indentStep = 2;
    // Deepest element nesting parse accepts (the root element is level 1). Deeper input is
    // refused so hostile text cannot exhaust the stack.
    static constexpr int maxDepth = 256;

    // A document whose root has an empty name, no text, attributes or children.
    XmlDocument();

    XmlNode& root() { return *root_; }
    const XmlNode& root() const { return *root_; }

    // Discards the current tree and builds a new one from `text`; a leading U+FEFF is
    // skipped. Returns whether the text was accepted; on failure the tree holds whatever
    // was built so far and should be discarded. Reports nothing else (no log, no box).
    // Whatever follows the root element's end tag is not examined. Never reads beyond the
    // end of `text`.
    bool parse(QStringView text);
    // Clears `out`, then writes U+FEFF and the root element at indentation 0: one element
    // per line, each line ending in CR LF, children indented by indentStep spaces, an
    // element without text and children in the "<NAME />" form. Returns false, with `out`
    // empty, when a name, attribute or text of the tree is not isXmlText.
    bool serialize(QString& out) const;
    // As above; empty on failure.
    QString serialize() const;

private:
    std::unique_ptr<XmlNode> root_;
};
