#include "platform/MountTable.h"

#include "platform/Files.h"
#include "platform/Kernel.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The kernel writes space, tab, line feed and backslash in mount table fields as \ooo.
std::string unescapeMountField(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::vector<std::string_view> splitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (start < line.size()) {
        std::size_t end = line.find(' ', start);
        if (end == std::string_view::npos)
            end = line.size();
        if (end > start)
            fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

// True when `prefix` is `path` or a whole-component prefix of it.
bool isPathPrefix(QStringView prefix, QStringView path)
{
    if (prefix == u"/")
        return path.startsWith(u'/');
    return path.startsWith(prefix) && (path.size() == prefix.size() || path[prefix.size()] == u'/');
}

// The text of /proc/self/mountinfo (a regular file to the kernel, read to its end).
DWORD readMountInfoText(std::string& text)
{
    return readFileWithoutWaiting(u"/proc/self/mountinfo", 0,
                                  [&text](const char* data, std::size_t size) {
                                      text.append(data, size);
                                      return true;
                                  });
}

QString fromBytes(const std::string& bytes)
{
    return QString::fromStdU16String(fromUtf8(bytes));
}

} // namespace

std::vector<MountTableEntry> parseMountInfo(std::string_view text)
{
    std::vector<MountTableEntry> entries;
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        std::size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos)
            lineEnd = text.size();
        const std::vector<std::string_view> fields =
            splitFields(text.substr(lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 1;
        // id parent major:minor root mount-point options [optional...] - type source super
        if (fields.size() < 5 || fields[4].front() != '/')
            continue;
        MountTableEntry entry;
        entry.mountPoint = unescapeMountField(fields[4]);
        if (fields.size() > 5)
            entry.readOnly = (',' + std::string(fields[5]) + ',').find(",ro,") != std::string::npos;
        for (std::size_t dash = 6; dash + 1 < fields.size(); ++dash) {
            if (fields[dash] == "-") {
                entry.fsType = std::string(fields[dash + 1]);
                break;
            }
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

DWORD readMountTable(std::vector<MountTableEntry>& entries)
{
    std::string text;
    const DWORD error = readMountInfoText(text);
    entries = error ? std::vector<MountTableEntry>() : parseMountInfo(text);
    return error;
}

QString longestMountPoint(const QString& resolvedPath, QByteArrayView mountInfo)
{
    QString best;
    for (const MountTableEntry& entry :
         parseMountInfo(std::string_view(mountInfo.data(), std::size_t(mountInfo.size())))) {
        const QString candidate = fromBytes(entry.mountPoint);
        if (candidate.size() > best.size() && isPathPrefix(candidate, resolvedPath))
            best = candidate;
    }
    return best;
}

QString volumeRootOf(const QString& fullPath)
{
    std::string text;
    const DWORD error = readMountInfoText(text);
    if (error)
        return {};
    return volumeRootOf(fullPath, QByteArrayView(text.data(), qsizetype(text.size())));
}

QString volumeRootOf(const QString& fullPath, QByteArrayView mountInfo)
{
    QString lexical = QDir::cleanPath(fullPath);
    if (lexical.isEmpty() || !lexical.startsWith(u'/'))
        return {};
    QString resolved = QFileInfo(lexical).canonicalFilePath();
    if (resolved.isEmpty())
        resolved = lexical;

    const QString mountPoint = longestMountPoint(resolved, mountInfo);
    if (!mountPoint.isEmpty()) {
        // The part of the source below its volume; the same tail on the path as written
        // means any symbolic links lie above the volume.
        const QString below = mountPoint == u"/" ? resolved : resolved.mid(mountPoint.size());
        if (below.isEmpty() || below == u"/")
            return lexical;
        if (lexical.endsWith(below)) {
            const QString root = lexical.left(lexical.size() - below.size());
            return root.isEmpty() ? QStringLiteral("/") : root;
        }
    }
    // A link below the volume root: take the mount points as the path is written.
    return longestMountPoint(lexical, mountInfo);
}
