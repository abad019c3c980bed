// Delete: removes one image from an existing WIM file.
#include "ops/ImagingSteps.h"
#include "ops/Operations.h"
#include "ops/Text.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"

bool RunDelete(OperationContext& context)
{
    const OperationRequest& request = context.request;
    // Paths are kept whole: a path longer than the platform's 259 characters is not cut.
    const QString path = request.deleteSource;
    const std::uint32_t index = request.deleteIndex;

    OperationImaging imaging;
    HANDLE wim = openWimForChange(context, imaging, path, request.deleteCheck, index);
    if (!wim)
        return false;
    logMessage(context, Text::DeletingImage, {std::int64_t{index}});
    if (!WIMDeleteImage(wim, index)) {
        // The deletion is written at once; a writer that got to the file first is a cause the
        // user must see. Other causes (an index of 0) end with the failure line alone.
        const DWORD error = GetLastError();
        logMessage(context, Text::DeleteImageFailed, {std::int64_t{index}});
        logReasonWhenHeld(context, error);
        return false;
    }
    showPercentage(context, 50);
    appendLogLine(context, QString());
    if (request.deleteCheck)
        logMessage(context, Text::WritingWimInformation);
    // The deletion itself is already in the file; closing writes what is still pending (the
    // integrity table). A failed close must not be reported as success.
    SetLastError(ERROR_SUCCESS);
    if (!imaging.release()) {
        logErrorReason(context, GetLastError());
        return false;
    }
    showPercentage(context, 100);
    logOperationSuccess(context);
    return true;
}
