// WIMExportImage: one image of a WIM copied into another, written when the destination's
// handle is closed.
#include "Imaging.h"

#include "ImagingHandles.h"
#include "Kernel.h"

#include <cerrno>

using namespace imaging;

BOOL WIMExportImage(HANDLE image, HANDLE wim, DWORD flags)
{
    ImageHandle* img = lookupLiveImage(image);
    if (!img)
        return FALSE;
    WimHandle* dest = lookupWim(wim);
    if (!dest)
        return FALSE;
    WimHandle& src = *img->owner;
    if (dest == &src)
        return fail(ERROR_INVALID_PARAMETER);
    if (!dest->writable)
        return fail(ERROR_ACCESS_DENIED);

    const XmlElem& srcInfo = src.view.images[img->index - 1];
    QString name;
    bool hasName = false;
    for (const XmlElem& e : srcInfo.children) {
        if (e.name == QLatin1String("NAME")) {
            name = e.text;
            hasName = true;
            break;
        }
    }
    if (!(flags & WIM_EXPORT_ALLOW_DUPLICATES) && hasName && !name.isEmpty()) {
        for (const XmlElem& di : dest->view.images)
            for (const XmlElem& e : di.children)
                if (e.name == QLatin1String("NAME") && e.text == name)
                    return fail(ERROR_ALREADY_EXISTS);
    }

    auto pending = std::make_shared<PendingWrite>();
    if (const int ret = ProgressBridge::listEntries(src.wim.get(), img->index, pending->entries))
        return fail(ErrorFromWimlib(ret, errno));

    // The image keeps its information as the source holds it, NAME where it stands, also when
    // the destination already holds that name.
    if (const int ret =
            exportImageKeepingInformation(src.wim.get(), img->index, dest->wim.get(), 0)) {
        const DWORD error = ErrorFromWimlib(ret, errno);
        reloadAfterFailure(*dest);
        return fail(error);
    }
    // The destination's view of the image is the source's, which libwim copied. The source's
    // data is read when the destination is written, with its information, at its close.
    XmlElem copied = srcInfo;
    copied.attrs.clear();
    dest->view.images.push_back(std::move(copied));
    dest->pending.information.push_back(false);
    dest->pending.raise(PendingState::Images);
    dest->pending.writes.push_back(std::move(pending));
    dest->exportSources.push_back(&src);
    src.exportTargets.push_back(dest);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
