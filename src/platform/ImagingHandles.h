// The imaging layer's handles: what a WIM handle holds (the file, libwim's WIMStruct, the
// view of the XML and one record of what is pending), image handles, and the table of live
// handles.
#pragma once

#include "Errors.h"
#include "Imaging.h"
#include "ImagingProgress.h"
#include "ImagingXml.h"
#include "StageFile.h"
#include "UniqueFd.h"
#include "WimFile.h"

#include <wimlib.h>

#include <QString>

#include <memory>
#include <string>
#include <vector>

namespace imaging {

struct WimFree {
    void operator()(WIMStruct* wim) const { wimlib_free(wim); }
};
using WimPtr = std::unique_ptr<WIMStruct, WimFree>;

inline int imageCountOf(WIMStruct* wim)
{
    wimlib_wim_info info{};
    return wimlib_get_wim_info(wim, &info) == 0 ? static_cast<int>(info.image_count) : 0;
}

// A capture or export held in memory: what its messages need when its data is written.
struct PendingWrite {
    ProgressBridge::EntryList entries;
    std::u16string prefix; // the captured folder; empty for an export
    bool filesOnly = false;
    bool verify = false; // WIM_FLAG_VERIFY of a capture: read every piece of data back
};

// What a handle holds that its file does not have yet, and so how it is written.
enum class PendingState {
    None,        // nothing to write
    Information, // image information or the boot index: the layer's own information write
    Images,      // images added or removed in libwim's memory: libwim writes them (its append
                 // path into an existing file, one pass into a new one)
    Lost,        // a failed write left libwim's memory matching no file: nothing more is
                 // written, and every write fails with `lostCause`
};
struct PendingChanges {
    PendingState state = PendingState::None;
    DWORD lostCause = ERROR_SUCCESS;
    std::vector<bool> information;                     // per image: information changed
    bool bootIndex = false;                            // the boot index changed
    std::vector<std::shared_ptr<PendingWrite>> writes; // captures and exports in memory

    // Raises the state to `s` (never out of Lost, never down).
    void raise(PendingState s)
    {
        if (state != PendingState::Lost && s > state)
            state = s;
    }
    void lose(DWORD cause)
    {
        state = PendingState::Lost;
        lostCause = cause;
    }
};

// The view of a file's XML: the root's attributes, its elements other than IMAGE, one IMAGE
// per image in image order, and the text as stored (without its byte-order mark).
struct XmlView {
    std::vector<std::pair<QString, QString>> rootAttrs;
    QString fileXml;
    bool positioned = false; // the elements know where they stand in fileXml
    std::vector<XmlElem> topElements;
    std::size_t topBeforeImages = 0; // how many of topElements stand before the images
    std::vector<XmlElem> images;
    // The images as the file holds them (while positioned), for writing back only what changed.
    std::vector<XmlElem> storedImages;
};

struct ImageHandle;

struct WimHandle {
    std::string path;      // the file (UTF-8, absolute, symbolic links resolved)
    std::u16string path16; // the path as given, made absolute, for WIM_INFO
    bool writable = false;
    bool verify = false; // WIM_FLAG_VERIFY: integrity check on open, table on every write
    DWORD openFlags = 0;
    int compression = 0;  // libwim's numbering
    bool isNew = false;   // a new WIM: written to `stage` and put in place at the close
    StageFile stage;

    // An existing file: the layer's descriptor of it (for reading; writes reopen it as
    // "/proc/self/fd/N", which reaches the same file). libwim opens it as "/proc/self/fd/N", so whatever is renamed onto the path later, every
    // read and write of libwim reaches this file. `identity` is the file as libwim read it;
    // `libraryFd` libwim's own descriptor of it (for its lock; libwim's, never closed here),
    // -1 when it could not be told apart.
    UniqueFd fd;
    // For a writable handle, the second name libwim opens the file by (libwim reopens a file
    // by the name it was opened with when it writes); empty where the file system has no hard
    // links, and libwim then opens the path itself.
    PrivateName libraryName;
    FileIdentity identity;
    int libraryFd = -1;

    WimPtr wim;
    // WIMs whose data an export into this one takes, kept until this one is written; they
    // are freed after `wim`.
    std::vector<std::shared_ptr<WIMStruct>> keepAlive;
    std::vector<WimHandle*> exportSources; // handles whose WIMStruct `pending` reads from
    std::vector<WimHandle*> exportTargets; // handles with pending exports from this one

    XmlView view;
    PendingChanges pending;
    std::vector<ImageHandle*> openImages;

    WimHandle() = default;
    WimHandle(const WimHandle&) = delete;
    WimHandle& operator=(const WimHandle&) = delete;
    ~WimHandle();
};

struct ImageHandle {
    WimHandle* owner = nullptr; // null once the WIM handle was closed
    int index = 0;
};

// Looks a handle up among the live ones of its kind, under the table's lock; null (and
// ERROR_INVALID_HANDLE set) otherwise.
WimHandle* lookupWim(HANDLE h);
ImageHandle* lookupImage(HANDLE h);
// An image handle that still belongs to an open WIM and names an existing image.
ImageHandle* lookupLiveImage(HANDLE h);
bool isLiveImage(HANDLE h);
HANDLE registerWim(std::unique_ptr<WimHandle> w);
HANDLE registerImage(WimHandle* owner, int index);
// Takes a WIM handle out of the table: its owner, or null when it is not a live WIM handle.
std::unique_ptr<WimHandle> unregisterWim(HANDLE h);
// Takes an image handle out of the table and frees it; false when it is not a live one.
bool closeImageHandle(HANDLE h);

// Sets the last error to code and returns FALSE. A libwim failure's code is
// ErrorFromWimlib(ret, errno), with errno read right after the failing call.
BOOL fail(DWORD code);
// Gives the failure with `code` a detail (WIM_DETAIL_*) about `path`, which
// WIMGetLastErrorDetail reports while the last-error code is `code`. fail() with another code
// drops it, and so does clearErrorDetail(), at the start of each call that can set one.
void setErrorDetail(DWORD code, DWORD detail, const std::string& path);
void clearErrorDetail();
DWORD errorDetailOf(DWORD code, std::u16string* path);

// Routes libwim's progress of the handle's WIMStruct to one call's state while it lives. A
// reload replaces the WIMStruct; the new one starts without a progress function.
class ProgressRegistration {
public:
    ProgressRegistration(WimHandle& handle, CallState* state);
    ProgressRegistration(const ProgressRegistration&) = delete;
    ProgressRegistration& operator=(const ProgressRegistration&) = delete;
    ~ProgressRegistration();

private:
    WimHandle& handle_;
    WIMStruct* wim_;
};

// ---- opening, reloading and the view (ImagingOpen.cpp, ImagingView.cpp) ------------------
// Reads the handle's existing file (open as w.fd) with libwim, through "/proc/self/fd/N" of
// that descriptor, and for a writable handle takes the identity libwim read and finds
// libwim's own descriptor of the file.
DWORD openWimFile(WimHandle& w, WimPtr& out);
// Opens (or, for a new WIM, starts) libwim's view of the handle's file and rebuilds the XML
// view, dropping libwim's in-memory state; keepPending puts back information changes and
// the boot index that were not written. On failure to reopen, the handle is as before; a
// change that cannot be put back is the failure too.
DWORD reloadWim(WimHandle& w, bool keepPending);
// After a failed change to libwim's memory or a failed write: reloadWim(w, true). The
// change's own failure is what the caller reports; when the reload fails as well, the handle
// is Lost with the reload's cause.
void reloadAfterFailure(WimHandle& w);
// Rebuilds the view from the file's XML as stored.
void rebuildView(WimHandle& w);
// The information of a whole WIM as WIMGetImageInformation hands it out (without the leading
// byte-order mark): the file's XML text exactly as stored while no image information is
// pending, else the view.
QString wimInformationText(const WimHandle& w);
// The text the layer's own information write stores: the file's text with the changed
// images (and the WIM's TOTALBYTES, set to `xmlOffset`) written anew and everything else as
// stored.
QString informationToWrite(const WimHandle& w, std::uint64_t xmlOffset);
// Gives the WIMStruct to the handles whose pending exports read from it (before it is
// replaced or the handle closed).
void handOverToExportTargets(WimHandle& w);
// Ends the ties of pending exports to their source WIMs (after a write or a reload).
void dropExportSources(WimHandle& w);
// Whether the file at `path` opens as a WIM (through a WIMStruct of its own, with
// WIMLIB_OPEN_FLAG_* `openFlags`): ERROR_SUCCESS or why not.
DWORD opensAsWim(const std::string& path, int openFlags = 0);

} // namespace imaging
