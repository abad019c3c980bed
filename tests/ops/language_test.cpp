// The interface language: which locale asks for English, the English catalogue of the string
// table and of the system texts, and both languages end to end through pelloric-run.
#include "ops/Text.h"
#include "platform/Kernel.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>

#include <gtest/gtest.h>

namespace {

// Puts the process back into the environment's language when a test ends.
struct LanguageScope {
    explicit LanguageScope(LANGID language) { SetProcessUILanguage(language); }
    ~LanguageScope() { SetProcessUILanguage(0); }
};

QString stringIn(UINT id, LANGID language)
{
    LPCWSTR text = nullptr;
    const int n = LoadStringForLanguageW(GetModuleHandleW(nullptr), id,
                                         reinterpret_cast<LPWSTR>(&text), 0, language);
    return n > 0 ? QString::fromUtf16(text, n) : QString();
}

QString systemTextIn(DWORD code, LANGID language)
{
    WCHAR buffer[1024];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, language, buffer, 1024, nullptr);
    return n > 0 ? QString::fromUtf16(buffer, n) : QString();
}

// The inserts of a text in order of appearance ("%1", "%2!d!"); escapes such as "%%" are not
// inserts.
QStringList insertsOf(const QString& text)
{
    static const QRegularExpression insert(QStringLiteral("%(?:([1-9][0-9]?)(![^!]*!)?|.)"));
    QStringList found;
    for (auto it = insert.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        if (!match.captured(1).isEmpty())
            found << match.captured(1) + match.captured(2);
    }
    found.sort();
    return found;
}

bool hasChinese(const QString& text)
{
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x2E80 && c.unicode() <= 0xFFEF; });
}

} // namespace

TEST(Language, LocaleEnvironmentDecidesLikeGettext)
{
    constexpr LANGID zh = LANGID_CHINESE_SIMPLIFIED;
    constexpr LANGID en = LANGID_ENGLISH_US;
    struct Case {
        const char* language;
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        LANGID expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, nullptr, zh}, // nothing set: C
        {nullptr, nullptr, nullptr, "C", zh},
        {nullptr, nullptr, nullptr, "C.UTF-8", zh},
        {nullptr, nullptr, nullptr, "POSIX", zh},
        {nullptr, nullptr, nullptr, "en_US.UTF-8", en},
        {nullptr, nullptr, nullptr, "en_GB.ISO-8859-1@euro", en},
        {nullptr, nullptr, nullptr, "en", en},
        {nullptr, nullptr, nullptr, "zh_CN.UTF-8", zh},
        {nullptr, nullptr, nullptr, "de_DE.UTF-8", zh}, // no German: the source texts
        {"", "", "", "en_US.UTF-8", en},                // empty counts as unset
        {nullptr, "C", nullptr, "en_US.UTF-8", zh},     // LC_ALL comes first
        {nullptr, "en_US.UTF-8", nullptr, "zh_CN.UTF-8", en},
        {nullptr, nullptr, "en_US.UTF-8", "zh_CN.UTF-8", en}, // then LC_MESSAGES
        {nullptr, "zh_CN.UTF-8", "en_US.UTF-8", nullptr, zh},
        {"en", nullptr, nullptr, "zh_CN.UTF-8", en}, // LANGUAGE over the locale
        {"zh_CN", nullptr, nullptr, "en_US.UTF-8", zh},
        {"fr:de:en_GB", nullptr, nullptr, "fr_FR.UTF-8", en}, // first language we have
        {"zh_TW:en", nullptr, nullptr, "en_US.UTF-8", zh},
        {"fr:de", nullptr, nullptr, "en_US.UTF-8", zh}, // none we have: source texts
        {"en", nullptr, nullptr, "C.UTF-8", zh},        // C ignores LANGUAGE
        {"en", "POSIX", nullptr, "en_US.UTF-8", zh},
        {"en", nullptr, nullptr, nullptr, zh},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UILanguageFromEnvironment(c.language, c.lcAll, c.lcMessages, c.lang), c.expected)
            << "LANGUAGE=" << (c.language ? c.language : "-")
            << " LC_ALL=" << (c.lcAll ? c.lcAll : "-")
            << " LC_MESSAGES=" << (c.lcMessages ? c.lcMessages : "-")
            << " LANG=" << (c.lang ? c.lang : "-");
    }
}

// Every text of the string table has its English text, with the same inserts and the same
// line breaks (the report is laid out by them), and the English texts name no Chinese.
TEST(Language, EveryStringHasAnEnglishTextWithTheSameInserts)
{
    int ids = 0;
    for (UINT id = 0; id <= 0xFFFF; ++id) {
        const QString chinese = stringIn(id, LANGID_CHINESE_SIMPLIFIED);
        if (chinese.isEmpty()) {
            EXPECT_TRUE(stringIn(id, LANGID_ENGLISH_US).isEmpty())
                << "English without Chinese " << id;
            continue;
        }
        ++ids;
        const QString english = stringIn(id, LANGID_ENGLISH_US);
        ASSERT_FALSE(english.isEmpty()) << "string " << id << " has no English text";
        EXPECT_EQ(insertsOf(english), insertsOf(chinese)) << "string " << id;
        EXPECT_EQ(english.count(QStringLiteral("\r\n")), chinese.count(QStringLiteral("\r\n")))
            << "string " << id;
        EXPECT_EQ(english.startsWith(u'\t'), chinese.startsWith(u'\t')) << "string " << id;
        EXPECT_EQ(english.endsWith(u'\t'), chinese.endsWith(u'\t')) << "string " << id;
        EXPECT_FALSE(hasChinese(english)) << "string " << id;
    }
    EXPECT_GE(ids, 100);
}

TEST(Language, EverySystemTextHasAnEnglishText)
{
    int codes = 0;
    for (DWORD code = 0; code < 20000; ++code) {
        const QString chinese = systemTextIn(code, LANGID_CHINESE_SIMPLIFIED);
        if (chinese.isEmpty())
            continue;
        ++codes;
        const QString english = systemTextIn(code, LANGID_ENGLISH_US);
        ASSERT_FALSE(english.isEmpty()) << "system text " << code << " has no English text";
        EXPECT_TRUE(english.endsWith(u'\n')) << code;
        EXPECT_FALSE(hasChinese(english)) << code;
    }
    EXPECT_GE(codes, 60);
    // A language the program does not have is refused, as the platform refuses it.
    WCHAR buffer[64];
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0x0407,
                             buffer, 64, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST(Language, TextServicesFollowTheProcessLanguage)
{
    {
        LanguageScope english(LANGID_ENGLISH_US);
        EXPECT_EQ(loadString(Text::CompressionFast), QStringLiteral("Fast"));
        EXPECT_EQ(formatMessage(Text::ImageIndexLine, {std::int64_t{3}}),
                  QStringLiteral("Image index:\t3"));
        EXPECT_EQ(errorText(ERROR_FILE_NOT_FOUND),
                  QStringLiteral("The system cannot find the file specified."));
        EXPECT_EQ(formatMessage(Text::ErrorReason, {errorText(ERROR_ACCESS_DENIED)}),
                  QStringLiteral("Error: Access is denied."));
        EXPECT_EQ(elapsedTimeText(0), QStringLiteral("Estimating..."));
    }
    {
        // Any other choice is the program's own language, and its texts are as they were.
        LanguageScope german(0x0407);
        EXPECT_EQ(GetProcessUILanguage(), LANGID_CHINESE_SIMPLIFIED);
        EXPECT_EQ(loadString(Text::CompressionFast), QStringLiteral("快速"));
        EXPECT_EQ(errorText(ERROR_FILE_NOT_FOUND), QStringLiteral("系统找不到指定的文件。"));
    }
    // A compression name means the same in either language.
    for (const QString& maximum : {QStringLiteral("最大"), QStringLiteral("Maximum")}) {
        EXPECT_TRUE(matchesString(Text::CompressionMaximum, maximum));
        EXPECT_FALSE(matchesString(Text::CompressionNone, maximum));
    }
    EXPECT_FALSE(matchesString(Text::CompressionMaximum, QStringLiteral("maximum")));
}

// pelloric-run speaks the language its environment asks for: English under an English locale,
// the Chinese texts byte for byte under C, and the system texts after "Error: %1" follow.
TEST(Language, RunnerSpeaksTheEnvironmentsLanguage)
{
    const QString runner = QStringLiteral(PELLORIC_BINARY_DIR "/src/app/pelloric-run");
    ASSERT_TRUE(QFileInfo(runner).isExecutable()) << "pelloric-run is not built";
    TempDir dir;
    wimfix::makeSampleTree(dir.mkdir(QStringLiteral("tree")));
    const QString wim = dir.file(QStringLiteral("sample.wim"));

    const auto run = [&](const QStringList& environment, const QStringList& args) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"})
            env.remove(QString::fromLatin1(name));
        for (const QString& setting : environment)
            env.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(runner, args);
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
        }
        // The report keeps the program's "\r\n" line breaks; the log prints "\n".
        return QString::fromUtf8(p.readAll()).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    };
    const QStringList english = {QStringLiteral("LANG=en_US.UTF-8")};
    const QStringList chinese = {QStringLiteral("LANG=C")};

    // A capture with the compression named in the other language.
    QString log = run(english, {QStringLiteral("1019"), "captureSource=" + dir.file("tree"),
                                "captureTarget=" + wim, QStringLiteral("captureCompression=最大")});
    EXPECT_TRUE(log.contains(QStringLiteral("Compression: maximum"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("WIM captured"))) << log.toStdString();
    EXPECT_FALSE(hasChinese(log)) << log.toStdString();
    ASSERT_EQ(wimfix::imageCount(wim), 1) << log.toStdString();

    const QString report = run(english, {QStringLiteral("report"), "infoSource=" + wim});
    EXPECT_TRUE(report.startsWith(QStringLiteral("WIM information:\n"))) << report.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral("Images:\t1\n"))) << report.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral("Compression:\tLZX"))) << report.toStdString();
    const QString chineseReport = run(chinese, {QStringLiteral("report"), "infoSource=" + wim});
    EXPECT_TRUE(chineseReport.startsWith(loadString(Text::ReportHeading).replace("\r\n", "\n")))
        << chineseReport.toStdString();
    EXPECT_TRUE(chineseReport.contains(QStringLiteral("映像数:\t1\n")))
        << chineseReport.toStdString();

    // A failed operation: its error line and the system's text after it.
    const QStringList capture = {QStringLiteral("1019"),
                                 "captureSource=" + dir.file(QStringLiteral("no/such/folder")),
                                 "captureTarget=" + dir.file(QStringLiteral("failed.wim"))};
    log = run(english, capture);
    EXPECT_TRUE(log.contains(QStringLiteral("\nError: capturing the WIM failed.\nError: The system "
                                            "cannot find the path specified.\n")))
        << log.toStdString();
    EXPECT_FALSE(hasChinese(log)) << log.toStdString();
    const QString chineseFailure =
        loadString(Text::CaptureFailed) + u'\n' +
        formatMessage(Text::ErrorReason, {errorText(ERROR_PATH_NOT_FOUND)}) + u'\n';
    EXPECT_EQ(chineseFailure,
              QStringLiteral("错误:捕获 WIM 出错.\n错误: 系统找不到指定的路径。\n"));
    for (const QStringList& environment :
         {QStringList{}, chinese, QStringList{QStringLiteral("LANG=de_DE.UTF-8")},
          QStringList{QStringLiteral("LANGUAGE=en"), QStringLiteral("LC_ALL=POSIX")}}) {
        log = run(environment, capture);
        EXPECT_TRUE(log.contains(chineseFailure)) << environment.join(' ').toStdString() << "\n"
                                                  << log.toStdString();
    }
    log = run({QStringLiteral("LANGUAGE=fr:en"), QStringLiteral("LANG=fr_FR.UTF-8")}, capture);
    EXPECT_TRUE(log.contains(QStringLiteral("Error: capturing the WIM failed.")))
        << log.toStdString();
}
