// Fuzzes the capture configuration: the file reader (encodings, line splitting, sections),
// pattern preparation, the per-path decisions and the mountinfo reader, all on the same
// untrusted bytes. Seeds: tests/config/cases/*.case.
#include "config/CaptureConfig.h"
#include "platform/MountTable.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    CaptureConfig config;
    config.load(QString(), QString(), QString()); // defaults only, no file
    config.mergeText(bytes);
    if (config.exclusionList.size() > std::size_t(CaptureConfig::kCapacity) ||
        config.compressionExclusionList.size() > std::size_t(CaptureConfig::kCapacity) ||
        config.exclusionExceptions.size() > std::size_t(CaptureConfig::kCapacity))
        __builtin_trap();
    (void)config.listingLines();

    // Every line of the input is also a path to decide and a name to match against each
    // pattern, with and without a volume root.
    ConfigLineReader reader;
    QStringList lines;
    const auto collect = [&lines](QStringView line) {
        if (lines.size() < 64)
            lines.append(line.toString());
    };
    reader.feed(bytes, collect);
    reader.finish(collect);
    for (int pass = 0; pass < 2; ++pass) {
        config.setVolumeRoot(pass == 0 ? QString() : (lines.isEmpty() ? QString() : lines[0]));
        for (const QString& path : std::as_const(lines)) {
            (void)config.isExcluded(path);
            (void)config.isCompressionExcluded(path);
            const PathKey key = makePathKey(path, config.volumeRoot());
            if (key.directoryLength != key.dirTextLength + (key.leadingSeparatorImplied ? 1 : 0))
                __builtin_trap();
            for (const PatternEntry& entry : config.exclusionList) {
                const bool matched = matchesPattern(entry, key);
                // A pattern without wildcards matches only names of its own length.
                if (matched && !entry.hasWildcard &&
                    std::size_t(entry.fileName.size()) != key.fileNameLength)
                    __builtin_trap();
                // The shortcuts for simple wildcard shapes agree with the full matcher.
                if (entry.hasWildcard) {
                    PatternEntry anyName = entry;
                    anyName.fileName = QStringLiteral("*");
                    anyName.headLength = anyName.tailLength = anyName.minNameLength = 0;
                    anyName.starCount = 1;
                    const QStringView name(key.fileName, qsizetype(key.fileNameLength));
                    if (matched !=
                        (matchesPattern(anyName, key) && wildcardMatch(entry.fileName, name)))
                        __builtin_trap();
                }
            }
            // A pattern always matches itself once upper-cased, without wildcards involved.
            const QString upper = preparePatternEntry(path).fileName;
            if (!upper.contains(u'*') && !upper.contains(u'?') && !wildcardMatch(upper, upper))
                __builtin_trap();
            if (!wildcardMatch(u"*", upper))
                __builtin_trap();
        }
    }
    if (!lines.isEmpty()) {
        (void)longestMountPoint(lines[0], bytes);
        (void)volumeRootOf(lines[0], bytes);
    }
    return 0;
}
