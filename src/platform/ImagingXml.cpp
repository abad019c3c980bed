// The imaging layer's view of a WIM's XML, and how it is carried into libwim's properties.
#include "ImagingInternal.h"

#include <QXmlStreamReader>

#include <map>

namespace imaging {
namespace {

constexpr int kMaxDepth = 256;

bool parseElement(QXmlStreamReader& r, XmlElem& e, int depth)
{
    e.name = r.name().toString();
    for (const QXmlStreamAttribute& a : r.attributes())
        e.attrs.emplace_back(a.qualifiedName().toString(), a.value().toString());
    while (!r.atEnd()) {
        switch (r.readNext()) {
        case QXmlStreamReader::StartElement:
            if (depth >= kMaxDepth)
                return false;
            e.children.emplace_back();
            if (!parseElement(r, e.children.back(), depth + 1))
                return false;
            break;
        case QXmlStreamReader::Characters:
            e.text += r.text();
            break;
        case QXmlStreamReader::EndElement:
            if (!e.children.empty() && e.text.trimmed().isEmpty())
                e.text.clear();
            return true;
        default:
            break;
        }
    }
    return false;
}

bool parseStrict(const QString& text, XmlElem& root)
{
    QXmlStreamReader r(text);
    while (!r.atEnd()) {
        const auto t = r.readNext();
        if (t == QXmlStreamReader::StartElement) {
            root = XmlElem();
            if (!parseElement(r, root, 1))
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

void escapeInto(QString& out, const QString& text, bool attribute)
{
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'&':
            out += u"&amp;";
            break;
        case u'<':
            out += u"&lt;";
            break;
        case u'>':
            out += u"&gt;";
            break;
        case u'"':
            if (attribute) {
                out += u"&quot;";
                break;
            }
            out += c;
            break;
        default:
            out += c;
        }
    }
}

// ---- writing elements through libwim's property paths -------------------------------------
constexpr const char* kEmptyMarker = "PELLORIC_EMPTY";

int setProperty(WIMStruct* wim, int image, const QByteArray& path, const char* value)
{
    return wimlib_set_image_property(wim, image, path.constData(), value);
}

int writeElement(WIMStruct* wim, int image, const QByteArray& path, const XmlElem& e)
{
    if (e.children.empty() && !e.text.isEmpty())
        return setProperty(wim, image, path, e.text.toUtf8().constData());
    if (e.children.empty()) {
        // libwim removes an element set to an empty text; an empty element is made through a
        // child that is removed again.
        const QByteArray marker = path + "/" + kEmptyMarker;
        int ret = setProperty(wim, image, marker, "1");
        return ret ? ret : setProperty(wim, image, marker, nullptr);
    }
    std::map<QString, int> seen;
    for (const XmlElem& c : e.children) {
        const int k = ++seen[c.name];
        const QByteArray childPath =
            path + "/" + c.name.toUtf8() + "[" + QByteArray::number(k) + "]";
        if (int ret = writeElement(wim, image, childPath, c))
            return ret;
    }
    return 0;
}

int removeElements(WIMStruct* wim, int image, const std::vector<XmlElem>& elems)
{
    std::map<QString, int> counts;
    for (const XmlElem& e : elems)
        if (!isMaintainedElement(e.name))
            ++counts[e.name];
    for (const auto& [name, count] : counts) {
        const QByteArray path = name.toUtf8() + "[1]";
        for (int i = 0; i < count; ++i)
            if (int ret = setProperty(wim, image, path, nullptr))
                return ret;
    }
    return 0;
}

int writeElements(WIMStruct* wim, int image, const std::vector<XmlElem>& elems)
{
    std::map<QString, int> seen;
    for (const XmlElem& e : elems) {
        if (isMaintainedElement(e.name))
            continue;
        const int k = ++seen[e.name];
        const QByteArray path = e.name.toUtf8() + "[" + QByteArray::number(k) + "]";
        if (int ret = writeElement(wim, image, path, e))
            return ret;
    }
    return 0;
}

} // namespace

bool parseXml(const QString& text, XmlElem& root)
{
    if (parseStrict(text, root))
        return true;
    const QString repaired = repairBareMarkup(text);
    return repaired != text && parseStrict(repaired, root);
}

void serializeXml(const XmlElem& e, QString& out, const QString* indexAttr)
{
    out += u'<';
    out += e.name;
    if (indexAttr) {
        out += u" INDEX=\"";
        out += *indexAttr;
        out += u'"';
    } else {
        for (const auto& [name, value] : e.attrs) {
            out += u' ';
            out += name;
            out += u"=\"";
            escapeInto(out, value, true);
            out += u'"';
        }
    }
    out += u'>';
    escapeInto(out, e.text, false);
    for (const XmlElem& c : e.children)
        serializeXml(c, out);
    out += u"</";
    out += e.name;
    out += u'>';
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

bool isMaintainedElement(const QString& name)
{
    static const QString kNames[] = {
        QStringLiteral("DIRCOUNT"),     QStringLiteral("FILECOUNT"),
        QStringLiteral("TOTALBYTES"),   QStringLiteral("HARDLINKBYTES"),
        QStringLiteral("CREATIONTIME"), QStringLiteral("LASTMODIFICATIONTIME"),
        QStringLiteral("WIMBOOT"),
    };
    for (const QString& n : kNames)
        if (n == name)
            return true;
    return false;
}

int syncImageElements(WIMStruct* wim, int image, const std::vector<XmlElem>& previous,
                      const std::vector<XmlElem>& next)
{
    int ret = removeElements(wim, image, previous);
    if (!ret)
        ret = writeElements(wim, image, next);
    if (ret) {
        // Put back what libwim held before; the elements written so far go first.
        removeElements(wim, image, next);
        removeElements(wim, image, previous);
        writeElements(wim, image, previous);
    }
    return ret;
}

} // namespace imaging
