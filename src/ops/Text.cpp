#include "ops/Text.h"

#include "platform/Kernel.h"

#include <iterator>
#include <vector>

namespace {

// Each row of the string table has an id of its own: of two rows with one id, the second
// could never be loaded.
constexpr UINT kTextIds[] = {
#define TEXT_ROW(id, name, chinese, english) id,
#include "StringTable.inc"
#undef TEXT_ROW
};
constexpr bool idsAreUnique()
{
    for (std::size_t i = 0; i < std::size(kTextIds); ++i)
        for (std::size_t j = i + 1; j < std::size(kTextIds); ++j)
            if (kTextIds[i] == kTextIds[j])
                return false;
    return true;
}
static_assert(idsAreUnique(), "two rows of res/StringTable.inc share an id");

QString fromWide(LPCWSTR text)
{
    return QString::fromUtf16(text);
}

} // namespace

QString loadString(UINT id)
{
    LPCWSTR text = nullptr;
    const int len = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (len <= 0 || !text)
        return kUnknownText;
    return QString::fromUtf16(text, len);
}

bool matchesString(UINT id, const QString& text)
{
    for (LANGID language : {LANGID_CHINESE_SIMPLIFIED, LANGID_ENGLISH_US}) {
        LPCWSTR loaded = nullptr;
        const int len = LoadStringForLanguageW(GetModuleHandleW(nullptr), id,
                                               reinterpret_cast<LPWSTR>(&loaded), 0, language);
        if (len > 0 && loaded && QStringView(loaded, len) == text)
            return true;
    }
    return false;
}

QString formatMessage(UINT id, std::initializer_list<MessageArg> args)
{
    LPCWSTR text = nullptr;
    const int len = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (len <= 0 || !text)
        return kUnknownText;
    // One slot for every insert number the syntax allows; inserts the caller did not give
    // read as 0 (an empty text or the number 0) instead of reading past the arguments.
    std::vector<DWORD_PTR> inserts(99, 0);
    std::vector<QString> texts;
    texts.reserve(args.size());
    std::size_t i = 0;
    for (const MessageArg& arg : args) {
        if (i >= inserts.size())
            break;
        if (const auto* number = std::get_if<std::int64_t>(&arg)) {
            inserts[i] = static_cast<DWORD_PTR>(*number);
        } else {
            texts.push_back(std::get<QString>(arg));
            inserts[i] = reinterpret_cast<DWORD_PTR>(texts.back().utf16());
        }
        ++i;
    }
    LPWSTR out = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                       FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   text, 0, 0, reinterpret_cast<LPWSTR>(&out), 0, inserts.data());
    if (n == 0 || !out) {
        LocalFree(out);
        return kUnknownText;
    }
    QString result = QString::fromUtf16(out, static_cast<qsizetype>(n));
    LocalFree(out);
    return result;
}

QString errorText(DWORD code)
{
    LPWSTR out = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, LANG_NEUTRAL_DEFAULT, reinterpret_cast<LPWSTR>(&out), 0, nullptr);
    if (n == 0 || !out) {
        LocalFree(out);
        return kUnknownText;
    }
    QString text = fromWide(out);
    LocalFree(out);
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text;
}

void appendLogLine(OperationContext& context, const QString& text)
{
    std::lock_guard lock(context.logMutex);
    context.logText += text;
    context.logText += QStringLiteral("\r\n");
    if (DialogPort* dialog = context.progressWindow.load())
        dialog->appendLog(text);
}

void logMessage(OperationContext& context, UINT id, std::initializer_list<MessageArg> args)
{
    appendLogLine(context, formatMessage(id, args));
}

void logLastError(OperationContext& context)
{
    const DWORD code = GetLastError();
    logMessage(context, Text::ErrorReason, {errorText(code)});
    SetLastError(code);
}

QString elapsedTimeText(DWORD milliseconds)
{
    const DWORD s = milliseconds / 1000;
    if (s >= 60)
        return QString::asprintf("%um%.2us", s / 60, s % 60);
    if (s >= 1)
        return QString::asprintf("%us", s);
    return loadString(Text::Estimating);
}

void showPercentage(OperationContext& context, int percent)
{
    if (DialogPort* dialog = context.progressWindow.load()) {
        dialog->setProgressPosition(percent);
        dialog->setItemText(IDC_PERCENT, QString::asprintf("%d%%", percent));
    }
}

void showPercentAndTimes(OperationContext& context, WPARAM percent, LPARAM remaining)
{
    showPercentage(context, static_cast<int>(percent));
    const DWORD elapsed = timeGetTime() - context.startTime.load();
    setDialogItemText(
        context, IDC_STATUS,
        formatMessage(Text::ElapsedAndRemaining,
                      {elapsedTimeText(elapsed), elapsedTimeText(static_cast<DWORD>(remaining))}));
}

void setDialogItemText(OperationContext& context, int controlId, const QString& text)
{
    if (DialogPort* dialog = context.progressWindow.load())
        dialog->setItemText(controlId, text);
}

void enableDialogItem(OperationContext& context, int controlId, bool enable)
{
    if (DialogPort* dialog = context.progressWindow.load())
        dialog->enableItem(controlId, enable);
}

void dialogMessageBox(OperationContext& context, const QString& text, const QString& caption,
                      MessageIcon icon)
{
    if (DialogPort* dialog = context.progressWindow.load())
        dialog->messageBox(text, caption, icon);
}
