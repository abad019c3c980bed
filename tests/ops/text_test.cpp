// Text services: string loads, message inserts, system texts, log, time and percentage.
#include "ops/Text.h"
#include "platform/Kernel.h"
#include "support/RecordingPort.h"

#include <gtest/gtest.h>

namespace {

QString format(const char16_t* text, std::vector<DWORD_PTR> args)
{
    LPWSTR out = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                       FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   text, 0, 0, reinterpret_cast<LPWSTR>(&out), 0, args.data());
    if (n == 0)
        return QStringLiteral("<failed>");
    QString s = QString::fromUtf16(out, n);
    LocalFree(out);
    return s;
}

} // namespace

TEST(StringTable, LoadsChineseTextsAndMarksMissingIds)
{
    EXPECT_EQ(loadString(139), QStringLiteral("快速"));
    EXPECT_EQ(loadString(201), QStringLiteral("错误: %1"));
    EXPECT_EQ(loadString(162), QStringLiteral("正在打开 WIM...请稍候...\r\n"));
    EXPECT_EQ(loadString(224), QStringLiteral("错误:不能从 WIM  文件中删除映像索引 \"%1!d!\" ."));
    for (UINT missing : {0u, 132u, 143u, 146u, 151u, 249u, 1000u})
        EXPECT_EQ(loadString(missing), QStringLiteral("???")) << missing;
}

TEST(StringTable, LoadStringCutsToTheCallersBuffer)
{
    WCHAR buf[4];
    EXPECT_EQ(LoadStringW(GetModuleHandleW(nullptr), 137, buf, 4), 3);
    EXPECT_EQ(QString::fromUtf16(buf), QStringLiteral("正在终"));
}

TEST(FormatMessage, InsertsTypedAndUntypedValues)
{
    EXPECT_EQ(formatMessage(154, {std::int64_t{3}}), QStringLiteral("映像索引:\t3"));
    EXPECT_EQ(formatMessage(208, {std::int64_t{7}, std::int64_t{42}}),
              QStringLiteral("文件数: 7 / 42"));
    EXPECT_EQ(formatMessage(180, {std::int64_t{0x2f}}), QStringLiteral("属性:\t0x2F\r\n"));
    EXPECT_EQ(formatMessage(201, {QStringLiteral("拒绝访问。")}),
              QStringLiteral("错误: 拒绝访问。"));
    EXPECT_EQ(formatMessage(166, {std::int64_t{4}}),
              QStringLiteral("错误:WIM文件中无索引\"4\""));
    // Negative numbers and numbers above 2^31 keep the 32-bit meaning of %d.
    EXPECT_EQ(formatMessage(213, {std::int64_t{-1}}), QStringLiteral("映像: -1"));
    EXPECT_EQ(formatMessage(213, {std::int64_t{0xFFFFFFFF}}), QStringLiteral("映像: -1"));
}

TEST(FormatMessage, SurplusArgumentsAreIgnoredAndMissingOnesAreHarmless)
{
    EXPECT_EQ(formatMessage(213, {std::int64_t{2}, QStringLiteral("x"), std::int64_t{9}}),
              QStringLiteral("映像: 2"));
    EXPECT_EQ(formatMessage(207, {std::int64_t{3}, std::int64_t{10}}),
              QStringLiteral("包括 3 个文件夹和 10 个文件.\r\n正在开始捕获...\r\n"));
    EXPECT_EQ(formatMessage(189, {}), QStringLiteral("来源: "));
    EXPECT_EQ(formatMessage(9999, {std::int64_t{1}}), QStringLiteral("???"));
}

TEST(FormatMessage, LongResultsAreNotCut)
{
    const QString longPath = QString(500, QLatin1Char('a')) + QStringLiteral("/文件");
    const QString text = formatMessage(189, {longPath});
    EXPECT_EQ(text, QStringLiteral("来源: ") + longPath);
    EXPECT_GT(text.size(), 259);
}

TEST(FormatMessage, EscapesAndPrintfConversions)
{
    EXPECT_EQ(format(u"a%%b%tc%nd%re%.f%!", {0}), QString::fromUtf16(u"a%b\tc\r\nd\re.f!"));
    EXPECT_EQ(format(u"stop%0here", {0}), QStringLiteral("stop"));
    EXPECT_EQ(format(u"[%1!5d!][%2!-4s!][%3!04X!]",
                     {DWORD_PTR(42), reinterpret_cast<DWORD_PTR>(u"ab"), DWORD_PTR(0xab)}),
              QStringLiteral("[   42][ab  ][00AB]"));
    EXPECT_EQ(format(u"%2 %1", {reinterpret_cast<DWORD_PTR>(u"x"), reinterpret_cast<DWORD_PTR>(u"y")}),
              QStringLiteral("y x"));
    EXPECT_EQ(format(u"%10!u!", {0, 0, 0, 0, 0, 0, 0, 0, 0, DWORD_PTR(4000000000u)}),
              QStringLiteral("4000000000"));
    // A malformed typed insert fails instead of printing garbage.
    EXPECT_EQ(format(u"%1!q!", {1}), QStringLiteral("<failed>"));
    EXPECT_EQ(format(u"%1!d", {1}), QStringLiteral("<failed>"));
}

TEST(FormatMessage, FixedBufferTooSmallFailsInsteadOfCutting)
{
    WCHAR buf[7];
    const DWORD_PTR args[1] = {reinterpret_cast<DWORD_PTR>(u"abcdef")};
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, u"%1", 0, 0,
                             buf, 5, args),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, u"%1", 0, 0,
                             buf, 7, args),
              6u);
}

TEST(ErrorText, SystemTextsLoseOneTrailingLineFeed)
{
    EXPECT_EQ(errorText(ERROR_FILE_NOT_FOUND), QStringLiteral("系统找不到指定的文件。"));
    EXPECT_EQ(errorText(ERROR_ACCESS_DENIED), QStringLiteral("拒绝访问。"));
    EXPECT_EQ(errorText(ERROR_REQUEST_ABORTED), QStringLiteral("请求已被中止。"));
    EXPECT_EQ(errorText(0xDEADBEEF), QStringLiteral("???"));
    EXPECT_EQ(formatMessage(201, {errorText(0xDEADBEEF)}), QStringLiteral("错误: ???"));
}

TEST(ElapsedTime, FormatsAtTheBoundaries)
{
    const struct {
        DWORD ms;
        const char16_t* text;
    } cases[] = {
        {0, u"正在估算..."},   {999, u"正在估算..."}, {1000, u"1s"},     {59999, u"59s"},
        {60000, u"1m00s"},     {125000, u"2m05s"},    {3601000, u"60m01s"},
        {0xFFFFFFFF, u"71582m47s"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(elapsedTimeText(c.ms), QString::fromUtf16(c.text)) << c.ms;
}

TEST(Log, LinesAreKeptWithLineBreaksAndShownOnlyWhileADialogIsOpen)
{
    OperationContext context;
    appendLogLine(context, QStringLiteral("first"));
    appendLogLine(context, QString());
    EXPECT_EQ(context.logText, QStringLiteral("first\r\n\r\n"));

    RecordingPort port;
    context.progressWindow = &port;
    appendLogLine(context, QStringLiteral("二"));
    logMessage(context, 213, {std::int64_t{5}});
    showPercentage(context, 37);
    context.progressWindow = nullptr;
    appendLogLine(context, QStringLiteral("closed"));

    EXPECT_EQ(context.logText, QStringLiteral("first\r\n\r\n二\r\n映像: 5\r\nclosed\r\n"));
    EXPECT_EQ(port.logLines(), QStringList({QStringLiteral("二"), QStringLiteral("映像: 5")}));
    EXPECT_EQ(port.lastProgress(), 37);
    EXPECT_EQ(port.itemText(IDC_PERCENT), QStringLiteral("37%"));
}

TEST(Log, LastErrorLineCarriesTheSystemTextAndKeepsTheCode)
{
    OperationContext context;
    SetLastError(ERROR_DISK_FULL);
    logLastError(context);
    EXPECT_EQ(context.logText, QStringLiteral("错误: 磁盘空间不足。\r\n"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
}

TEST(Log, AppendsFromTwoThreadsReachTheDialogInLogOrder)
{
    OperationContext context;
    RecordingPort port;
    context.progressWindow = &port;
    std::thread other([&] {
        for (int i = 0; i < 2000; ++i)
            appendLogLine(context, QStringLiteral("w%1").arg(i));
    });
    for (int i = 0; i < 2000; ++i)
        appendLogLine(context, QStringLiteral("u%1").arg(i));
    other.join();
    const QStringList shown = port.logLines();
    ASSERT_EQ(shown.size(), 4000);
    EXPECT_EQ(shown.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"), context.logText);
}

TEST(Request, StartUpDefaults)
{
    OperationRequest request;
    request.captureName = QStringLiteral("changed");
    request.applyIndex = 7;
    resetRequestDefaults(request);
    EXPECT_EQ(request.captureName, QStringLiteral("WIM1"));
    EXPECT_EQ(request.captureDisplayName, QStringLiteral("WIM1"));
    EXPECT_EQ(request.captureCompression, QStringLiteral("快速"));
    EXPECT_EQ(request.exportCompression, QStringLiteral("快速"));
    EXPECT_EQ(request.applyIndex, 1u);
    EXPECT_EQ(request.chooserIndex, 0u);
    EXPECT_TRUE(request.captureFlags.isEmpty());
    EXPECT_FALSE(request.deleteCheck);
}
