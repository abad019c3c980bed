// The calls on open WIM and image handles: closing, attributes, images, information, the
// boot index and deleting an image.
#include "Imaging.h"

#include "ImagingCommit.h"
#include "ImagingHandles.h"
#include "Kernel.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace imaging;

BOOL WIMCloseHandle(HANDLE object)
{
    if (closeImageHandle(object))
        return TRUE;
    const std::unique_ptr<WimHandle> w = unregisterWim(object);
    if (!w)
        return fail(ERROR_INVALID_HANDLE);
    if (w->writable)
        clearErrorDetail();
    const DWORD error = finishWim(*w);
    handOverToExportTargets(*w);
    dropExportSources(*w);
    return error ? fail(error) : TRUE;
}

BOOL WIMSetTemporaryPath(HANDLE wim, LPCWSTR path)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!path || !*path)
        return fail(ERROR_INVALID_PARAMETER);
    const std::string dir = toUtf8(path);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        return fail(ErrorFromErrnoForFolder(errno));
    if (!S_ISDIR(st.st_mode))
        return fail(ERROR_DIRECTORY);
    // Prove the folder takes a file, as the library would need it to.
    std::string probe = dir + "/.pelloric-probe-XXXXXX";
    const UniqueFd fd(mkostemp(probe.data(), O_CLOEXEC));
    if (!fd) {
        const int err = errno;
        return fail(err == EEXIST ? ERROR_ACCESS_DENIED : ErrorFromErrno(err));
    }
    unlink(probe.c_str());
    return TRUE;
}

BOOL WIMGetAttributes(HANDLE wim, WIM_INFO* wimInfo, DWORD cbWimInfo)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!wimInfo)
        return fail(ERROR_INVALID_PARAMETER);
    if (cbWimInfo < sizeof(WIM_INFO))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    wimlib_wim_info info{};
    if (const int ret = wimlib_get_wim_info(w->wim.get(), &info))
        return fail(ErrorFromWimlib(ret, errno));
    std::memset(wimInfo, 0, sizeof(WIM_INFO));
    wstrCopy(wimInfo->WimPath, MAX_PATH, reinterpret_cast<LPCWSTR>(w->path16.c_str()));
    static_assert(sizeof(GUID) == WIMLIB_GUID_LEN);
    std::memcpy(&wimInfo->Guid, info.guid, sizeof(GUID));
    wimInfo->ImageCount = info.image_count;
    wimInfo->CompressionType = static_cast<DWORD>(info.compression_type);
    wimInfo->PartNumber = info.part_number;
    wimInfo->TotalParts = info.total_parts;
    wimInfo->BootIndex = info.boot_index;
    DWORD attributes = 0;
    if (info.resource_only)
        attributes |= WIM_ATTRIBUTE_RESOURCE_ONLY;
    if (info.metadata_only)
        attributes |= WIM_ATTRIBUTE_METADATA_ONLY;
    if (info.has_integrity_table)
        attributes |= WIM_ATTRIBUTE_VERIFY_DATA;
    if (info.has_rpfix)
        attributes |= WIM_ATTRIBUTE_RP_FIX;
    if (info.spanned)
        attributes |= WIM_ATTRIBUTE_SPANNED;
    if (info.is_marked_readonly)
        attributes |= WIM_ATTRIBUTE_READONLY;
    if (info.wim_version == 0xE00) // toolbox: solid resources (ESD), libwim's WIM_VERSION_SOLID
        attributes |= WIM_ATTRIBUTE_SOLID;
    wimInfo->WimAttributes = attributes;
    wimInfo->WimFlagsAndAttr = w->openFlags;
    return TRUE;
}

HANDLE WIMLoadImage(HANDLE wim, DWORD imageIndex)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return nullptr;
    if (imageIndex < 1 || imageIndex > w->view.images.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return registerImage(w, static_cast<int>(imageIndex));
}

BOOL WIMReadImageTree(HANDLE image)
{
    ImageHandle* img = lookupLiveImage(image);
    if (!img)
        return FALSE;
    // libwim reads an image's metadata when something first needs it; listing the root reads
    // it now.
    const int ret = wimlib_iterate_dir_tree(
        img->owner->wim.get(), img->index, "", 0,
        [](const wimlib_dir_entry*, void*) { return 0; }, nullptr);
    return ret ? fail(ErrorFromWimlib(ret, errno)) : TRUE;
}

DWORD WIMGetImageCount(HANDLE wim)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return 0;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(w->view.images.size());
}

BOOL WIMSetBootImage(HANDLE wim, DWORD imageIndex)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!w->writable)
        return fail(ERROR_ACCESS_DENIED);
    if (imageIndex > w->view.images.size())
        return fail(ERROR_INVALID_PARAMETER);
    wimlib_wim_info info{};
    info.boot_index = imageIndex;
    if (const int ret = wimlib_set_wim_info(w->wim.get(), &info, WIMLIB_CHANGE_BOOT_INDEX))
        return fail(ErrorFromWimlib(ret, errno));
    w->pending.bootIndex = true;
    w->pending.raise(PendingState::Information);
    return TRUE;
}

BOOL WIMDeleteImage(HANDLE wim, DWORD imageIndex)
{
    clearErrorDetail();
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!w->writable)
        return fail(ERROR_ACCESS_DENIED);
    if (imageIndex < 1 || imageIndex > w->view.images.size())
        return fail(ERROR_INVALID_PARAMETER);
    const int index = static_cast<int>(imageIndex);
    for (const ImageHandle* img : w->openImages)
        if (img->index == index)
            return fail(ERROR_BUSY);
    if (const int ret = wimlib_delete_image(w->wim.get(), index)) {
        const DWORD error = ErrorFromWimlib(ret, errno);
        reloadAfterFailure(*w);
        return fail(error);
    }
    w->pending.raise(PendingState::Images);
    if (!w->isNew) {
        // Only the image's metadata and XML go; the file's data stays where it is.
        if (const DWORD error = commitWim(*w, WIMLIB_WRITE_FLAG_SOFT_DELETE, nullptr, true))
            return fail(error);
    } else {
        w->view.images.erase(w->view.images.begin() + (index - 1));
        auto& info = w->pending.information;
        info.erase(info.begin() + (index - 1));
    }
    for (ImageHandle* img : w->openImages)
        if (img->index > index)
            --img->index;
    return TRUE;
}

BOOL WIMGetImageInformation(HANDLE object, PVOID* imageInfo, DWORD* cbImageInfo)
{
    if (!imageInfo || !cbImageInfo)
        return fail(ERROR_INVALID_PARAMETER);
    QString text(QChar(0xFEFF));
    if (isLiveImage(object)) {
        ImageHandle* img = lookupLiveImage(object);
        if (!img)
            return FALSE;
        const QString index = QString::number(img->index);
        serializeXml(img->owner->view.images[img->index - 1], text, &index);
    } else {
        WimHandle* w = lookupWim(object);
        if (!w)
            return FALSE;
        text += wimInformationText(*w);
    }
    const std::size_t bytes = static_cast<std::size_t>(text.size()) * sizeof(WCHAR);
    // One terminator beyond the reported size, for callers that read up to a NUL.
    void* buffer = LocalAlloc(LPTR, bytes + sizeof(WCHAR));
    if (!buffer)
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(buffer, text.utf16(), bytes);
    *imageInfo = buffer;
    *cbImageInfo = static_cast<DWORD>(bytes);
    return TRUE;
}

BOOL WIMSetImageInformation(HANDLE image, PVOID imageInfo, DWORD cbImageInfo)
{
    ImageHandle* img = lookupLiveImage(image);
    if (!img)
        return FALSE;
    if (!imageInfo || cbImageInfo < 2 * sizeof(WCHAR))
        return fail(ERROR_INVALID_PARAMETER);
    WimHandle& w = *img->owner;
    if (!w.writable)
        return fail(ERROR_ACCESS_DENIED);
    XmlElem given;
    if (!parseXml(fromUtf16Le(imageInfo, cbImageInfo), given))
        return fail(ERROR_INVALID_DATA);

    // Only what changed is written; the view then shows what libwim holds. The top element's
    // own name and attributes stay as they are.
    XmlElem& current = w.view.images[img->index - 1];
    const std::vector<XmlElem> want =
        withMaintainedElements(current.children, std::move(given.children));
    bool changed = false;
    if (const int ret =
            syncImageElements(w.wim.get(), img->index, current.children, want, &changed))
        return fail(ErrorFromWimlib(ret, errno));
    if (changed) {
        w.pending.information[img->index - 1] = true;
        w.pending.raise(PendingState::Information);
    }
    return TRUE;
}

