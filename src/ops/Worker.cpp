#include "ops/Worker.h"

#include "ops/Operations.h"
#include "ops/Text.h"
#include "ops/Toolbox.h"
#include "platform/Kernel.h"

#include <future>
#include <map>
#include <mutex>
#include <system_error>

namespace {

std::mutex gOverrideMutex;
std::map<int, OperationFn> gOverrides;

OperationFn builtInOperation(int id)
{
    switch (id) {
    case ID_DELETE:
        return RunDelete;
    case ID_MODIFY:
        return RunModify;
    case ID_CAPTURE:
        return [](OperationContext& ctx) { return RunCapture(ctx, false); };
    case ID_APPEND:
        return [](OperationContext& ctx) { return RunCapture(ctx, true); };
    case ID_APPLY:
        return RunApply;
    case ID_EXPORT:
        return RunExport;
    case ID_MOUNT:
        return RunMount;
    case ID_UNMOUNT:
        return RunUnmount;
    default:
        return toolboxOperation(id);
    }
}

// The frame around the operation. `running` was set by startOperation before this thread
// existed, so the dialog could not close while the frame was being set up.
void workerMain(OperationContext* context, int id, const OperationFn& operation,
                std::promise<bool> result)
{
    const WorkerFrame frame = workerFrameFor(id);
    setDialogItemText(*context, IDC_STATUS, QString());
    setDialogItemText(*context, IDC_CLOSE_BUTTON, frame.startText);
    if (!frame.buttonEnabled)
        enableDialogItem(*context, IDC_CLOSE_BUTTON, false);
    bool succeeded = false;
    try {
        succeeded = operation(*context);
    } catch (const std::exception& e) {
        // An operation that throws has failed; say so instead of taking the program down.
        SetLastError(ERROR_INTERNAL_ERROR);
        logLastError(*context);
        appendLogLine(*context, QString::fromLocal8Bit(e.what()));
    }
    const OperationEnd end = succeeded                        ? OperationEnd::Finished
                             : context->abortRequested.load() ? OperationEnd::Aborted
                                                              : OperationEnd::Failed;
    {
        std::lock_guard frameLock(context->frameMutex);
        setDialogItemText(*context, IDC_CLOSE_BUTTON, frame.endText);
        enableDialogItem(*context, IDC_CLOSE_BUTTON, true);
        setDialogItemText(*context, IDC_STATUS, QString());
        if (frame.clearCount)
            setDialogItemText(*context, IDC_COUNT, QString());
        // The end state travels behind the end texts; an Abort press cannot come between
        // (it takes frameMutex) and the dialog is still attached while running is true.
        if (DialogPort* dialog = context->progressWindow.load())
            dialog->operationEnded(end);
        // Once running is false the dialog may close and forget its port.
        context->running = false;
    }
    result.set_value(succeeded);
}

} // namespace

OperationFn selectOperation(int id)
{
    {
        std::lock_guard lock(gOverrideMutex);
        if (auto it = gOverrides.find(id); it != gOverrides.end())
            return it->second;
    }
    return builtInOperation(id);
}

void overrideOperation(int id, OperationFn fn)
{
    std::lock_guard lock(gOverrideMutex);
    if (fn)
        gOverrides[id] = std::move(fn);
    else
        gOverrides.erase(id);
}

WorkerFrame workerFrameFor(int id)
{
    switch (id) {
    case ID_APPLY:
    case ID_EXPORT:
        return {QStringLiteral("Abort"), QStringLiteral("Close"), true, true};
    case ID_DELETE:
    case ID_MODIFY:
    case ID_MOUNT:
    case ID_UNMOUNT:
        return {loadString(Text::AbortButton), loadString(Text::CloseButton), false, true};
    case ID_CAPTURE:
    case ID_APPEND:
    default:
        return {loadString(Text::AbortButton), loadString(Text::CloseButton), true, false};
    }
}

bool startOperation(OperationContext& context, int id, DialogPort* dialog)
{
    // A previous worker has ended its frame (its dialog could not close before); collect it.
    joinWorker(context);
    {
        std::lock_guard lock(context.logMutex);
        context.progressWindow = dialog;
        context.logText.clear();
    }
    context.abortRequested = false;
    context.running = false;
    context.operationResult = {};
    if (dialog) {
        dialog->setProgressPosition(0);
        dialog->setItemText(IDC_PERCENT, QStringLiteral("0%"));
        dialog->setItemText(IDC_COUNT, QString());
    }
    context.processedCount = 0;
    context.fileCount = 0;
    context.folderCount = 0;
    context.scanNoticeShown = false;
    context.startTime = timeGetTime();

    OperationFn operation = selectOperation(id);
    if (!operation)
        return false;
    // Running before the thread exists: the dialog cannot be closed while the worker is
    // still setting up its frame.
    context.running = true;
    std::promise<bool> result;
    std::shared_future<bool> resultReady = result.get_future().share();
    try {
        context.workerThread =
            std::thread(workerMain, &context, id, std::move(operation), std::move(result));
    } catch (const std::system_error&) {
        context.running = false;
        return false;
    }
    context.operationResult = std::move(resultReady);
    return true;
}

bool requestCloseOrAbort(OperationContext& context)
{
    std::lock_guard frameLock(context.frameMutex);
    if (!context.running) {
        std::lock_guard lock(context.logMutex);
        context.progressWindow = nullptr;
        return true;
    }
    // A second Escape while the abort is pending repeats nothing.
    if (context.abortRequested.exchange(true))
        return false;
    enableDialogItem(context, IDC_CLOSE_BUTTON, false);
    setDialogItemText(context, IDC_CLOSE_BUTTON, loadString(Text::AbortingButton));
    appendLogLine(context, loadString(Text::AbortingOperation));
    return false;
}

void joinWorker(OperationContext& context)
{
    if (context.workerThread.joinable() &&
        context.workerThread.get_id() != std::this_thread::get_id())
        context.workerThread.join();
}
