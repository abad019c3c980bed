// WIMCaptureImage: a folder scanned into a new image in libwim's memory, written when the
// WIM handle is closed.
#include "Imaging.h"

#include "ImagingHandles.h"
#include "Kernel.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <sys/stat.h>

using namespace imaging;

namespace {

// The path by which the capture will name the WIM file, when the file lies in the source.
std::string selfPathInSource(const std::string& source, const std::string& wimPath)
{
    char* realSource = realpath(source.c_str(), nullptr);
    char* realWim = realpath(wimPath.c_str(), nullptr);
    std::string result;
    if (realSource && realWim) {
        std::string rs = realSource;
        if (rs.size() > 1 && rs.back() == '/')
            rs.pop_back();
        const std::string rw = realWim;
        if (rw.size() > rs.size() + 1 && rw.compare(0, rs.size(), rs) == 0 &&
            rw[rs.size()] == '/') {
            std::string base = source;
            while (base.size() > 1 && base.back() == '/')
                base.pop_back();
            result = base + rw.substr(rs.size());
        }
    }
    std::free(realSource);
    std::free(realWim);
    return result;
}

// The folder a capture reads: it must exist and be a folder.
DWORD checkCaptureSource(const std::string& source)
{
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0)
        return ErrorFromErrnoForFolder(errno);
    return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_DIRECTORY;
}

// Scans `source` into a new image in libwim's memory (the scan questions come now), then
// sends WIM_MSG_SETRANGE and the compression questions. On failure the handle is reloaded.
DWORD scanIntoMemory(WimHandle& w, const std::string& source, DWORD captureFlags, CallState& state,
                     PendingWrite& pending, int& newIndex)
{
    int addFlags = WIMLIB_ADD_FLAG_VERBOSE | WIMLIB_ADD_FLAG_EXCLUDE_VERBOSE |
                   WIMLIB_ADD_FLAG_TEST_FILE_EXCLUSION;
    addFlags |=
        (captureFlags & WIM_FLAG_NO_RP_FIX) ? WIMLIB_ADD_FLAG_NORPFIX : WIMLIB_ADD_FLAG_RPFIX;
    DWORD error = ERROR_SUCCESS;
    {
        const ProgressRegistration reg(w, &state);
        const int ret = wimlib_add_image(w.wim.get(), source.c_str(), nullptr, nullptr, addFlags);
        if (ret)
            error = state.bridge.aborted() ? ERROR_REQUEST_ABORTED : ErrorFromWimlib(ret, errno);
    }
    newIndex = imageCountOf(w.wim.get());
    // libwim describes a Windows tree on its own; the image carries only what the Windows
    // imaging library gives a new image, and the program adds its own description.
    for (const char* p : {"WINDOWS", "FLAGS", "DISPLAYNAME", "DISPLAYDESCRIPTION"}) {
        if (error)
            break;
        if (const int ret = wimlib_set_image_property(w.wim.get(), newIndex, p, nullptr))
            error = ErrorFromWimlib(ret, errno);
    }
    if (!error) {
        if (const int ret = ProgressBridge::listEntries(
                w.wim.get(), newIndex, pending.entries,
                static_cast<std::size_t>(state.lastDirs + state.lastFiles)))
            error = ErrorFromWimlib(ret, errno);
    }
    if (!error) {
        ProgressBridge& b = state.bridge;
        b.setEntries(&pending.entries, pending.prefix, true);
        b.send(WIM_MSG_SETRANGE, 0, static_cast<LPARAM>(pending.entries.files));
        // libwim has no per-file choice of compression; it stores data that does not compress
        // uncompressed by itself, so the answers are taken and not acted upon.
        if (!b.askEveryFile(WIM_MSG_COMPRESS))
            error = ERROR_REQUEST_ABORTED;
    }
    if (error)
        reloadAfterFailure(w);
    return error;
}

} // namespace

HANDLE WIMCaptureImage(HANDLE wim, LPCWSTR path, DWORD captureFlags)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return nullptr;
    DWORD error = ERROR_SUCCESS;
    std::string source = path ? toUtf8(path) : std::string();
    while (source.size() > 1 && source.back() == '/')
        source.pop_back();
    if (source.empty())
        error = ERROR_INVALID_PARAMETER;
    else if (!w->writable)
        error = ERROR_ACCESS_DENIED;
    else
        error = checkCaptureSource(source);

    CallState state;
    state.selfPath = error ? std::string() : selfPathInSource(source, w->path);
    auto pending = std::make_shared<PendingWrite>();
    pending->prefix = fromUtf8(source);
    pending->filesOnly = true;
    pending->verify = (captureFlags & WIM_FLAG_VERIFY) != 0;
    int newIndex = 0;
    if (!error)
        error = scanIntoMemory(*w, source, captureFlags, state, *pending, newIndex);
    if (error) {
        fail(error);
        return nullptr;
    }
    // The image is written together with its information when the handle is closed: as one
    // commit into an existing file, in the one pass that writes a new one.
    w->view.images.push_back(imageFromProperties(w->wim.get(), newIndex));
    w->pending.information.push_back(false);
    w->pending.raise(PendingState::Images);
    w->pending.writes.push_back(std::move(pending));
    SetLastError(ERROR_SUCCESS);
    return registerImage(w, newIndex);
}

