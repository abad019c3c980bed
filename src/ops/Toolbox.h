// The operations of the toolbox pages (browse and extract, split and join, optimize and verify),
// and the steps they share with apply and export: finding the other parts of a split set.
// Each operation runs on the worker thread, logs its settings, its steps and one success or
// error line, and returns success, as the described operations do.
#pragma once

#include "ops/Context.h"
#include "ops/Text.h"
#include "platform/Imaging.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

class OperationImaging;

bool RunExtract(OperationContext& context);  // extractSource, extractIndex, extractPaths, ...
bool RunSplit(OperationContext& context);    // splitSource, splitTarget, splitSize
bool RunJoin(OperationContext& context);     // joinSource (the first part), joinTarget
bool RunOptimize(OperationContext& context); // optimizeSource, optimizeCompression
bool RunVerify(OperationContext& context);   // verifySource

// The operation of a toolbox button id, or an empty function for any other id.
std::function<bool(OperationContext&)> toolboxOperation(int id);

// ---- split sets ------------------------------------------------------------------------------
// Why the parts of a split set could not all be given to its first part.
struct SplitPartProblem {
    enum Kind { None, NotFirstPart, Missing, Unusable, Foreign } kind = None;
    DWORD part = 0;              // the part concerned (NotFirstPart: the part `wim` is)
    DWORD total = 0;             // the set's number of parts
    QString path;                // that part's file
    DWORD error = ERROR_SUCCESS; // Unusable: the cause
};
// For a WIM that is the first part of a split set (info.TotalParts > 1), gives every other part
// found beside it (WIMSplitPartPath) to `wim` with WIMSetReferenceFile, after checking that
// each is that part of that set (same GUID, part number and part count). A WIM that is no
// split set is left alone. True when all parts are given; otherwise `problem` says why.
bool referenceSplitParts(HANDLE wim, const QString& path, const WIM_INFO& info,
                         SplitPartProblem& problem);
// The clear line for a problem (Text::SplitPartMissing, ...; an unusable part adds a second
// line with the cause's text); logSplitPartProblem logs those lines.
QString splitPartProblemText(const SplitPartProblem& problem);
void logSplitPartProblem(OperationContext& context, const SplitPartProblem& problem);
// The step apply, export, extraction and verify take after reading the source's attributes:
// referenceSplitParts, logging Text::SplitPartsLine for a split set and the problem when one
// stops it. False when the operation must stop.
bool useSplitParts(OperationContext& context, HANDLE wim, const QString& path,
                   const WIM_INFO& info);
// The step apply and extraction take next: checks `index` against the WIM (Text::IndexNotInWim),
// useSplitParts, then loads the image held by `imaging` and reads its tree, so that a damaged
// image fails before anything is written (Text::LoadImageFailed, and the system's reason when
// withReason). Null when the operation must stop.
HANDLE loadImageTree(OperationContext& context, OperationImaging& imaging, HANDLE wim,
                     const QString& path, const WIM_INFO& info, std::uint32_t index,
                     bool withReason);

// ---- extraction and listing --------------------------------------------------------------------
// The paths of an extractPaths text: separated by ';', ";;" standing for a ';' within a
// path; empty paths dropped.
QStringList parseExtractPaths(const QString& text);
// extractPaths for a list of paths (the inverse of parseExtractPaths).
QString joinExtractPaths(const QStringList& paths);
// Attribute letters of an entry, in this order: D folder, R read-only, H hidden, S system,
// A archive, L link or other reparse point, C compressed, E encrypted; "-" for none.
QString attributeLetters(DWORD attributes);

// ---- opening and closing ----------------------------------------------------------------------
// Logs Text::OpeningWim and opens `path` with `access` (OPEN_EXISTING), held by `imaging`; with
// `info`, reads its attributes too. On failure logs Text::OpenWimFailed with the cause, or
// Text::WimAttributesFailed, and returns null.
HANDLE openToolboxWim(OperationContext& context, OperationImaging& imaging, const QString& path,
                      DWORD access, WIM_INFO* info);

// ---- closing lines -----------------------------------------------------------------------------
// The success line: `quick` within a second of the start, else `timed` with the elapsed time as
// its first insert; `count` (when given) is the next insert.
void logToolboxSuccess(OperationContext& context, UINT quick, UINT timed,
                       const MessageArg* count = nullptr);
// The error line `line`, then Text::ErrorReason with the text of the thread's last error.
void logToolboxFailure(OperationContext& context, UINT line);

// ---- message callbacks -------------------------------------------------------------------------
// Extraction: as apply's, counting entries against the number WIM_MSG_SETRANGE gives (logged
// with Text::ExtractStarting), and the layer's refusals (WIM_MSG_ERROR with a path and
// ERROR_FILE_EXISTS, ERROR_INVALID_NAME, ERROR_FILENAME_EXCED_RANGE, ERROR_PATH_NOT_FOUND or
// ERROR_DIRECTORY) logged as their clear lines.
DWORD ExtractMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData);
// Split, join, optimize and verify: percentage and times, the part being written (logged with
// Text::WritingPart, shown in the count line), the library's messages as apply logs them, and
// WIM_MSG_ABORT_IMAGE to any message once an abort was requested.
DWORD ToolboxMessageCallback(DWORD messageId, WPARAM wParam, LPARAM lParam, PVOID userData);
