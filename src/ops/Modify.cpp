// Modify: changes the boot mark and the information texts of one image in place.
#include "ops/ImageInfoOps.h"
#include "ops/ImagingSteps.h"
#include "ops/Operations.h"
#include "ops/Text.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"

bool RunModify(OperationContext& context)
{
    const OperationRequest& request = context.request;
    const QString path = request.modifySource;
    const std::uint32_t index = request.modifyIndex;

    OperationImaging imaging;
    HANDLE wim = openWimForChange(context, imaging, path, request.modifyCheck, index);
    if (!wim)
        return false;
    HANDLE image = imaging.holdImage(WIMLoadImage(wim, index));
    if (!image) {
        logMessage(context, Text::LoadImageFailed, {std::int64_t{index}});
        return false;
    }

    if (request.modifyBootable) {
        logMessage(context, Text::ChangingBootImage, {std::int64_t{index}});
        WIMSetBootImage(wim, index);
    }
    // The display texts first, then the plain ones; each is a full read-change-write cycle.
    const struct {
        Text::Id message;
        const QString& value;
        const char* element;
    } changes[] = {
        {Text::ChangingFlags, request.modifyFlags, "FLAGS"},
        {Text::ChangingDescription, request.modifyDisplayDescription, "DISPLAYDESCRIPTION"},
        {Text::ChangingName, request.modifyDisplayName, "DISPLAYNAME"},
        {Text::ChangingDescription, request.modifyDescription, "DESCRIPTION"},
        {Text::ChangingName, request.modifyName, "NAME"},
    };
    for (const auto& change : changes) {
        if (change.value.isEmpty())
            continue;
        logMessage(context, change.message, {change.value});
        setImageElement(context, image, QString::fromLatin1(change.element), change.value);
    }

    showPercentage(context, 50);
    appendLogLine(context, QString());
    if (request.modifyCheck)
        logMessage(context, Text::WritingWimInformation);
    imaging.closeImage(image);
    // Closing the file writes the changes; if that fails they are lost, and the log says so
    // instead of reporting success.
    SetLastError(ERROR_SUCCESS);
    if (!imaging.release()) {
        logErrorReason(context, GetLastError());
        return false;
    }
    showPercentage(context, 100);
    logOperationSuccess(context);
    return true;
}
