// The one escaper of XML text, shared by the program's XML tree and the imaging layer's view
// of a WIM's XML: '&', '<' and '>' everywhere, '"' in attribute values, as libxml2 (which
// libwim writes with) escapes them.
#pragma once

#include <QString>
#include <QStringView>

void appendXmlEscaped(QString& out, QStringView text, bool attribute);
