// Text services: string table loads, message inserts, system error texts, the log, and
// the elapsed-time and percentage formats. Every service ends with a usable text; a text
// that cannot be produced is "???". Thread-safe.
#pragma once

#include "ops/Context.h"
#include "platform/WinTypes.h"

#include <QString>

#include <initializer_list>
#include <variant>

// The string table's texts by name: Text::OpenWimFailed is the id of "错误: 打开 WIM 文件失败.".
// The names come from the table's own rows, so an id and its name are written once.
namespace Text {
enum Id : UINT {
#define TEXT_ROW(id, name, chinese, english) name = (id),
#include "StringTable.inc"
#undef TEXT_ROW
};
} // namespace Text

// An insert value for formatMessage: a number (for %n!d!, %n!X!) or a text (for %n).
using MessageArg = std::variant<std::int64_t, QString>;

inline const QString kUnknownText = QStringLiteral("???");

// String `id` of the string table, or "???" when missing or empty.
QString loadString(UINT id);
// Whether text is string `id` in either of the program's languages: a value written for the
// other language (a script's "最大" in an English session) keeps its meaning.
bool matchesString(UINT id, const QString& text);
// String `id` formatted with inserts in order (surplus values ignored); "???" when the
// string is missing or the inserts do not fit the text.
QString formatMessage(UINT id, std::initializer_list<MessageArg> args = {});
// The platform's message text for a system error code, one trailing line feed removed;
// "???" when there is none.
QString errorText(DWORD code);
// Appends text and a line break to the context's log and shows it in the progress dialog
// when one is open. Safe from the worker and the user-interface thread.
void appendLogLine(OperationContext& context, const QString& text);
// Convenience: appendLogLine(context, formatMessage(id, args)).
void logMessage(OperationContext& context, UINT id, std::initializer_list<MessageArg> args = {});
// Logs Text::ErrorReason with the system text of the thread's last-error code.
void logLastError(OperationContext& context);
// "2m05s", "59s", or Text::Estimating below one second.
QString elapsedTimeText(DWORD milliseconds);
// Moves the progress bar to percent and shows "percent%".
void showPercentage(OperationContext& context, int percent);
// A WIM_MSG_PROGRESS: showPercentage, and the time since the start and the time remaining
// (remaining in milliseconds) on the status line.
void showPercentAndTimes(OperationContext& context, WPARAM percent, LPARAM remaining);

// Dialog writes through progressWindow; no effect while no dialog is open.
void setDialogItemText(OperationContext& context, int controlId, const QString& text);
void enableDialogItem(OperationContext& context, int controlId, bool enable);
// Shows a message box over the progress dialog and waits until the user has answered.
void dialogMessageBox(OperationContext& context, const QString& text, const QString& caption,
                      MessageIcon icon);
