// Steps the operations share: the compression choice, opening a WIM for a change, the closing success line and
// the release of handles at the end of an operation.
#pragma once

#include "ops/Context.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

// The folder part of `path` up to and including its last separator ("" when it has none).
QString folderPartOf(const QString& path);

// The compression a page's text selects: Text::CompressionNone "无" none,
// Text::CompressionMaximum "最大" LZX, any other text XPRESS. Logs the matching line
// (CompressionNoneLine, CompressionMaximumLine or CompressionFastestLine). With offerSolid
// (the export and maintain pages), Text::CompressionLzmsSolid "LZMS 固实 (ESD)" selects
// WIM_COMPRESS_LZMS, solid, and logs Text::CompressionLzmsSolidLine.
DWORD chooseCompression(OperationContext& context, const QString& text, bool offerSolid = false);

// The opening steps of delete and modify: logs Text::OpeningWim, opens `path` for reading
// and writing (integrity checked when `verify`), sets the temporary folder and checks `index`
// against the image count. On failure logs Text::OpenWimFailed, TempFolderUnusable,
// WimAttributesFailed or IndexNotInWim and returns null. The handle is held by `imaging`.
class OperationImaging;
HANDLE openWimForChange(OperationContext& context, OperationImaging& imaging, const QString& path,
                        bool verify, std::uint32_t index);

// The closing line of delete and modify: Text::OperationSucceeded within a second of the
// start, else Text::OperationSucceededIn with the elapsed time.
void logOperationSuccess(OperationContext& context);

// Logs Text::ErrorReason with the system text for `code`, then what the imaging layer knows of
// that failure beyond its code (a line naming the file concerned), when it knows more.
void logErrorReason(OperationContext& context, DWORD code);
// For a failure whose lines end without the system's reason: logs the reason (as
// logErrorReason) only when it is another writer's hold on the file (a sharing or lock
// violation) or the layer names a file in the way, which the user must know to act on.
void logReasonWhenHeld(OperationContext& context, DWORD code);
// After a successful open: logs what the imaging layer found beside the file and left alone
// (an undo record it may not use), when it found anything.
void logImagingNotice(OperationContext& context);

// The imaging handles and the message callback of one operation, released in one place when
// the operation ends (or earlier, by release()): image handles first, the last one held first,
// then WIM handles in the order they were held, then the callback is unregistered. The first
// last-error code is kept: a failing close replaces it only when none was set before. Not
// copied; one per operation, on the worker thread.
class OperationImaging {
public:
    OperationImaging() = default;
    OperationImaging(const OperationImaging&) = delete;
    OperationImaging& operator=(const OperationImaging&) = delete;
    ~OperationImaging() { release(); }

    // Registers the operation's message callback with `context` as its user data, so the
    // callback reports to and takes aborts from this context. On failure logs
    // Text::RegisterCallbackFailed and returns false.
    bool registerCallback(OperationContext& context, WIMMessageCallback callback);
    // Holds a WIM or an image handle until the release; a null handle is passed through.
    HANDLE holdWim(HANDLE wim);
    HANDLE holdImage(HANDLE image);
    // Closes one held image handle now; its close result is not examined.
    void closeImage(HANDLE image);
    // Closes everything held and unregisters the callback. True when every close succeeded,
    // so the caller can tell a failed commit of pending changes (made when a WIM handle is
    // closed) from success. Later calls release nothing and return true.
    bool release();

private:
    std::vector<HANDLE> images_;
    std::vector<HANDLE> wims_;
    WIMMessageCallback callback_ = nullptr;
};
