// Test helper: makes a hostile WIM from a good one by rewriting text in place.
#pragma once

#include "support/TempDir.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// Rewrites the first run of `from` (UTF-16LE) in the file with `to` of the same length. A
// WIM's XML resource is stored uncompressed, so this changes the XML libwim reads, e.g. into
// mixed content that the program's tree refuses. False when `from` is not found.
inline bool patchUtf16(const QString& path, const QString& from, const QString& to)
{
    QByteArray bytes = readFileBytes(path);
    const QByteArray a(reinterpret_cast<const char*>(from.utf16()), from.size() * 2);
    const QByteArray b(reinterpret_cast<const char*>(to.utf16()), to.size() * 2);
    const qsizetype at = bytes.indexOf(a);
    if (at < 0 || a.size() != b.size())
        return false;
    bytes.replace(at, a.size(), b);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Replaces the file's XML information with `xml`, stored as libwim stores it (UTF-16LE with a
// byte-order mark, uncompressed): the text is appended to the file and the header's XML
// resource entry points at it. For a WIM without integrity table; libwim checks the XML only
// against the image count. False when the file cannot be rewritten.
inline bool replaceWimXml(const QString& path, const QString& xml)
{
    QByteArray bytes = readFileBytes(path);
    if (bytes.size() < 208 || !bytes.startsWith(QByteArray("MSWIM\0\0\0", 8)))
        return false;
    const QByteArray text = QByteArray("\xFF\xFE", 2) +
                            QByteArray(reinterpret_cast<const char*>(xml.utf16()), xml.size() * 2);
    const auto put = [&bytes](int at, quint64 value, int width) {
        for (int i = 0; i < width; ++i)
            bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    };
    // Resource entry at 72: stored size (7 bytes), flags (none: uncompressed), offset, size.
    put(72, static_cast<quint64>(text.size()), 7);
    put(79, 0, 1);
    put(80, static_cast<quint64>(bytes.size()), 8);
    put(88, static_cast<quint64>(text.size()), 8);
    bytes += text;
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Information of one image as another tool might write it: attributes on the root, on the
// image and on its elements, a prefixed element with its namespace declaration, a comment
// beside the image (one inside it makes the image's information unreadable), an entity, a
// text with leading spaces, an empty element in the <NAME/> form, line breaks and
// indentation, and the trailing line feed libwim writes.
inline QString handMadeWimXml()
{
    return QStringLiteral(
        "<WIM R=\"r\"><IMAGE INDEX=\"1\" EXTRA=\"e\">\n"
        "  <NAME lang=\"zh\">Img</NAME>\n"
        "  <DIRCOUNT>2</DIRCOUNT><FILECOUNT>2</FILECOUNT><TOTALBYTES>6</TOTALBYTES>"
        "<HARDLINKBYTES>0</HARDLINKBYTES>\n"
        "  <CREATIONTIME><HIGHPART>0x01DD8721</HIGHPART><LOWPART>0xA36CD312</LOWPART>"
        "</CREATIONTIME>\n"
        "  <LASTMODIFICATIONTIME><HIGHPART>0x01DD8721</HIGHPART><LOWPART>0xA36CE492</LOWPART>"
        "</LASTMODIFICATIONTIME>\n"
        "  <CUSTOM a=\"1\" b=\"two\">v &amp; w</CUSTOM>\n"
        "  <x:foo xmlns:x=\"urn:a\"><x:bar>b</x:bar></x:foo>\n"
        "  <FLAGS kind=\"sku\">Pro</FLAGS>\n"
        "  <SPACED>  lead</SPACED>\n"
        "  <EMPTYEL/>\n"
        "</IMAGE><!-- kept --><TOTALBYTES>852</TOTALBYTES></WIM>\n");
}

// The IMAGE elements of a whole-file XML text, as written.
inline QString imageElementsOf(const QString& xml)
{
    const qsizetype from = xml.indexOf(QStringLiteral("<IMAGE"));
    const qsizetype to = xml.lastIndexOf(QStringLiteral("</IMAGE>"));
    return from < 0 || to < from ? QString() : xml.mid(from, to + 8 - from);
}
