// The capture configuration: three lists of path patterns that decide which files a capture
// leaves out of the image and which it stores uncompressed, their built-in defaults, the
// configuration file ("wimscript.ini") and the matching rules.
//
// Pattern syntax: letter case is ignored (every UTF-16 unit is upper-cased, non-ASCII letters
// included); `\` and `/` both separate; a leading letter and colon is a drive and is dropped.
// The part up to the last separator is the directory, the rest the file name. A pattern that
// begins with a separator is anchored at the root of the volume that holds the capture
// source; any other pattern matches a directory at any depth. `*` and `?` are wildcards in
// the file name only.
#pragma once

#include "platform/WinTypes.h"

#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <QStringView>

#include <cstddef>
#include <utility>
#include <vector>

// One prepared pattern line.
struct PatternEntry {
    QString pattern;   // the line upper-cased, separators as written (shown in the listing)
    QString directory; // directory part, '\' separators, always beginning with '\'
    int directoryLength = 0;
    QString fileName;         // file name part (base name and extension)
    bool hasWildcard = false; // fileName holds '*' or '?'
    bool anchored = false;    // the pattern begins with a separator
    // Shape of a wildcard file name, so most names are told apart without the full matcher:
    // units before the first '*', units after the last '*', number of '*' and of other units.
    int headLength = 0;
    int tailLength = 0;
    int starCount = 0;
    int minNameLength = 0;
    // The last unit of fileName when it stands for itself (not '*' or '?'), else 0: a name
    // that ends in another unit cannot match, which rules out most entries at once.
    char16_t lastUnit = 0;
};

// A path prepared for matching, without copying or allocating: views into the caller's path,
// which must outlive the key. The drive (the volume root set on the configuration, else a
// leading letter and colon) is left out. Letters are compared without case when matching, so
// the views keep the path's own letter case.
struct PathKey {
    // The directory part is `\` (implied, when the path below the drive does not begin with
    // a separator) followed by dirText[0, dirTextLength).
    const char16_t* dirText = nullptr;
    std::size_t dirTextLength = 0;
    bool leadingSeparatorImplied = false;
    std::size_t directoryLength = 0; // dirTextLength plus the implied separator
    const char16_t* fileName = nullptr;
    std::size_t fileNameLength = 0;
};

// The case-insensitive, separator-insensitive form of one UTF-16 unit that matching compares.
inline char16_t foldPatternChar(char16_t c)
{
    if (c < 0x80) {
        if (c >= u'a' && c <= u'z')
            return char16_t(c - (u'a' - u'A'));
        return c == u'/' ? u'\\' : c;
    }
    return char16_t(QChar::toUpper(char32_t(c)));
}

// Prepares `path` as a key: drops `volumeRoot` when the path begins with it (followed by a
// separator or the end; compared exactly, as Linux names are), else a leading drive letter
// and colon; a run of separators at the start counts as one; then splits at the last
// separator. An empty volumeRoot drops only a drive.
PathKey makePathKey(QStringView path, QStringView volumeRoot = {});

// Prepares one configuration line as a pattern entry (upper-casing, split, wildcard flag).
PatternEntry preparePatternEntry(QStringView line);

// True when the key lies in the entry's directory (anchored: exactly; otherwise: the key's
// directory ends with the entry's, whole names only) and its file name matches.
bool matchesPattern(const PatternEntry& entry, const PathKey& key);

// Matches `name` against `pattern`: `*` any run of units (the empty one included), `?` any
// one unit, everything else itself, compared without letter case. Never allocates.
bool wildcardMatch(QStringView pattern, QStringView name);

// How the text of a configuration file was read.
enum class ConfigEncoding {
    Latin1,  // 8-bit text, each byte one character U+0000..U+00FF (no byte order mark)
    Utf8Bom, // UTF-8 behind a byte order mark
    Utf16LE, // UTF-16 little endian, with a byte order mark or recognised by its zero bytes
    Utf16BE, // UTF-16 big endian, likewise
};

// The outcome of CaptureConfig::load, for the capture to log.
struct ConfigLoadResult {
    // false: the chosen file could not be read (log Text::ConfigFileLine with filePath, then
    // Text::ConfigReadFailed, and stop the capture). The lists then hold the defaults.
    bool ok = true;
    // The file that was chosen; empty when no file was named and none lies beside the
    // executable (defaults only, nothing to log). When not empty, log Text::ConfigFileLine
    // with it.
    QString filePath;
    DWORD error = ERROR_SUCCESS; // the platform error code when !ok
    ConfigEncoding encoding = ConfigEncoding::Latin1;
};

// Splits configuration file bytes into lines as the configuration reader sees them: decodes
// the text (see ConfigEncoding), ends lines at line feeds, takes at most 4095 characters at a
// time (a longer line becomes several) and cuts each line at its first zero character. Feed
// the bytes in chunks of any size, then call finish(). Lines reach the callback untrimmed (a
// CR before the LF stays).
class ConfigLineReader {
public:
    static constexpr qsizetype kMaxLineLength = 4095;

    template <typename Fn> void feed(QByteArrayView bytes, Fn&& onLine)
    {
        decode(bytes, false);
        split(onLine);
    }
    template <typename Fn> void finish(Fn&& onLine)
    {
        decode({}, true);
        split(onLine);
        if (!line_.isEmpty())
            emitLine(onLine);
    }
    ConfigEncoding encoding() const { return encoding_; }

private:
    // Decodes bytes into pending_; the encoding is chosen from the first bytes seen.
    void decode(QByteArrayView bytes, bool last);
    // Chooses the encoding from head_ (its byte-order mark or its first zero byte); returns
    // how many bytes of head_ the mark takes.
    qsizetype chooseEncoding();
    // 8-bit text: decodes the complete lines of bytes into pending_, each as UTF-8 or else
    // single-byte text.
    void decodeEightBit(QByteArrayView bytes, bool last);
    // Moves rawLine_ but its last `keep` bytes into pending_.
    void flushRawLine(qsizetype keep);
    template <typename Fn> void split(Fn& onLine)
    {
        for (QChar c : std::as_const(pending_)) {
            if (c == u'\n') {
                emitLine(onLine);
                continue;
            }
            line_.append(c);
            if (line_.size() == kMaxLineLength)
                emitLine(onLine);
        }
        pending_.clear();
    }
    template <typename Fn> void emitLine(Fn& onLine)
    {
        const qsizetype zero = line_.indexOf(QChar(0));
        onLine(zero < 0 ? QStringView(line_) : QStringView(line_).left(zero));
        line_.clear();
    }

    ConfigEncoding encoding_ = ConfigEncoding::Latin1;
    bool encodingKnown_ = false;
    QByteArray head_; // the first bytes, kept until the encoding is known
    QStringDecoder decoder_;
    QString pending_;            // decoded text not yet split into lines
    QByteArray rawLine_;         // 8-bit text: the bytes of the line not yet decoded
    bool rawLineLatin1_ = false; // 8-bit text: a piece of this line was not UTF-8
    QString line_;               // the line being collected
};

class CaptureConfig {
public:
    static constexpr int kCapacity = 64;
    // The most a configuration file that is not a regular file (a FIFO, a device) is read.
    static constexpr qint64 kMaxUnsizedRead = qint64{1024} * 1024;

    enum class Section { None, Exclusion, CompressionExclusion, ExclusionException };

    std::vector<PatternEntry> exclusionList;
    std::vector<PatternEntry> compressionExclusionList;
    std::vector<PatternEntry> exclusionExceptions;

    // The lists start empty; load() fills them.
    CaptureConfig();

    // Resets the three lists to the built-in defaults, sets the capture source and the
    // volume root from `sourceFolder` (the platform's volumeRootOf; empty: no volume root)
    // and merges the configuration file: `configFile` unchanged when it is not empty, else
    // `defaultFile` if it exists. A path that cannot be opened, or a folder, leaves the defaults
    // and returns !ok. Anything else that opens is read: a FIFO or device only as far as it holds
    // data right now (never waiting for a writer) and at most kMaxUnsizedRead bytes. Never throws.
    ConfigLoadResult load(const QString& configFile, const QString& sourceFolder,
                          const QString& defaultFile = defaultConfigFilePath());

    // Merges configuration text (the file format above) into the lists as load does after
    // the reset: lines go to the section that precedes them. Returns the encoding read.
    ConfigEncoding mergeText(QByteArrayView bytes);

    // Appends `line` prepared as an entry unless the list is full or an entry's pattern
    // already equals the line (letters A to Z compared without case). True when appended.
    static bool addEntry(std::vector<PatternEntry>& list, QStringView line);

    // The per-path decisions, on the path as the imaging library gives it. They allocate
    // nothing and may run on any thread while the lists are not being changed.
    // Excluded: an exclusion-list entry matches and no exclusion exception does. The capture
    // source folder itself is never excluded: the lists decide about the entries the scan
    // meets in it.
    bool isExcluded(QStringView path) const;
    // Stored uncompressed: a compression-exclusion entry matches.
    bool isCompressionExcluded(QStringView path) const;

    // Anchored patterns are anchored at `root` (a full path, trailing separators ignored;
    // kept without them, so the file-system root is kept as an empty text).
    void setVolumeRoot(const QString& root);
    const QString& volumeRoot() const { return volumeRoot_; }
    // The folder being captured, compared exactly with the paths the library proposes
    // (trailing separators ignored). Empty: none.
    void setCaptureSource(const QString& folder);

    // The lines that list the configuration in the capture log: for each non-empty list in
    // the order exclusion, compression exclusion, exceptions, its heading ("\r\n[...]") and
    // then one line per entry with its stored pattern.
    QStringList listingLines() const;

    // "wimscript.ini" in the folder of the running executable.
    static QString defaultConfigFilePath();

private:
    void resetToDefaults();
    std::vector<PatternEntry>* listOf(Section section);

    QString volumeRoot_;
    QString captureSource_; // without trailing separators
};
