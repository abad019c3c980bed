// Loading the capture configuration (defaults, file choice, sections, limits, encodings,
// failures), the listing, the matching steps and the anchoring at the source's volume.
#include "config/CaptureConfig.h"
#include "platform/MountTable.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <chrono>
#include <future>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

std::vector<QString> patterns(const std::vector<PatternEntry>& list)
{
    std::vector<QString> out;
    for (const PatternEntry& entry : list)
        out.push_back(entry.pattern);
    return out;
}

const std::vector<QString> kDefaultExclusions = {
    u"\\$WINDOWS.~BT"_qs,    u"\\$WINDOWS.~LS"_qs,
    u"\\WINPEPGE.SYS"_qs,    u"\\WINDOWS\\CSC"_qs,
    u"\\RECYCLED"_qs,        u"\\RECYCLER"_qs,
    u"\\$RECYCLE.BIN\\*"_qs, u"\\SYSTEM VOLUME INFORMATION"_qs,
    u"\\PAGEFILE.SYS"_qs,    u"\\HIBERFIL.SYS"_qs,
};
const std::vector<QString> kDefaultCompression = {
    u"*.MP3"_qs, u"*.ZIP"_qs, u"*.CAB"_qs, u"*.RAR"_qs, u"*.7Z"_qs, u"*.PNF"_qs, u"*.WIM"_qs,
};

// 9 × 4095 two-byte characters, then a pattern on the same line (no line feed).
const QByteArray kLongUtf8Line = QString(9 * 4095, u'é').toUtf8() + "\\x.txt";

std::vector<QString> plus(std::vector<QString> list, std::initializer_list<QString> more)
{
    list.insert(list.end(), more);
    return list;
}

class ConfigFileTest : public ::testing::Test
{
protected:
    QString write(const QByteArray& bytes, const QString& name = QStringLiteral("config.ini"))
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        EXPECT_EQ(file.write(bytes), bytes.size());
        return path;
    }
    ConfigLoadResult loadBytes(const QByteArray& bytes)
    {
        return config.load(write(bytes), QString(), missingDefault());
    }
    QString missingDefault() const { return dir.filePath(QStringLiteral("none/wimscript.ini")); }

    QTemporaryDir dir;
    CaptureConfig config;
};

TEST_F(ConfigFileTest, DefaultsAloneWhenNoFileIsNamedAndNoneLiesBesideTheProgram)
{
    const ConfigLoadResult result = config.load(QString(), QString(), missingDefault());
    EXPECT_TRUE(result.ok);
    EXPECT_TRUE(result.filePath.isEmpty()); // nothing to log
    EXPECT_EQ(patterns(config.exclusionList), kDefaultExclusions);
    EXPECT_EQ(patterns(config.compressionExclusionList), kDefaultCompression);
    EXPECT_TRUE(config.exclusionExceptions.empty());
}

TEST_F(ConfigFileTest, FileBesideTheProgramIsReadWhenNoneIsNamed)
{
    const QString beside = write("[ExclusionList]\n\\Temp\n", QStringLiteral("wimscript.ini"));
    ConfigLoadResult result = config.load(QString(), QString(), beside);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.filePath, beside);
    EXPECT_EQ(patterns(config.exclusionList), plus(kDefaultExclusions, {u"\\TEMP"_qs}));

    // A named file wins over the one beside the program.
    const QString named = write("[ExclusionList]\n\\Other\n", QStringLiteral("named.ini"));
    result = config.load(named, QString(), beside);
    EXPECT_EQ(result.filePath, named);
    EXPECT_EQ(patterns(config.exclusionList), plus(kDefaultExclusions, {u"\\OTHER"_qs}));
}

TEST(DefaultConfigFile, IsWimscriptIniInTheFolderOfTheExecutable)
{
    const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    ASSERT_FALSE(exe.isEmpty());
    EXPECT_EQ(CaptureConfig::defaultConfigFilePath(),
              exe.left(exe.lastIndexOf(u'/') + 1) + QStringLiteral("wimscript.ini"));
}

TEST_F(ConfigFileTest, UnreadableNamedFileFailsAndLeavesTheDefaults)
{
    // An earlier capture's patterns must not survive a failed load.
    ASSERT_TRUE(loadBytes("[ExclusionList]\n\\Stale\n[ExclusionException]\n\\x\n").ok);

    const struct {
        QString path;
        DWORD error;
    } cases[] = {
        {dir.filePath(QStringLiteral("missing.ini")), ERROR_FILE_NOT_FOUND},
        {dir.filePath(QStringLiteral("no/such/dir.ini")), ERROR_PATH_NOT_FOUND},
        {dir.path(), ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        const ConfigLoadResult result = config.load(c.path, QString(), missingDefault());
        EXPECT_FALSE(result.ok) << c.path.toStdString();
        EXPECT_EQ(result.filePath, c.path);
        EXPECT_EQ(result.error, c.error) << c.path.toStdString();
        EXPECT_EQ(patterns(config.exclusionList), kDefaultExclusions);
        EXPECT_EQ(patterns(config.compressionExclusionList), kDefaultCompression);
        EXPECT_TRUE(config.exclusionExceptions.empty());
    }
}

// What opens is read, whatever its kind, and nothing waits for a writer: /dev/null and a
// FIFO without a writer give no lines, a FIFO gives what its writer has put in so far, and
// an endless device is read only so far.
TEST_F(ConfigFileTest, ReadableFilesThatAreNotRegularAreRead)
{
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // Loads on another thread; should the open or a read wait, the FIFO is given a writer
    // that goes away again, which ends the wait, and the test fails instead of hanging.
    const auto loadWithin = [&](const QString& path) {
        auto loading = std::async(std::launch::async,
                                  [&] { return config.load(path, QString(), missingDefault()); });
        if (loading.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "waited on " << path.toStdString();
            ::close(::open(QFile::encodeName(fifo).constData(), O_RDWR | O_NONBLOCK));
        }
        return loading.get();
    };
    for (const QString& path : {u"/dev/null"_qs, fifo, u"/dev/zero"_qs}) {
        const ConfigLoadResult result = loadWithin(path);
        EXPECT_TRUE(result.ok) << path.toStdString();
        EXPECT_EQ(result.filePath, path);
        EXPECT_EQ(patterns(config.exclusionList), kDefaultExclusions) << path.toStdString();
    }

    // The writer stays connected: the text it wrote is read, then reading ends at once.
    const int writer = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    const QByteArray text = "[ExclusionList]\n\\Temp\n";
    ASSERT_EQ(::write(writer, text.constData(), size_t(text.size())), text.size());
    const ConfigLoadResult result = loadWithin(fifo);
    ::close(writer);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(patterns(config.exclusionList), plus(kDefaultExclusions, {u"\\TEMP"_qs}));
}

TEST_F(ConfigFileTest, FileWithoutReadPermissionFails)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads files without permission";
    const QString path = write("[ExclusionList]\n\\Temp\n");
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0), 0);
    const ConfigLoadResult result = config.load(path, QString(), QString());
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, ERROR_ACCESS_DENIED);
}

TEST_F(ConfigFileTest, SectionsFillTheirListsAfterTheDefaults)
{
    ASSERT_TRUE(
        loadBytes("[ExclusionList]\n\\Temp\n*.bak\n[CompressionExclusionList]\n*.iso\n").ok);
    EXPECT_EQ(patterns(config.exclusionList),
              plus(kDefaultExclusions, {u"\\TEMP"_qs, u"*.BAK"_qs}));
    EXPECT_EQ(patterns(config.compressionExclusionList), plus(kDefaultCompression, {u"*.ISO"_qs}));
    EXPECT_TRUE(config.exclusionExceptions.empty());
}

TEST_F(ConfigFileTest, LinesEqualToAnEntryAreIgnoredSoDefaultsCannotBeRemoved)
{
    ASSERT_TRUE(loadBytes("[ExclusionList]\n\\pagefile.sys\n\\PAGEFILE.SYS\n\\Temp\n\\tEMP\n"
                          "[CompressionExclusionList]\n*.Mp3\n")
                    .ok);
    EXPECT_EQ(patterns(config.exclusionList), plus(kDefaultExclusions, {u"\\TEMP"_qs}));
    EXPECT_EQ(patterns(config.compressionExclusionList), kDefaultCompression);
}

TEST_F(ConfigFileTest, EachListHoldsAtMost64Entries)
{
    QByteArray text = "[CompressionExclusionList]\n";
    for (int i = 1; i <= 70; ++i)
        text += "*.x" + QByteArray::number(i) + "\n";
    text += "[ExclusionException]\n";
    for (int i = 1; i <= 70; ++i)
        text += "keep" + QByteArray::number(i) + "\n";
    ASSERT_TRUE(loadBytes(text).ok);

    ASSERT_EQ(config.compressionExclusionList.size(), 64u);
    EXPECT_EQ(config.compressionExclusionList[7].pattern, u"*.X1"_qs);
    EXPECT_EQ(config.compressionExclusionList[63].pattern, u"*.X57"_qs);
    ASSERT_EQ(config.exclusionExceptions.size(), 64u);
    EXPECT_EQ(config.exclusionExceptions[63].pattern, u"KEEP64"_qs);
    EXPECT_EQ(config.exclusionList.size(), 10u);

    // A full list refuses more, and so does addEntry on its own.
    EXPECT_FALSE(CaptureConfig::addEntry(config.exclusionExceptions, u"another"));
    EXPECT_TRUE(CaptureConfig::addEntry(config.exclusionList, u"another"));
}

TEST_F(ConfigFileTest, LongLinesAreTakenAsSeveralAndZeroCharactersEndALine)
{
    const QByteArray longLine(5000, 'a');
    ASSERT_TRUE(
        loadBytes("[ExclusionList]\n" + longLine + "\nkept" + QByteArray(1, '\0') + "dropped\n")
            .ok);
    ASSERT_EQ(config.exclusionList.size(), 13u);
    EXPECT_EQ(config.exclusionList[10].pattern, QString(4095, u'A'));
    EXPECT_EQ(config.exclusionList[11].pattern, QString(5000 - 4095, u'A'));
    EXPECT_EQ(config.exclusionList[12].pattern, u"KEPT"_qs);
}

// A long UTF-8 line is decoded in pieces, never cut inside a character where a 64 KiB read
// ends: 9 × 4095 two-byte characters and a pattern after them on the same line give ten
// lines (equal ones are all kept: only the letters A to Z are compared without case).
TEST_F(ConfigFileTest, LongUtf8LinesAreNeverCutInsideACharacter)
{
    for (const QByteArray head : {"[ExclusionList]\r\n", "[ExclusionList]\n"}) {
        SCOPED_TRACE(head.size());
        ASSERT_TRUE(loadBytes(head + kLongUtf8Line + "\ntail\n").ok);
        const std::vector<QString> loaded = patterns(config.exclusionList);
        EXPECT_EQ(QStringList(loaded.begin() + 10, loaded.end()),
                  QStringList(9, QString(4095, u'É')) << u"\\X.TXT"_qs << u"TAIL"_qs);
        EXPECT_TRUE(config.isExcluded(u"/x.txt"));
    }
}

// The same configuration in each encoding the reader understands.
TEST_F(ConfigFileTest, EncodingsAreRecognisedAndDecoded)
{
    const QString text = QStringLiteral("[ExclusionList]\r\n\\Äpfel\\*\r\nÿ.txt\r\n"
                                        "[ExclusionException]\r\n\\Äpfel\\keep\r\n");
    const auto encode = [&text](QStringEncoder::Encoding encoding, bool bom) {
        QStringEncoder encoder(encoding, bom ? QStringEncoder::Flag::WriteBom
                                             : QStringEncoder::Flag::Default);
        return QByteArray(encoder.encode(text));
    };
    const struct {
        const char* name;
        QByteArray bytes;
        ConfigEncoding encoding;
    } cases[] = {
        {"latin1", text.toLatin1(), ConfigEncoding::Latin1},
        {"utf8 bom", encode(QStringEncoder::Utf8, true), ConfigEncoding::Utf8Bom},
        {"utf16le bom", encode(QStringEncoder::Utf16LE, true), ConfigEncoding::Utf16LE},
        {"utf16be bom", encode(QStringEncoder::Utf16BE, true), ConfigEncoding::Utf16BE},
        {"utf16le", encode(QStringEncoder::Utf16LE, false), ConfigEncoding::Utf16LE},
        {"utf16be", encode(QStringEncoder::Utf16BE, false), ConfigEncoding::Utf16BE},
    };
    for (const auto& c : cases) {
        const ConfigLoadResult result = loadBytes(c.bytes);
        ASSERT_TRUE(result.ok) << c.name;
        EXPECT_EQ(result.encoding, c.encoding) << c.name;
        EXPECT_EQ(patterns(config.exclusionList),
                  plus(kDefaultExclusions, {u"\\ÄPFEL\\*"_qs, QStringLiteral("\u0178.TXT")}))
            << c.name;
        EXPECT_EQ(patterns(config.exclusionExceptions), std::vector{u"\\ÄPFEL\\KEEP"_qs}) << c.name;
        EXPECT_TRUE(config.isExcluded(u"C:\\äpfel\\x")) << c.name;
        EXPECT_FALSE(config.isExcluded(u"C:\\äpfel\\keep")) << c.name;
    }
}

// Without a mark, a line that is valid UTF-8 (as Linux editors write) is read as UTF-8; a
// line that is not is 8-bit text, each byte one character (here the same pattern again).
TEST_F(ConfigFileTest, LinesWithoutMarkAreUtf8WhereValidElseEightBit)
{
    const ConfigLoadResult result =
        loadBytes("[ExclusionList]\n\\\xc3\x84pfel\n\\\xc4pfel\r\n\\\xd0\x9f\xd0\xb0\n");
    EXPECT_EQ(result.encoding, ConfigEncoding::Latin1);
    EXPECT_EQ(patterns(config.exclusionList),
              plus(kDefaultExclusions, {u"\\ÄPFEL"_qs, u"\\ПА"_qs}));
    EXPECT_TRUE(config.isExcluded(u"/äpfel"));
}

TEST(ConfigLineReader, ChunkBoundariesDoNotChangeTheLines)
{
    const QString text = QStringLiteral("[ExclusionList]\nПапка\\файл\n\U0001F600.txt\nlast");
    QStringEncoder utf8(QStringEncoder::Utf8, QStringEncoder::Flag::WriteBom);
    QStringEncoder utf16(QStringEncoder::Utf16BE, QStringEncoder::Flag::WriteBom);
    const QStringList longLines = QStringList(QStringLiteral("[ExclusionList]\r"))
                                  << QStringList(9, QString(4095, u'é')) << u"\\x.txt"_qs;
    // A long 8-bit line stays 8-bit to its end, also where a later piece would pass as UTF-8.
    const QByteArray eightBit = ("\xC4" + QByteArray(5000, 'a') + "\xC3\x84").repeated(4);
    QStringList eightBitLines{u"x"_qs};
    for (qsizetype i = 0; i < eightBit.size(); i += 4095)
        eightBitLines << QString::fromLatin1(eightBit.mid(i, 4095));
    const struct {
        QByteArray bytes;
        QStringList lines;
    } cases[] = {
        {utf8.encode(text), text.split(u'\n')},
        {utf16.encode(text), text.split(u'\n')},
        {"[ExclusionList]\r\n" + kLongUtf8Line, longLines}, // no mark: line by line
        {"x\n" + eightBit, eightBitLines},
    };
    for (const auto& c : cases) {
        for (qsizetype chunk : {qsizetype(1), qsizetype(2), qsizetype(3), qsizetype(4097),
                                qsizetype(65536), c.bytes.size()}) {
            ConfigLineReader reader;
            QStringList lines;
            const auto collect = [&lines](QStringView line) { lines.append(line.toString()); };
            for (qsizetype i = 0; i < c.bytes.size(); i += chunk)
                reader.feed(QByteArrayView(c.bytes).sliced(i, qMin(chunk, c.bytes.size() - i)),
                            collect);
            reader.finish(collect);
            EXPECT_EQ(lines, c.lines) << "chunk " << chunk;
        }
    }
}

TEST_F(ConfigFileTest, ListingShowsNonEmptyListsWithTheirHeadings)
{
    ASSERT_TRUE(loadBytes("[ExclusionException]\n\\keep\n").ok);
    QStringList expected{u"\r\n[ExclusionList]"_qs};
    for (const QString& p : kDefaultExclusions)
        expected.append(p);
    expected.append(u"\r\n[CompressionExclusionList]"_qs);
    for (const QString& p : kDefaultCompression)
        expected.append(p);
    expected.append(u"\r\n[ExclusionException]"_qs);
    expected.append(u"\\KEEP"_qs);
    EXPECT_EQ(config.listingLines(), expected);

    config.compressionExclusionList.clear();
    config.exclusionExceptions.clear();
    EXPECT_EQ(config.listingLines().size(), 11);
    EXPECT_FALSE(config.listingLines().contains(u"\r\n[CompressionExclusionList]"_qs));
}

TEST(PatternEntry, IsSplitIntoAnchorDirectoryAndFileName)
{
    const struct {
        QString line, directory, fileName;
        bool anchored, wildcard;
    } cases[] = {
        {u"\\pagefile.sys"_qs, u"\\"_qs, u"PAGEFILE.SYS"_qs, true, false},
        {u"*.mp3"_qs, u"\\"_qs, u"*.MP3"_qs, false, true},
        {u"\\$Recycle.Bin\\*"_qs, u"\\$RECYCLE.BIN\\"_qs, u"*"_qs, true, true},
        {u"Temp\\*"_qs, u"\\TEMP\\"_qs, u"*"_qs, false, true},
        {u"C:\\pagefile.sys"_qs, u"\\"_qs, u"PAGEFILE.SYS"_qs, false, false},
        {u"d:x/y?\\z"_qs, u"\\X\\Y?\\"_qs, u"Z"_qs, false, false},
        {u"/a/b/"_qs, u"\\A\\B\\"_qs, QString(), true, false},
        {u"ärger"_qs, u"\\"_qs, u"ÄRGER"_qs, false, false},
    };
    for (const auto& c : cases) {
        const PatternEntry entry = preparePatternEntry(c.line);
        EXPECT_EQ(entry.directory, c.directory) << c.line.toStdString();
        EXPECT_EQ(entry.directoryLength, c.directory.size());
        EXPECT_EQ(entry.fileName, c.fileName) << c.line.toStdString();
        EXPECT_EQ(entry.anchored, c.anchored) << c.line.toStdString();
        EXPECT_EQ(entry.hasWildcard, c.wildcard) << c.line.toStdString();
    }
}

TEST(PathKey, DropsTheVolumeRootOrDriveAndSplitsAtTheLastSeparator)
{
    const struct {
        QString path, root, directory, fileName;
    } cases[] = {
        {u"C:\\Data\\Music\\song.mp3"_qs, QString(), u"\\Data\\Music\\"_qs, u"song.mp3"_qs},
        {u"C:\\pagefile.sys"_qs, QString(), u"\\"_qs, u"pagefile.sys"_qs},
        {u"C:pagefile.sys"_qs, QString(), u"\\"_qs, u"pagefile.sys"_qs},
        {u"/mnt/win/Users/a.txt"_qs, u"/mnt/win"_qs, u"/Users/"_qs, u"a.txt"_qs},
        {u"/mnt/win"_qs, u"/mnt/win"_qs, u"\\"_qs, QString()},
        {u"/mnt/winx/a"_qs, u"/mnt/win"_qs, u"/mnt/winx/"_qs, u"a"_qs},
        {u"rel\\x"_qs, QString(), u"\\rel\\"_qs, u"x"_qs},
        {u"/mnt/win//Users/a"_qs, u"/mnt/win"_qs, u"/Users/"_qs, u"a"_qs},
    };
    for (const auto& c : cases) {
        const PathKey key = makePathKey(c.path, c.root);
        QString directory = key.leadingSeparatorImplied ? u"\\"_qs : QString();
        directory += QStringView(key.dirText, qsizetype(key.dirTextLength));
        EXPECT_EQ(directory, c.directory) << c.path.toStdString();
        EXPECT_EQ(key.directoryLength, std::size_t(c.directory.size()));
        EXPECT_EQ(QStringView(key.fileName, qsizetype(key.fileNameLength)).toString(), c.fileName)
            << c.path.toStdString();
    }
}

TEST(WildcardMatch, FollowsStarAndQuestionMarkRules)
{
    const struct {
        const char16_t* pattern;
        const char16_t* name;
        bool match;
    } cases[] = {
        {u"*.MP?", u"SONG.MP3", true},
        {u"*.MP?", u"SONG.MP4", true},
        {u"*.MP?", u"SONG.MP", false},
        {u"*.MP?", u"SONG.MP34", false},
        {u"X*Y*Z", u"XAYBZ", true},
        {u"X*Y*Z", u"XYZ", true},
        {u"X*Y*Z", u"XZY", false},
        {u"*", u"ANYTHING", true},
        {u"*", u"", true},
        {u"", u"", true},
        {u"", u"A", false},
        {u"ABC", u"ABC", true},
        {u"ABC", u"ABCD", false},
        {u"ABCD", u"ABC", false},
        {u"A**B", u"AXB", true},
        {u"*AB", u"AAB", true},
        {u"*A*B*C*", u"XAXBXCX", true},
        {u"*A*B*C*", u"XAXCXBX", false},
        {u"???", u"AB", false},
        {u"?*", u"", false},
        {u"*.TXT", u"notes.txt", true},
        {u"*SS", u"abß", false},
        {u"Ä*Ж", u"äxyzж", true},
        {u"*.LOG", u"a.log.bak", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wildcardMatch(QStringView(c.pattern), QStringView(c.name)), c.match)
            << QString::fromUtf16(c.pattern).toStdString() << " / "
            << QString::fromUtf16(c.name).toStdString();
    }
}

TEST(Matching, IgnoresTheCaseOfNonAsciiLetters)
{
    const struct {
        const char16_t* pattern;
        const char16_t* path;
        bool match;
    } cases[] = {
        {u"\\Ä\\ö.txt", u"C:\\ä\\Ö.TXT", true},
        {u"Журнал\\*", u"C:\\x\\ЖУРНАЛ\\a", true},
        {u"журнал\\*", u"C:\\x\\Журнал\\a", true},
        {u"σ.txt", u"C:\\Σ.txt", true},
        {u"ς.txt", u"C:\\σ.txt", true}, // final and medial sigma share their capital
        {u"ÿ", u"C:\\\u0178", true},
        {u"straße", u"C:\\STRASSE", false},
        {u"æble", u"C:\\Æble", true},
        {u"Ä", u"C:\\A", false},
    };
    for (const auto& c : cases) {
        const PatternEntry entry = preparePatternEntry(QStringView(c.pattern));
        EXPECT_EQ(matchesPattern(entry, makePathKey(QStringView(c.path))), c.match)
            << QString::fromUtf16(c.pattern).toStdString() << " / "
            << QString::fromUtf16(c.path).toStdString();
    }
}

TEST(Matching, PathsLongerThanAnyBufferAreMatchedWhole)
{
    CaptureConfig config;
    ASSERT_TRUE(config.load(QString(), QString(), QString()).ok);
    ASSERT_TRUE(CaptureConfig::addEntry(config.exclusionList, u"deep\\*.tmp"));
    config.setVolumeRoot(u"/mnt/win"_qs);
    QString deep = u"/mnt/win"_qs;
    for (int i = 0; i < 2000; ++i)
        deep += u"/dir"_qs;
    EXPECT_TRUE(config.isExcluded(deep + u"/deep/x.tmp"_qs));
    EXPECT_FALSE(config.isExcluded(deep + u"/pagefile.sys"_qs));
    EXPECT_TRUE(config.isExcluded(u"/mnt/win/pagefile.sys"_qs));
    EXPECT_TRUE(config.isCompressionExcluded(deep + u"/a.wim"_qs));
    EXPECT_TRUE(config.isExcluded(u"/mnt/win/"_qs + QString(5000, u'x') + u"/deep/y.TMP"_qs));
}

TEST(CaptureConfigLoad, AnchorsAtTheVolumeOfTheSource)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString base = QFileInfo(dir.path()).canonicalFilePath();
    ASSERT_TRUE(QDir().mkpath(base + u"/vol"_qs));
    // The real mount table: "/" is its own volume, and a folder lies on the volume the
    // platform names for it.
    CaptureConfig config;
    ASSERT_TRUE(config.load(QString(), u"/"_qs, QString()).ok);
    EXPECT_TRUE(config.isExcluded(u"/pagefile.sys"_qs));
    ASSERT_TRUE(config.load(QString(), base + u"/vol"_qs, QString()).ok);
    const QString root = volumeRootOf(base + u"/vol"_qs);
    EXPECT_EQ(config.volumeRoot(), root == u"/" ? QString() : root);
    EXPECT_TRUE(base.startsWith(root));
}

} // namespace
