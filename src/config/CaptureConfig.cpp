#include "config/CaptureConfig.h"

#include "platform/Files.h"
#include "platform/Kernel.h"
#include "platform/MountTable.h"

#include <array>
#include <string>

namespace {

constexpr std::array<const char16_t*, 10> kDefaultExclusions = {
    u"\\$windows.~bt", u"\\$windows.~ls", u"\\winpepge.sys",    u"\\Windows\\CSC",
    u"\\Recycled",     u"\\Recycler",     u"\\$Recycle.Bin\\*", u"\\System Volume Information",
    u"\\pagefile.sys", u"\\hiberfil.sys",
};

constexpr std::array<const char16_t*, 7> kDefaultCompressionExclusions = {
    u"*.mp3", u"*.zip", u"*.cab", u"*.rar", u"*.7z", u"*.pnf", u"*.wim",
};

constexpr QStringView kExclusionSection = u"[ExclusionList]";
constexpr QStringView kCompressionSection = u"[CompressionExclusionList]";
constexpr QStringView kExceptionSection = u"[ExclusionException]";

inline bool isSeparator(char16_t c)
{
    return c == u'\\' || c == u'/';
}

inline bool isAsciiLetter(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

inline char16_t asciiUpper(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? char16_t(c - (u'a' - u'A')) : c;
}

// Equality with only the letters A to Z compared without case, as section names and
// duplicate lines are compared.
bool equalsAsciiNoCase(QStringView a, QStringView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (asciiUpper(a[i].unicode()) != asciiUpper(b[i].unicode()))
            return false;
    }
    return true;
}

// Upper-cases every UTF-16 unit on its own (simple case mapping), so a pattern keeps its
// length and lines up unit by unit with the paths it is compared with.
QString upperPerUnit(QStringView text)
{
    QString out(text.size(), Qt::Uninitialized);
    char16_t* d = reinterpret_cast<char16_t*>(out.data());
    for (qsizetype i = 0; i < text.size(); ++i)
        d[i] = char16_t(QChar::toUpper(char32_t(text[i].unicode())));
    return out;
}

// Drops a leading letter and colon.
QStringView withoutDrive(QStringView path)
{
    if (path.size() >= 2 && path[1] == u':' && isAsciiLetter(path[0].unicode()))
        return path.mid(2);
    return path;
}

// The number of bytes at the end of `bytes` that begin a UTF-8 sequence without finishing
// it (0 to 3), so that text cut there is not cut inside a character.
qsizetype incompleteUtf8Tail(QByteArrayView bytes)
{
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= 3 && back <= size; ++back) {
        const auto c = static_cast<unsigned char>(bytes[size - back]);
        if ((c & 0xC0) == 0x80)
            continue; // a continuation byte: look further back for its lead byte
        const qsizetype length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

// `path` without separators at its end; the file-system root stays "/".
QStringView withoutTrailingSlashes(QStringView path)
{
    while (path.size() > 1 && path.back() == u'/')
        path.chop(1);
    return path;
}

// Feeds decoded lines into the configuration, keeping the section they belong to.
struct LineSink {
    CaptureConfig& config;
    std::vector<PatternEntry>* list = nullptr; // selected by the last section line

    void operator()(QStringView line)
    {
        qsizetype end = line.size();
        while (end > 0 && line[end - 1].isSpace())
            --end;
        line = line.left(end);
        if (!line.isEmpty() && line.front() == u'"' && line.back() == u'"')
            line = line.size() >= 2 ? line.mid(1, line.size() - 2) : QStringView();

        if (equalsAsciiNoCase(line, kExclusionSection)) {
            list = &config.exclusionList;
        } else if (equalsAsciiNoCase(line, kCompressionSection)) {
            list = &config.compressionExclusionList;
        } else if (equalsAsciiNoCase(line, kExceptionSection)) {
            list = &config.exclusionExceptions;
        } else if (!line.isEmpty() && list) {
            CaptureConfig::addEntry(*list, line);
        }
    }

    // Nothing more can be added once every list is full.
    bool saturated() const
    {
        return config.exclusionList.size() >= CaptureConfig::kCapacity &&
               config.compressionExclusionList.size() >= CaptureConfig::kCapacity &&
               config.exclusionExceptions.size() >= CaptureConfig::kCapacity;
    }
};

} // namespace

// ---- matching -------------------------------------------------------------------------------

PathKey makePathKey(QStringView path, QStringView volumeRoot)
{
    const char16_t* p = path.utf16();
    std::size_t n = std::size_t(path.size());
    const std::size_t rootLength = std::size_t(volumeRoot.size());
    if (rootLength != 0 && n >= rootLength && (n == rootLength || isSeparator(p[rootLength])) &&
        std::char_traits<char16_t>::compare(p, volumeRoot.utf16(), rootLength) == 0) {
        p += rootLength;
        n -= rootLength;
    } else if (n >= 2 && p[1] == u':' && isAsciiLetter(p[0])) {
        p += 2;
        n -= 2;
    }

    // A doubled separator after the drive (a source written as "/mnt/win//Users") still
    // starts the path at the volume root.
    while (n >= 2 && isSeparator(p[0]) && isSeparator(p[1])) {
        ++p;
        --n;
    }

    std::size_t fileStart = n;
    while (fileStart > 0 && !isSeparator(p[fileStart - 1]))
        --fileStart;

    PathKey key;
    key.dirText = p;
    key.dirTextLength = fileStart;
    key.leadingSeparatorImplied = fileStart == 0 || !isSeparator(p[0]);
    key.directoryLength = fileStart + (key.leadingSeparatorImplied ? 1 : 0);
    key.fileName = p + fileStart;
    key.fileNameLength = n - fileStart;
    return key;
}

PatternEntry preparePatternEntry(QStringView line)
{
    PatternEntry entry;
    entry.pattern = upperPerUnit(line);
    const QStringView rest = withoutDrive(entry.pattern);

    qsizetype fileStart = rest.size();
    while (fileStart > 0 && !isSeparator(rest[fileStart - 1].unicode()))
        --fileStart;
    const QStringView directory = rest.left(fileStart);
    entry.fileName = rest.mid(fileStart).toString();

    if (directory.isEmpty() || !isSeparator(directory.front().unicode()))
        entry.directory = QStringLiteral("\\");
    entry.directory += directory;
    entry.directory.replace(u'/', u'\\');
    entry.directoryLength = int(entry.directory.size());
    entry.hasWildcard = entry.fileName.contains(u'*') || entry.fileName.contains(u'?');
    entry.anchored = !entry.pattern.isEmpty() && isSeparator(entry.pattern.front().unicode());
    entry.starCount = int(entry.fileName.count(u'*'));
    entry.minNameLength = int(entry.fileName.size()) - entry.starCount;
    const qsizetype firstStar = entry.fileName.indexOf(u'*');
    entry.headLength = int(firstStar < 0 ? entry.fileName.size() : firstStar);
    entry.tailLength =
        int(firstStar < 0 ? 0 : entry.fileName.size() - 1 - entry.fileName.lastIndexOf(u'*'));
    if (!entry.fileName.isEmpty() && entry.fileName.back() != u'*' && entry.fileName.back() != u'?')
        entry.lastUnit = entry.fileName.back().unicode();
    return entry;
}

bool matchesPattern(const PatternEntry& entry, const PathKey& key)
{
    const std::size_t entryDirLength = std::size_t(entry.directoryLength);
    if (entry.anchored ? key.directoryLength != entryDirLength
                       : key.directoryLength < entryDirLength)
        return false;
    if (!entry.hasWildcard && std::size_t(entry.fileName.size()) != key.fileNameLength)
        return false;

    // Compare the entry's directory with the end of the key's, from the last unit backwards:
    // paths that share a root differ mostly near their ends.
    const auto* entryDir = reinterpret_cast<const char16_t*>(entry.directory.constData());
    const std::size_t offset = key.directoryLength - entryDirLength;
    const std::size_t implied = key.leadingSeparatorImplied ? 1 : 0;
    for (std::size_t i = entryDirLength; i-- > 0;) {
        const std::size_t k = offset + i; // position in the key's directory
        const char16_t c = k < implied ? u'\\' : foldPatternChar(key.dirText[k - implied]);
        if (c != entryDir[i])
            return false;
    }

    const auto* entryName = reinterpret_cast<const char16_t*>(entry.fileName.constData());
    if (!entry.hasWildcard) {
        for (std::size_t i = 0; i < key.fileNameLength; ++i) {
            if (entryName[i] != foldPatternChar(key.fileName[i]))
                return false;
        }
        return true;
    }

    // The units before the first star and after the last must match in place; with at most
    // one star that is the whole match.
    const std::size_t nameLength = key.fileNameLength;
    if (nameLength < std::size_t(entry.minNameLength) ||
        (entry.starCount == 0 && nameLength != std::size_t(entry.minNameLength)))
        return false;
    const auto unitMatches = [](char16_t patternUnit, char16_t nameUnit) {
        return patternUnit == u'?' || patternUnit == foldPatternChar(nameUnit);
    };
    for (int i = 0; i < entry.headLength; ++i) {
        if (!unitMatches(entryName[i], key.fileName[i]))
            return false;
    }
    const std::size_t patternTail = std::size_t(entry.fileName.size() - entry.tailLength);
    const std::size_t nameTail = nameLength - std::size_t(entry.tailLength);
    for (int i = 0; i < entry.tailLength; ++i) {
        if (!unitMatches(entryName[patternTail + i], key.fileName[nameTail + i]))
            return false;
    }
    if (entry.starCount <= 1)
        return true;
    return wildcardMatch(entry.fileName, QStringView(key.fileName, qsizetype(nameLength)));
}

bool wildcardMatch(QStringView pattern, QStringView name)
{
    const char16_t* p = pattern.utf16();
    const char16_t* s = name.utf16();
    const qsizetype pn = pattern.size();
    const qsizetype sn = name.size();
    qsizetype pi = 0;
    qsizetype si = 0;

    // Up to the first star every unit must match in place.
    while (si < sn && (pi >= pn || p[pi] != u'*')) {
        if (pi >= pn)
            return false;
        const char16_t pc = foldPatternChar(p[pi]);
        if (pc != u'?' && pc != foldPatternChar(s[si]))
            return false;
        ++pi;
        ++si;
    }

    // After a star, try the rest of the pattern at each later start in the name, going back
    // to the last star on a mismatch.
    qsizetype starPattern = 0;
    qsizetype starName = 0;
    while (si < sn) {
        if (pi < pn && p[pi] == u'*') {
            if (++pi == pn)
                return true;
            starPattern = pi;
            starName = si + 1;
        } else if (pi < pn && (p[pi] == u'?' || foldPatternChar(p[pi]) == foldPatternChar(s[si]))) {
            ++pi;
            ++si;
        } else {
            pi = starPattern;
            si = starName++;
        }
    }
    while (pi < pn && p[pi] == u'*')
        ++pi;
    return pi == pn;
}

// ---- the configuration file -----------------------------------------------------------------

qsizetype ConfigLineReader::chooseEncoding()
{
    const auto b = [this](qsizetype i) {
        return i < head_.size() ? static_cast<unsigned char>(head_[i]) : -1;
    };
    qsizetype skip = 0;
    if (b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF) {
        encoding_ = ConfigEncoding::Utf8Bom;
        skip = 3;
    } else if (b(0) == 0xFF && b(1) == 0xFE) {
        encoding_ = ConfigEncoding::Utf16LE;
        skip = 2;
    } else if (b(0) == 0xFE && b(1) == 0xFF) {
        encoding_ = ConfigEncoding::Utf16BE;
        skip = 2;
    } else if (b(0) > 0 && b(1) == 0) {
        // 8-bit text never has a zero byte second; UTF-16 of an ASCII character does.
        encoding_ = ConfigEncoding::Utf16LE;
    } else if (b(0) == 0 && b(1) > 0) {
        encoding_ = ConfigEncoding::Utf16BE;
    } else {
        encoding_ = ConfigEncoding::Latin1;
    }
    switch (encoding_) {
    case ConfigEncoding::Utf8Bom:
        decoder_ = QStringDecoder(QStringDecoder::Utf8);
        break;
    case ConfigEncoding::Utf16LE:
        decoder_ = QStringDecoder(QStringDecoder::Utf16LE);
        break;
    case ConfigEncoding::Utf16BE:
        decoder_ = QStringDecoder(QStringDecoder::Utf16BE);
        break;
    case ConfigEncoding::Latin1:
        break;
    }
    return skip;
}

void ConfigLineReader::flushRawLine(qsizetype keep)
{
    const QByteArrayView piece = QByteArrayView(rawLine_).first(rawLine_.size() - keep);
    QString text;
    if (!rawLineLatin1_) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        text = utf8.decode(piece);
        rawLineLatin1_ = utf8.hasError();
    }
    if (rawLineLatin1_)
        text = QString::fromLatin1(piece);
    pending_.append(text);
    rawLine_.remove(0, piece.size());
}

void ConfigLineReader::decodeEightBit(QByteArrayView bytes, bool last)
{
    // Decoded a line at a time, so each line can be told UTF-8 or single-byte on its own. A
    // long line is decoded in pieces cut between characters; once a piece is not UTF-8, the
    // rest of its line is single-byte text as well.
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\n')
            continue;
        rawLine_.append(bytes.sliced(start, i + 1 - start));
        flushRawLine(0);
        rawLineLatin1_ = false;
        start = i + 1;
    }
    rawLine_.append(bytes.sliced(start));
    // Keep undecoded input bounded: a line this long is split by the line reader anyway.
    if (last)
        flushRawLine(0);
    else if (rawLine_.size() >= 4 * kMaxLineLength)
        flushRawLine(incompleteUtf8Tail(rawLine_));
}

void ConfigLineReader::decode(QByteArrayView bytes, bool last)
{
    if (!encodingKnown_) {
        head_.append(bytes);
        // Three bytes tell every case apart; a shorter file is decided at its end.
        if (head_.size() < 3 && !last)
            return;
        const qsizetype skip = chooseEncoding();
        encodingKnown_ = true;
        const QByteArray first = head_.mid(skip);
        head_.clear();
        decode(first, last);
        return;
    }
    if (encoding_ == ConfigEncoding::Latin1)
        decodeEightBit(bytes, last);
    else
        pending_.append(decoder_.decode(bytes));
}

CaptureConfig::CaptureConfig() = default;

bool CaptureConfig::addEntry(std::vector<PatternEntry>& list, QStringView line)
{
    if (list.size() >= std::size_t(kCapacity))
        return false;
    for (const PatternEntry& entry : list) {
        if (equalsAsciiNoCase(entry.pattern, line))
            return false;
    }
    if (list.capacity() < std::size_t(kCapacity))
        list.reserve(std::size_t(kCapacity));
    list.push_back(preparePatternEntry(line));
    return true;
}

void CaptureConfig::resetToDefaults()
{
    exclusionList.clear();
    exclusionList.reserve(kCapacity);
    for (const char16_t* line : kDefaultExclusions)
        addEntry(exclusionList, QStringView(line));
    compressionExclusionList.clear();
    compressionExclusionList.reserve(kCapacity);
    for (const char16_t* line : kDefaultCompressionExclusions)
        addEntry(compressionExclusionList, QStringView(line));
    exclusionExceptions.clear();
    exclusionExceptions.reserve(kCapacity);
}

ConfigEncoding CaptureConfig::mergeText(QByteArrayView bytes)
{
    ConfigLineReader reader;
    LineSink sink{*this};
    reader.feed(bytes, sink);
    reader.finish(sink);
    return reader.encoding();
}

ConfigLoadResult CaptureConfig::load(const QString& configFile, const QString& sourceFolder,
                                     const QString& defaultFile)
{
    resetToDefaults();
    setCaptureSource(sourceFolder);
    setVolumeRoot(sourceFolder.isEmpty() ? QString() : volumeRootOf(sourceFolder));

    ConfigLoadResult result;
    if (!configFile.isEmpty()) {
        result.filePath = configFile;
    } else {
        if (defaultFile.isEmpty() ||
            GetFileAttributesW(wide(defaultFile)) == INVALID_FILE_ATTRIBUTES)
            return result;
        result.filePath = defaultFile;
    }

    // Never waiting on the file: a FIFO without a writer cannot hang the capture, and an
    // endless source such as /dev/zero cannot hold it up (a FIFO or device gives what it holds
    // now, at most kMaxUnsizedRead bytes; /dev/null gives no lines).
    ConfigLineReader reader;
    LineSink sink{*this};
    const DWORD error = readFileWithoutWaiting(
        wide(result.filePath), kMaxUnsizedRead, [&](const char* data, std::size_t size) {
            if (sink.saturated())
                return false;
            reader.feed(QByteArrayView(data, qsizetype(size)), sink);
            return true;
        });
    if (error) {
        // A half-read file must not pass for the user's configuration.
        resetToDefaults();
        result.ok = false;
        result.error = error;
        SetLastError(error);
        return result;
    }
    reader.finish(sink);
    result.encoding = reader.encoding();
    return result;
}

namespace {

// The folded last unit of the key's file name; 0 for an empty name, which no entry with a
// lastUnit matches either.
inline char16_t lastNameUnit(const PathKey& key)
{
    return key.fileNameLength == 0 ? char16_t(0)
                                   : foldPatternChar(key.fileName[key.fileNameLength - 1]);
}

// The tests matchesPattern makes first, cheap enough to make in the loop over a list: an
// anchored directory's length and the last unit of the name. False only where
// matchesPattern is false.
inline bool mayMatch(const PatternEntry& entry, const PathKey& key, char16_t lastUnit)
{
    if (entry.anchored && key.directoryLength != std::size_t(entry.directoryLength))
        return false;
    return entry.lastUnit == 0 || entry.lastUnit == lastUnit;
}

} // namespace

bool CaptureConfig::isExcluded(QStringView path) const
{
    if (exclusionList.empty())
        return false;
    if (!captureSource_.isEmpty() && withoutTrailingSlashes(path) == captureSource_)
        return false;
    const PathKey key = makePathKey(path, volumeRoot_);
    const char16_t lastUnit = lastNameUnit(key);
    for (const PatternEntry& entry : exclusionList) {
        if (!mayMatch(entry, key, lastUnit) || !matchesPattern(entry, key))
            continue;
        for (const PatternEntry& exception : exclusionExceptions) {
            if (mayMatch(exception, key, lastUnit) && matchesPattern(exception, key))
                return false;
        }
        return true;
    }
    return false;
}

bool CaptureConfig::isCompressionExcluded(QStringView path) const
{
    if (compressionExclusionList.empty())
        return false;
    const PathKey key = makePathKey(path, volumeRoot_);
    const char16_t lastUnit = lastNameUnit(key);
    for (const PatternEntry& entry : compressionExclusionList) {
        if (mayMatch(entry, key, lastUnit) && matchesPattern(entry, key))
            return true;
    }
    return false;
}

void CaptureConfig::setCaptureSource(const QString& folder)
{
    captureSource_ = withoutTrailingSlashes(folder).toString();
}

void CaptureConfig::setVolumeRoot(const QString& root)
{
    qsizetype end = root.size();
    while (end > 0 && isSeparator(root[end - 1].unicode()))
        --end;
    volumeRoot_ = root.left(end);
}

QStringList CaptureConfig::listingLines() const
{
    QStringList lines;
    const auto list = [&lines](const std::vector<PatternEntry>& entries, QStringView heading) {
        if (entries.empty())
            return;
        lines.append(QStringLiteral("\r\n") + heading.toString());
        for (const PatternEntry& entry : entries)
            lines.append(entry.pattern);
    };
    list(exclusionList, kExclusionSection);
    list(compressionExclusionList, kCompressionSection);
    list(exclusionExceptions, kExceptionSection);
    return lines;
}

QString CaptureConfig::defaultConfigFilePath()
{
    std::vector<WCHAR> buffer(4096);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size()) {
            QString path = QString::fromUtf16(buffer.data(), qsizetype(n));
            qsizetype cut = path.size();
            while (cut > 0 && !isSeparator(path[cut - 1].unicode()))
                --cut;
            path.truncate(cut);
            if (path.isEmpty() || !isSeparator(path.back().unicode()))
                path += u'/';
            return path + QStringLiteral("wimscript.ini");
        }
        buffer.resize(buffer.size() * 2);
    }
}
