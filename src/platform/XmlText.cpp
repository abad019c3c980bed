#include "XmlText.h"

void appendXmlEscaped(QString& out, QStringView text, bool attribute)
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
            if (attribute)
                out += u"&quot;";
            else
                out += c;
            break;
        default:
            out += c;
        }
    }
}
