#include "meta/XmlDocument.h"

#include "platform/XmlText.h"

#include <utility>

namespace
{

constexpr char16_t kByteOrderMark = 0xFEFF;

// ASCII white space plus the byte order mark, which may stand before and between elements.
bool isSpace(char16_t c)
{
    return c == u' ' || (c >= 0x09 && c <= 0x0D) || c == kByteOrderMark;
}

bool isNameDelimiter(char16_t c)
{
    switch (c) {
    case u'\'':
    case u'"':
    case u'=':
    case u'<':
    case u'>':
    case u'/':
    case u' ':
    case u'&':
    case u'#':
    case kByteOrderMark:
    case u'\t':
    case u'\n':
    case u'\r':
        return true;
    default:
        return false;
    }
}

bool isXmlChar(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Matches a reference starting at s[pos] == '&'. On success appends its character(s) to
// out and returns the length of the reference; returns 0 when it is no valid reference.
qsizetype decodeReference(QStringView s, qsizetype pos, QString& out)
{
    static const struct {
        QStringView name;
        char16_t ch;
    } named[] = {
        {u"amp;", u'&'}, {u"lt;", u'<'}, {u"gt;", u'>'}, {u"quot;", u'"'}, {u"apos;", u'\''}};
    const QStringView rest = s.mid(pos + 1);
    for (const auto& entity : named) {
        if (rest.startsWith(entity.name)) {
            out.append(QChar(entity.ch));
            return entity.name.size() + 1;
        }
    }
    if (rest.isEmpty() || rest[0] != u'#')
        return 0;
    qsizetype i = 1;
    int base = 10;
    if (i < rest.size() && rest[i] == u'x') {
        base = 16;
        ++i;
    }
    const qsizetype digitsStart = i;
    char32_t value = 0;
    for (; i < rest.size(); ++i) {
        const char16_t c = rest[i].unicode();
        int digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (base == 16 && c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (base == 16 && c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            break;
        value = value * base + digit;
        if (value > 0x10FFFF)
            return 0;
    }
    if (i == digitsStart || i >= rest.size() || rest[i] != u';' || !isXmlChar(value))
        return 0;
    const char32_t ucs4[] = {value};
    out.append(QString::fromUcs4(ucs4, 1));
    return i + 2; // '&', the characters up to ';', and ';'
}

QString decodeReferences(QStringView raw)
{
    if (!raw.contains(u'&'))
        return raw.toString();
    QString out;
    out.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size();) {
        if (raw[i] == u'&') {
            if (const qsizetype used = decodeReference(raw, i, out)) {
                i += used;
                continue;
            }
        }
        out.append(raw[i]);
        ++i;
    }
    return out;
}

// Whether XML can carry the element's name, attributes and text.
bool isXmlNode(const XmlNode& node)
{
    if (!isXmlText(node.name()) || !isXmlText(node.text()))
        return false;
    for (const XmlAttribute& attribute : node.attributes()) {
        if (!isXmlText(attribute.name) || !isXmlText(attribute.value))
            return false;
    }
    return true;
}

} // namespace

class XmlParser
{
public:
    explicit XmlParser(QStringView text) : text_(text) {}

    bool parseDocument(XmlNode& root)
    {
        if (!text_.isEmpty() && text_[0] == kByteOrderMark)
            pos_ = 1;
        return parseElement(root, 1);
    }

    bool parseElement(XmlNode& node, int depth);

private:
    bool atEnd() const { return pos_ >= text_.size(); }
    char16_t current() const { return atEnd() ? 0 : text_[pos_].unicode(); }
    // The character after the current one; 0 at or past the end.
    char16_t following() const { return pos_ + 1 < text_.size() ? text_[pos_ + 1].unicode() : 0; }
    void skipSpace()
    {
        while (!atEnd() && isSpace(text_[pos_].unicode()))
            ++pos_;
    }
    // Reads up to a name delimiter; false when the text ends first.
    bool readName(QStringView& name)
    {
        const qsizetype start = pos_;
        while (!atEnd() && !isNameDelimiter(text_[pos_].unicode()))
            ++pos_;
        if (atEnd())
            return false;
        name = text_.mid(start, pos_ - start);
        return true;
    }
    bool parseAttributes(XmlNode& node);

    QStringView text_;
    qsizetype pos_ = 0;
};

bool XmlParser::parseAttributes(XmlNode& node)
{
    for (;;) {
        skipSpace();
        if (atEnd())
            return false;
        if (current() == u'>' || current() == u'/')
            return true;
        QStringView name;
        if (!readName(name))
            return false;
        skipSpace();
        if (current() != u'=')
            return false;
        ++pos_;
        skipSpace();
        const char16_t quote = current();
        if (quote != u'\'' && quote != u'"')
            return false;
        ++pos_;
        const qsizetype start = pos_;
        while (!atEnd() && text_[pos_] != quote)
            ++pos_;
        if (atEnd())
            return false;
        const QStringView value = text_.mid(start, pos_ - start);
        ++pos_;
        node.setAttribute(name.toString(), decodeReferences(value));
    }
}

bool XmlParser::parseElement(XmlNode& node, int depth)
{
    if (depth > XmlDocument::maxDepth)
        return false;
    skipSpace();
    if (current() != u'<')
        return false;
    ++pos_;
    QStringView name;
    if (!readName(name))
        return false;
    const char16_t delimiter = current();
    if (delimiter == u' ' || delimiter == u'\t' || delimiter == u'\n' || delimiter == u'\r') {
        if (!parseAttributes(node))
            return false;
    }
    if (current() == u'/') {
        if (following() != u'>')
            return false;
        pos_ += 2;
        node.name_ = name.toString();
        return true;
    }
    if (current() != u'>')
        return false;
    ++pos_;
    node.name_ = name.toString();

    skipSpace();
    if (current() == u'<') {
        while (current() == u'<' && following() != u'/') {
            XmlNode* child = node.appendChild(std::make_unique<XmlNode>());
            if (!parseElement(*child, depth + 1))
                return false;
            skipSpace();
        }
    } else {
        const qsizetype start = pos_;
        while (!atEnd() && text_[pos_] != u'<')
            ++pos_;
        node.setText(decodeReferences(text_.mid(start, pos_ - start)));
    }

    if (current() != u'<' || following() != u'/')
        return false;
    pos_ += 2;
    const qsizetype start = pos_;
    while (!atEnd() && text_[pos_] != u'>')
        ++pos_;
    if (atEnd())
        return false;
    if (text_.mid(start, pos_ - start) != QStringView(node.name_))
        return false;
    ++pos_;
    return true;
}

XmlNode::XmlNode(QString name) : name_(std::move(name)) {}

XmlNode::~XmlNode()
{
    removeChildren();
}

XmlNode* XmlNode::findChild(QStringView name) const
{
    for (XmlNode* child = firstChild_; child; child = child->next_) {
        if (child->name_ == name)
            return child;
    }
    return nullptr;
}

XmlNode* XmlNode::appendChild(std::unique_ptr<XmlNode> child)
{
    if (!child)
        return nullptr;
    text_.clear();
    XmlNode* node = child.release();
    node->parent_ = this;
    node->previous_ = lastChild_;
    node->next_ = nullptr;
    if (lastChild_)
        lastChild_->next_ = node;
    else
        firstChild_ = node;
    lastChild_ = node;
    return node;
}

XmlNode* XmlNode::prependChild(std::unique_ptr<XmlNode> child)
{
    if (!child)
        return nullptr;
    text_.clear();
    XmlNode* node = child.release();
    node->parent_ = this;
    node->previous_ = nullptr;
    node->next_ = firstChild_;
    if (firstChild_)
        firstChild_->previous_ = node;
    else
        lastChild_ = node;
    firstChild_ = node;
    return node;
}

void XmlNode::setText(const QString& text)
{
    removeChildren();
    text_ = text;
}

void XmlNode::removeChildren()
{
    if (!firstChild_)
        return;
    // Unlink every descendant onto a work list before deleting it, so no destructor
    // recurses into a deep subtree.
    std::vector<XmlNode*> pending;
    for (XmlNode* child = firstChild_; child; child = child->next_)
        pending.push_back(child);
    firstChild_ = lastChild_ = nullptr;
    text_.clear();
    while (!pending.empty()) {
        XmlNode* node = pending.back();
        pending.pop_back();
        for (XmlNode* child = node->firstChild_; child; child = child->next_)
            pending.push_back(child);
        node->firstChild_ = node->lastChild_ = nullptr;
        delete node;
    }
}

void XmlNode::setAttribute(const QString& name, const QString& value)
{
    for (XmlAttribute& attribute : attributes_) {
        if (attribute.name == name) {
            attribute.value = value;
            return;
        }
    }
    attributes_.push_back({name, value});
}

bool isXmlText(QStringView text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() &&
            QChar::isLowSurrogate(text[i + 1].unicode()))
            ++i; // a pair: a character beyond the BMP
        else if (!isXmlChar(c))
            return false; // lone surrogates included
    }
    return true;
}

XmlDocument::XmlDocument() : root_(std::make_unique<XmlNode>()) {}

bool XmlDocument::parse(QStringView text)
{
    root_ = std::make_unique<XmlNode>();
    XmlParser parser(text);
    return parser.parseDocument(*root_);
}

bool XmlDocument::serialize(QString& out) const
{
    out.clear();
    out.append(QChar(kByteOrderMark));

    // Iterative walk: an entry either opens an element (and schedules its children and
    // its closing tag) or writes a closing tag.
    struct Step {
        const XmlNode* node;
        int indent;
        bool closing;
    };
    std::vector<Step> steps{{root_.get(), 0, false}};
    std::vector<const XmlNode*> children;
    while (!steps.empty()) {
        const Step step = steps.back();
        steps.pop_back();
        const XmlNode& node = *step.node;
        out.append(QString(step.indent, u' '));
        if (step.closing) {
            out.append(u"</").append(node.name()).append(u">\r\n");
            continue;
        }
        if (!isXmlNode(node)) {
            out.clear();
            return false;
        }
        out.append(u'<').append(node.name());
        for (const XmlAttribute& attribute : node.attributes()) {
            out.append(u' ').append(attribute.name).append(u"=\"");
            appendXmlEscaped(out, attribute.value, true);
            out.append(u'"');
        }
        if (node.hasChildren()) {
            out.append(u">\r\n");
            steps.push_back({&node, step.indent, true});
            children.clear();
            for (const XmlNode* child = node.firstChild(); child; child = child->nextSibling())
                children.push_back(child);
            for (auto it = children.rbegin(); it != children.rend(); ++it)
                steps.push_back({*it, step.indent + indentStep, false});
        } else if (!node.text().isEmpty()) {
            out.append(u'>');
            appendXmlEscaped(out, node.text(), false);
            out.append(u"</").append(node.name()).append(u">\r\n");
        } else {
            out.append(u" />\r\n");
        }
    }
    return true;
}

QString XmlDocument::serialize() const
{
    QString out;
    serialize(out);
    return out;
}
