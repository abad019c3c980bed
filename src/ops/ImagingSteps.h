// Steps that apply, capture and export share: full paths, the temporary folder, the
// compression choice and the release of handles at the end of an operation.
#pragma once

#include "ops/Context.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"

#include <QString>

#include <initializer_list>

// The folder part of `path` up to and including its last separator ("" when it has none).
QString folderOf(const QString& path);

// The compression a page's text selects: string 138 "无" none, string 140 "最大" LZX, any
// other text XPRESS. Logs the matching line (191, 193 or 192).
DWORD chooseCompression(OperationContext& context, const QString& text);

// The release step: closes the handles in the order given (null ones skipped), then
// unregisters `callback` (when not null). The first last-error code is kept: a failing
// close replaces it only when none was set before. Returns true when every close succeeded,
// so the caller can tell a failed commit of pending changes (made when a WIM handle is
// closed) from success.
bool releaseImaging(std::initializer_list<HANDLE> handles, WIMMessageCallback callback);
