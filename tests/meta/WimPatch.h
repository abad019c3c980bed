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
