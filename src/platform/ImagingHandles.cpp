#include "ImagingHandles.h"

#include "Kernel.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace imaging {
namespace {

// The live handles and what each is. A handle's kind is only ever read here, under the
// lock, never through the pointer: a closed or foreign pointer is not dereferenced.
enum class HandleKind { Wim, Image };
std::mutex gHandleMutex;
std::unordered_map<const void*, HandleKind> gLiveHandles;

void addLive(const void* h, HandleKind kind)
{
    const std::lock_guard lock(gHandleMutex);
    gLiveHandles.emplace(h, kind);
}

bool isLive(const void* h, HandleKind kind)
{
    const std::lock_guard lock(gHandleMutex);
    const auto it = gLiveHandles.find(h);
    return it != gLiveHandles.end() && it->second == kind;
}

// Takes h out of the table when it is a live handle of that kind.
bool removeLive(const void* h, HandleKind kind)
{
    const std::lock_guard lock(gHandleMutex);
    const auto it = gLiveHandles.find(h);
    if (it == gLiveHandles.end() || it->second != kind)
        return false;
    gLiveHandles.erase(it);
    return true;
}

// The detail of this thread's last failed imaging call.
struct ErrorDetail {
    DWORD code = ERROR_SUCCESS;
    DWORD detail = WIM_DETAIL_NONE;
    std::u16string path;
};
thread_local ErrorDetail tDetail;

} // namespace

WimHandle::~WimHandle()
{
    if (libraryName)
        forgetLibraryPath(libraryName.path());
}

WimHandle* lookupWim(HANDLE h)
{
    if (!isLive(h, HandleKind::Wim)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<WimHandle*>(h);
}

ImageHandle* lookupImage(HANDLE h)
{
    if (!isLive(h, HandleKind::Image)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<ImageHandle*>(h);
}

bool isLiveImage(HANDLE h)
{
    return isLive(h, HandleKind::Image);
}

ImageHandle* lookupLiveImage(HANDLE h)
{
    ImageHandle* img = lookupImage(h);
    if (!img)
        return nullptr;
    if (!img->owner || img->index < 1 ||
        img->index > static_cast<int>(img->owner->view.images.size())) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return img;
}

HANDLE registerWim(std::unique_ptr<WimHandle> w)
{
    WimHandle* h = w.release();
    addLive(h, HandleKind::Wim);
    return h;
}

HANDLE registerImage(WimHandle* owner, int index)
{
    auto* img = new ImageHandle;
    img->owner = owner;
    img->index = index;
    owner->openImages.push_back(img);
    addLive(img, HandleKind::Image);
    return img;
}

std::unique_ptr<WimHandle> unregisterWim(HANDLE h)
{
    if (!removeLive(h, HandleKind::Wim))
        return nullptr;
    std::unique_ptr<WimHandle> w(static_cast<WimHandle*>(h));
    for (ImageHandle* img : w->openImages)
        img->owner = nullptr;
    w->openImages.clear();
    return w;
}

bool closeImageHandle(HANDLE h)
{
    if (!removeLive(h, HandleKind::Image))
        return false;
    const std::unique_ptr<ImageHandle> img(static_cast<ImageHandle*>(h));
    if (img->owner) {
        auto& list = img->owner->openImages;
        list.erase(std::remove(list.begin(), list.end(), img.get()), list.end());
    }
    return true;
}

BOOL fail(DWORD code)
{
    if (tDetail.code != code)
        clearErrorDetail();
    SetLastError(code);
    return FALSE;
}

void clearErrorDetail()
{
    tDetail = ErrorDetail{};
}

void setErrorDetail(DWORD code, DWORD detail, const std::string& path)
{
    tDetail = ErrorDetail{code, detail, fromUtf8(path)};
}

DWORD errorDetailOf(DWORD code, std::u16string* path)
{
    if (tDetail.detail == WIM_DETAIL_NONE || tDetail.code != code)
        return WIM_DETAIL_NONE;
    if (path)
        *path = tDetail.path;
    return tDetail.detail;
}

ProgressRegistration::ProgressRegistration(WimHandle& handle, CallState* state)
    : handle_(handle), wim_(handle.wim.get())
{
    wimlib_register_progress_function(wim_, onProgress, state);
}

ProgressRegistration::~ProgressRegistration()
{
    if (handle_.wim.get() == wim_)
        wimlib_register_progress_function(wim_, nullptr, nullptr);
}

} // namespace imaging

DWORD WIMGetLastErrorDetail(std::u16string* path)
{
    return imaging::errorDetailOf(GetLastError(), path);
}
