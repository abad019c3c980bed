// The imaging layer's view of a WIM's XML, and how it is carried into libwim's properties.
#include "ImagingXml.h"
#include "XmlText.h"

#include <QXmlStreamReader>

#include <algorithm>
#include <functional>
#include <map>

namespace imaging {
namespace {

constexpr int kMaxDepth = 256;

// Prefixes declared on the element's ancestors or itself; "xml" is always bound.
using Scope = std::vector<QString>;

QString declaredPrefix(const QString& attrName)
{
    return attrName.startsWith(QLatin1String("xmlns:")) ? attrName.mid(6) : QString();
}

// The name libxml2 gives an element: the local name when its prefix is bound, else the
// qualified name as written.
QString libraryName(const QString& name, const Scope& scope)
{
    const qsizetype colon = name.indexOf(u':');
    if (colon <= 0)
        return name;
    const QString prefix = name.left(colon);
    if (prefix == QLatin1String("xml") ||
        std::find(scope.begin(), scope.end(), prefix) != scope.end())
        return name.mid(colon + 1);
    return name;
}

bool parseElement(QXmlStreamReader& r, XmlElem& e, int depth, Scope& scope)
{
    e.name = r.qualifiedName().toString();
    const std::size_t scopeSize = scope.size();
    for (const QXmlStreamAttribute& a : r.attributes()) {
        e.attrs.emplace_back(a.qualifiedName().toString(), a.value().toString());
        const QString prefix = declaredPrefix(e.attrs.back().first);
        if (!prefix.isEmpty())
            scope.push_back(prefix);
    }
    e.pathName = libraryName(e.name, scope);
    // <NAME/> ends where it starts; <NAME></NAME> has an end tag of its own.
    const qint64 startOffset = r.characterOffset();
    while (!r.atEnd()) {
        switch (r.readNext()) {
        case QXmlStreamReader::StartElement:
            if (depth >= kMaxDepth)
                return false;
            e.children.emplace_back();
            if (!parseElement(r, e.children.back(), depth + 1, scope))
                return false;
            break;
        case QXmlStreamReader::Characters:
            e.text += r.text();
            break;
        case QXmlStreamReader::Comment:
            e.comments += QStringLiteral("<!--") + r.text().toString() + QStringLiteral("-->");
            break;
        case QXmlStreamReader::EndElement:
            if (!e.children.empty() && e.text.trimmed().isEmpty())
                e.text.clear();
            e.emptyForm =
                e.children.empty() && e.text.isEmpty() && r.characterOffset() == startOffset;
            scope.resize(scopeSize);
            return true;
        default:
            break;
        }
    }
    return false;
}

void clearPositions(XmlElem& e)
{
    e.start = e.end = e.contentStart = e.contentEnd = -1;
    for (XmlElem& c : e.children)
        clearPositions(c);
}

#if defined(__x86_64__)
__attribute__((target("avx"))) void zeroUpperVectorHalves()
{
    __builtin_ia32_vzeroupper();
}
#endif

// Qt's XML reader (6.4) returns with the upper halves of the AVX registers in use. Until
// something clears them, the SSE instructions this thread runs wait on them, libwim's among
// them: after the open's XML parse, its walk of a 100 000-file image took 60 ms instead of
// 38, and a capture of as many tiny files 4% longer. Called when the reader is done.
void clearUpperVectorState()
{
#if defined(__x86_64__)
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx)
        zeroUpperVectorHalves();
#endif
}

bool parseStrict(const QString& text, XmlElem& root)
{
    QXmlStreamReader r(text);
    // libwim's parser reads an undeclared prefix as part of the name; so does the view.
    r.setNamespaceProcessing(false);
    while (!r.atEnd()) {
        const auto t = r.readNext();
        if (t == QXmlStreamReader::StartElement) {
            root = XmlElem();
            Scope scope;
            if (!parseElement(r, root, 1, scope))
                return false;
            // Only comments, processing instructions and white space may follow.
            while (!r.atEnd())
                r.readNext();
            return !r.hasError();
        }
        if (r.hasError())
            return false;
    }
    return false;
}

bool isNameStart(QChar c)
{
    return c.isLetter() || c == u'_' || c == u':';
}

// Escapes '&' that start no entity reference and '<' that start no markup.
QString repairBareMarkup(const QString& text)
{
    QString out;
    out.reserve(text.size() + 16);
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c == u'&') {
            qsizetype j = i + 1;
            bool ok = false;
            if (j < n && text[j] == u'#') {
                ++j;
                const bool hex = j < n && (text[j] == u'x' || text[j] == u'X');
                if (hex)
                    ++j;
                const qsizetype start = j;
                while (j < n && (hex ? isxdigit(text[j].toLatin1()) : text[j].isDigit()))
                    ++j;
                ok = j > start && j < n && text[j] == u';';
            } else if (j < n && isNameStart(text[j])) {
                while (j < n && (text[j].isLetterOrNumber() || text[j] == u'_' || text[j] == u'-' ||
                                 text[j] == u'.' || text[j] == u':'))
                    ++j;
                ok = j < n && text[j] == u';';
            }
            out += ok ? QStringView(u"&") : QStringView(u"&amp;");
        } else if (c == u'<') {
            const QChar d = i + 1 < n ? text[i + 1] : QChar();
            const bool markup = isNameStart(d) || d == u'/' || d == u'!' || d == u'?';
            out += markup ? QStringView(u"<") : QStringView(u"&lt;");
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

QStringView withoutLeadingSpace(const QString& text)
{
    QStringView v(text);
    while (!v.isEmpty() && (v.front() == u' ' || (v.front() >= u'\t' && v.front() <= u'\r') ||
                            v.front() == QChar(0xFEFF)))
        v = v.mid(1);
    return v;
}

bool unchangedText(const QString& have, const QString& want)
{
    return want == have || want == withoutLeadingSpace(have);
}

// "<NAME" and the attributes; indexAttr replaces the value of INDEX (added first if missing).
void writeStartTag(const XmlElem& e, QString& out, const QString* indexAttr)
{
    const auto attribute = [&out](const QString& name, const QString& value) {
        out += u' ';
        out += name;
        out += u"=\"";
        appendXmlEscaped(out, value, true);
        out += u'"';
    };
    const auto isIndex = [](const auto& a) { return a.first == QLatin1String("INDEX"); };
    out += u'<';
    out += e.name;
    if (indexAttr && std::none_of(e.attrs.begin(), e.attrs.end(), isIndex))
        attribute(QStringLiteral("INDEX"), *indexAttr);
    for (const auto& a : e.attrs)
        attribute(a.first, indexAttr && isIndex(a) ? *indexAttr : a.second);
}

namespace {

// The end of the markup that starts at `at` (a '<'): just past its closing '>', the quoted
// values of a start tag skipped. -1 when it does not end.
qsizetype markupEnd(const QString& text, qsizetype at)
{
    const QStringView rest = QStringView(text).mid(at);
    const auto after = [&](QStringView close) {
        const qsizetype found = rest.indexOf(close);
        return found < 0 ? -1 : at + found + close.size();
    };
    if (rest.startsWith(u"<!--"))
        return after(u"-->");
    if (rest.startsWith(u"<![CDATA["))
        return after(u"]]>");
    if (rest.startsWith(u"<?"))
        return after(u"?>");
    if (rest.startsWith(u"<!"))
        return -1; // a document type declaration: not placed
    QChar quote;
    for (qsizetype i = at + 1; i < text.size(); ++i) {
        const QChar c = text[i];
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
        } else if (c == u'"' || c == u'\'') {
            quote = c;
        } else if (c == u'>') {
            return i + 1;
        }
    }
    return -1;
}

// Whether each element's positions hold its own tags.
bool placedRight(const QString& text, const XmlElem& e)
{
    const QStringView all(text);
    if (e.start < 0 || !all.mid(e.start + 1).startsWith(e.name) ||
        (e.contentEnd < e.end && !all.mid(e.contentEnd + 2).startsWith(e.name)))
        return false;
    return std::all_of(e.children.begin(), e.children.end(),
                       [&](const XmlElem& c) { return placedRight(text, c); });
}

// Gives every element of a well-formed document its positions in `text`, in document order;
// false (and positions that must not be used) for a document it cannot follow.
bool placeElements(const QString& text, XmlElem& root)
{
    std::vector<XmlElem*> open;
    std::vector<XmlElem*> order; // pre-order: the order start tags appear in
    const std::function<void(XmlElem&)> list = [&](XmlElem& e) {
        order.push_back(&e);
        for (XmlElem& c : e.children)
            list(c);
    };
    list(root);
    std::size_t next = 0;
    for (qsizetype at = text.indexOf(u'<'); at >= 0; at = text.indexOf(u'<', at)) {
        const qsizetype end = markupEnd(text, at);
        if (end < 0)
            return false;
        const QChar kind = at + 1 < text.size() ? text[at + 1] : QChar();
        if (kind == u'/' && !open.empty()) {
            open.back()->contentEnd = at;
            open.back()->end = end;
            open.pop_back();
        } else if (kind != u'!' && kind != u'?' && next < order.size()) {
            XmlElem* e = order[next++];
            e->start = at;
            e->contentStart = end;
            if (text[end - 2] == u'/')
                e->contentEnd = e->end = end; // <NAME/>
            else
                open.push_back(e);
        }
        at = end;
    }
    return open.empty() && next == order.size() && placedRight(text, root);
}

} // namespace

bool parseXml(const QString& text, XmlElem& root)
{
    const bool strict = parseStrict(text, root);
    clearUpperVectorState();
    if (strict) {
        if (!placeElements(text, root))
            clearPositions(root);
        return true;
    }
    const QString repaired = repairBareMarkup(text);
    const bool repairedStrict = repaired != text && parseStrict(repaired, root);
    clearUpperVectorState();
    if (!repairedStrict)
        return false;
    // Positions in the repaired text are not positions in `text`.
    clearPositions(root);
    return true;
}

void serializeXml(const XmlElem& e, QString& out, const QString* indexAttr)
{
    writeStartTag(e, out, indexAttr);
    if (e.children.empty() && e.text.isEmpty() && e.emptyForm) {
        out += u"/>";
        return;
    }
    out += u'>';
    out += e.comments;
    appendXmlEscaped(out, e.text, false);
    for (const XmlElem& c : e.children)
        serializeXml(c, out);
    out += u"</";
    out += e.name;
    out += u'>';
}

namespace {

// The start tag of an element stored as <NAME .../>, without its "/>".
QStringView openTagOfEmptyForm(const QString& text, const XmlElem& e)
{
    QStringView tag = QStringView(text).mid(e.start, e.end - e.start);
    const qsizetype slash = tag.lastIndexOf(u'/');
    return slash > 0 ? tag.left(slash) : tag;
}

} // namespace

void writeChangedElement(const QString& text, const XmlElem& stored, const XmlElem& now,
                         QString& out)
{
    const QStringView all(text);
    const bool emptyForm = stored.contentStart == stored.contentEnd && stored.emptyForm;
    const QStringView openTag = emptyForm ? openTagOfEmptyForm(text, stored)
                                          : all.mid(stored.start, stored.contentStart - 1 - stored.start);
    const auto close = [&] {
        if (emptyForm)
            out += QStringLiteral("</") + now.name + u'>';
        else
            out += all.mid(stored.contentEnd, stored.end - stored.contentEnd);
    };
    if (now.children.empty()) {
        const bool same = emptyForm ? now.text.isEmpty() : unchangedText(stored.text, now.text);
        if (stored.children.empty() && same) {
            out += all.mid(stored.start, stored.end - stored.start);
            return;
        }
        out += openTag;
        out += u'>';
        appendXmlEscaped(out, now.text, false);
        close();
        return;
    }
    out += openTag;
    out += u'>';
    // What lies between the stored children stays; each child is kept (changed), or left out.
    qsizetype at = emptyForm ? stored.end : stored.contentStart;
    std::size_t next = 0;
    for (const XmlElem& child : stored.children) {
        out += all.mid(at, child.start - at);
        at = child.end;
        while (next < now.children.size() && now.children[next].start >= 0 &&
               now.children[next].start < child.start)
            ++next;
        if (next < now.children.size() && now.children[next].start == child.start)
            writeChangedElement(text, child, now.children[next++], out);
    }
    if (!emptyForm)
        out += all.mid(at, stored.contentEnd - at);
    for (const XmlElem& child : now.children)
        if (child.start < 0)
            serializeXml(child, out);
    close();
}

QString fromUtf16Le(const void* bytes, std::size_t size)
{
    const auto* p = static_cast<const unsigned char*>(bytes);
    const std::size_t units = size / 2;
    QString s;
    s.reserve(static_cast<qsizetype>(units));
    for (std::size_t i = 0; i < units; ++i) {
        const char16_t c = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
        if (c == 0)
            break;
        if (i == 0 && c == 0xFEFF)
            continue;
        s += QChar(c);
    }
    return s;
}

} // namespace imaging
