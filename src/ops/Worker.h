// The worker frame around every operation and the operation selector.
#pragma once

#include "ops/Context.h"

#include <functional>

// An operation: runs on the worker thread, reports through the log, returns success.
using OperationFn = std::function<bool(OperationContext&)>;

// How the worker frame dresses the dialog's button for one kind of operation.
struct WorkerFrame {
    QString startText;  // button text while running
    QString endText;    // button text after the end
    bool buttonEnabled; // can the operation be aborted
    bool clearCount;    // empty the count line at the end
};

// The operation that button `id` starts, or an empty function for an id that starts none
// (including operations not built yet).
OperationFn selectOperation(int id);
// The frame for operation `id` (capture's for ids outside the table).
WorkerFrame workerFrameFor(int id);

// Test hook: replaces the operation of `id` (an empty function restores the built-in one).
void overrideOperation(int id, OperationFn fn);

// Dialog start: resets the context (log, flags, counters, start time), attaches the dialog
// port, and starts the worker thread for `id`. The context is marked running before the
// thread starts, so the dialog cannot be closed before the worker has set up its frame.
// Returns false when `id` selects no operation or the thread could not be started (the
// context then stays not running, operationResult not valid). Otherwise the operation's
// result arrives in context.operationResult when the frame has ended, and the dialog's
// operationEnded receives how it ended (Finished when it succeeded, else Aborted when the
// abort was requested, else Failed) as the frame's last call. Call on the thread that owns
// the dialog.
bool startOperation(OperationContext& context, int id, DialogPort* dialog);

// Button 2 / Escape of the progress dialog. While running: requests the abort, disables the
// button, shows "正在终止..." and logs the abort line; returns false (the dialog stays).
// Otherwise detaches the dialog (progressWindow null) and returns true: the dialog may end.
bool requestCloseOrAbort(OperationContext& context);

// Waits until the last worker thread has ended (process exit, tests).
void joinWorker(OperationContext& context);
