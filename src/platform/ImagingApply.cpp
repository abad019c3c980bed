// WIMApplyImage: the files of one image written into a folder.
#include "Imaging.h"

#include "ImagingHandles.h"
#include "Kernel.h"

#include <cerrno>
#include <string>

using namespace imaging;

BOOL WIMApplyImage(HANDLE image, LPCWSTR path, DWORD applyFlags)
{
    ImageHandle* img = lookupLiveImage(image);
    if (!img)
        return FALSE;
    if (!path || !*path)
        return fail(ERROR_INVALID_PARAMETER);
    WimHandle& w = *img->owner;
    std::string target = toUtf8(path);
    while (target.size() > 1 && target.back() == '/')
        target.pop_back();

    CallState state;
    ProgressBridge::EntryList entries;
    if (const int ret = ProgressBridge::listEntries(w.wim.get(), img->index, entries))
        return fail(ErrorFromWimlib(ret, errno));
    ProgressBridge& b = state.bridge;
    b.setEntries(&entries, fromUtf8(target), false);
    b.startPhase();
    if (applyFlags & WIM_FLAG_NO_APPLY) {
        // Only the messages: the entries are walked, nothing is written.
        if (!b.paceAll(WIM_MSG_PROCESS))
            return fail(ERROR_REQUEST_ABORTED);
        b.progress(1, 1, true);
        return TRUE;
    }
    DWORD error = ERROR_SUCCESS;
    {
        const ProgressRegistration reg(w, &state);
        // libwim checks every piece of data against its SHA-1 digest while it extracts, which
        // is the verification WIM_FLAG_VERIFY asks for.
        if (const int ret = wimlib_extract_image(w.wim.get(), img->index, target.c_str(), 0))
            error = b.aborted() ? ERROR_REQUEST_ABORTED : ErrorFromWimlib(ret, errno);
    }
    if (error)
        return fail(error);
    if (!b.paceAll(WIM_MSG_PROCESS))
        return fail(ERROR_REQUEST_ABORTED);
    b.progress(1, 1, true);
    return TRUE;
}

