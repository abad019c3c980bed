// Steps the operations share: the compression choice, opening a WIM for a change, the closing success line and
// the release of handles at the end of an operation.
#pragma once

#include "ops/Context.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"

#include <QString>

#include <cstdint>
#include <initializer_list>
#include <string>

// The folder part of `path` up to and including its last separator ("" when it has none).
QString folderOf(const QString& path);

// The compression a page's text selects: Text::CompressionNone "无" none,
// Text::CompressionMaximum "最大" LZX, any other text XPRESS. Logs the matching line
// (CompressionNoneLine, CompressionMaximumLine or CompressionFastestLine).
DWORD chooseCompression(OperationContext& context, const QString& text);

// The opening steps of delete and modify: logs Text::OpeningWim, opens `path` for reading
// and writing (integrity checked when `verify`), sets the temporary folder and checks `index`
// against the image count. On failure logs Text::OpenWimFailed, TempFolderUnusable,
// WimAttributesFailed or IndexNotInWim, closes what it opened and returns null.
HANDLE openWimForChange(OperationContext& context, const QString& path, bool verify,
                        std::uint32_t index);

// The closing line of delete and modify: Text::OperationSucceeded within a second of the
// start, else Text::OperationSucceededIn with the elapsed time.
void logOperationSuccess(OperationContext& context);

// Registers the operation's message callback with `context` as its user data, so the
// callback reports to and takes aborts from this context. On failure logs
// Text::RegisterCallbackFailed and returns false.
bool registerCallback(OperationContext& context, WIMMessageCallback callback);

// The release step: closes the handles in the order given (null ones skipped), then
// unregisters `callback` (when not null). The first last-error code is kept: a failing
// close replaces it only when none was set before. Returns true when every close succeeded,
// so the caller can tell a failed commit of pending changes (made when a WIM handle is
// closed) from success.
bool releaseImaging(std::initializer_list<HANDLE> handles, WIMMessageCallback callback);
