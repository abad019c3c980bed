// The long imaging calls: capture, apply and export, with libwim's progress turned into
// the WIM_MSG_* messages of the registered callbacks.
#include "Imaging.h"

#include "ImagingInternal.h"
#include "Kernel.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>

namespace imaging {

// ---- progress bridge ------------------------------------------------------------------------
DWORD ProgressBridge::send(DWORD message, WPARAM wParam, LPARAM lParam)
{
    DWORD result = WIM_MSG_SUCCESS;
    for (const auto& [callback, userData] : callbacks_) {
        const DWORD r = callback(message, wParam, lParam, userData);
        if (r == WIM_MSG_ABORT_IMAGE)
            result = WIM_MSG_ABORT_IMAGE;
        else if (r == WIM_MSG_SKIP_ERROR && result == WIM_MSG_SUCCESS)
            result = WIM_MSG_SKIP_ERROR;
    }
    if (result == WIM_MSG_ABORT_IMAGE)
        aborted_ = true;
    return result;
}

DWORD ProgressBridge::sendPath(DWORD message, const char* path, BOOL* answer)
{
    path_.clear();
    if (path)
        appendUtf8(path_, path);
    return sendPath16(message, path_, answer);
}

DWORD ProgressBridge::sendPath16(DWORD message, const std::u16string& path, BOOL* answer)
{
    if (answer)
        *answer = TRUE;
    return send(message, reinterpret_cast<WPARAM>(path.c_str()), reinterpret_cast<LPARAM>(answer));
}

void ProgressBridge::startPhase()
{
    phaseStart_ = timeGetTime();
    lastProgress_ = phaseStart_ - 1000;
    lastPercent_ = -1;
}

void ProgressBridge::progress(std::uint64_t done, std::uint64_t total, bool final)
{
    int percent = 100;
    if (total > 0 && done < total)
        percent = static_cast<int>(done * 100 / total);
    if (final)
        percent = 100;
    const DWORD now = timeGetTime();
    if (!final && (percent == lastPercent_ || (percent < 100 && now - lastProgress_ < 50)))
        return;
    lastPercent_ = percent;
    lastProgress_ = now;
    DWORD remaining = 0;
    const DWORD elapsed = now - phaseStart_;
    if (done > 0 && done < total) {
        const double estimate = static_cast<double>(elapsed) * static_cast<double>(total - done) /
                                static_cast<double>(done);
        remaining = estimate > static_cast<double>(INT_MAX) ? static_cast<DWORD>(INT_MAX)
                                                            : static_cast<DWORD>(estimate);
    }
    send(WIM_MSG_PROGRESS, static_cast<WPARAM>(percent), static_cast<LPARAM>(remaining));
}

int ProgressBridge::listEntries(WIMStruct* wim, int image, EntryList& list,
                                std::size_t expectedEntries)
{
    auto visit = [](const wimlib_dir_entry* e, void* ctx) -> int {
        auto& l = *static_cast<EntryList*>(ctx);
        Entry entry{};
        entry.nameOffset = static_cast<std::uint32_t>(l.names.size());
        if (e->depth > 0 && e->filename)
            l.names.append(e->filename);
        l.names.push_back('\0');
        entry.depth = static_cast<std::uint32_t>(e->depth) & 0x7FFFFFFFu;
        entry.folder = (e->attributes &
                        (WIMLIB_FILE_ATTRIBUTE_DIRECTORY | WIMLIB_FILE_ATTRIBUTE_REPARSE_POINT)) ==
                       WIMLIB_FILE_ATTRIBUTE_DIRECTORY;
        entry.size = e->streams[0].stream_name ? 0 : e->streams[0].resource.uncompressed_size;
        l.totalSize += entry.size;
        ++(entry.folder ? l.folders : l.files);
        l.entries.push_back(entry);
        return 0;
    };
    list.entries.reserve(expectedEntries);
    const int ret = wimlib_iterate_dir_tree(wim, image, "",
                                            WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE, visit, &list);
    // The list lives through the whole write or extraction: no room kept for growth.
    list.entries.shrink_to_fit();
    list.names.shrink_to_fit();
    return ret;
}

void ProgressBridge::setEntries(const EntryList* list, const std::u16string& prefix, bool filesOnly)
{
    list_ = list;
    prefix_ = prefix;
    while (!prefix_.empty() && prefix_.back() == u'/' && prefix_.size() > 1)
        prefix_.pop_back();
    filesOnly_ = filesOnly;
    next_ = 0;
    sentBytes_ = 0;
    depthLength_.clear();
}

const std::u16string& ProgressBridge::entryPath(std::size_t i)
{
    // Entries come in tree order, so the previous path always starts with the parent's.
    const Entry& e = list_->entries[i];
    const std::size_t depth = e.depth;
    if (depth == 0) {
        entryPath_ = prefix_.empty() ? std::u16string(u"/") : prefix_;
    } else {
        std::size_t base = prefix_.size();
        if (depth - 1 < depthLength_.size())
            base = depthLength_[depth - 1];
        entryPath_.resize(std::min(base, entryPath_.size()));
        if (entryPath_.empty() || entryPath_.back() != u'/')
            entryPath_.push_back(u'/');
        appendUtf8(entryPath_, list_->names.c_str() + e.nameOffset);
    }
    if (depthLength_.size() <= depth)
        depthLength_.resize(depth + 1);
    depthLength_[depth] = entryPath_.size();
    return entryPath_;
}

bool ProgressBridge::paceTo(DWORD message, std::uint64_t done, std::uint64_t total)
{
    if (!list_)
        return !aborted_;
    const std::size_t n = list_->entries.size();
    const double fraction =
        total == 0 || done >= total ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    const auto threshold =
        static_cast<std::uint64_t>(fraction * static_cast<double>(list_->totalSize));
    while (next_ < n) {
        const Entry& e = list_->entries[next_];
        if (fraction < 1.0 && sentBytes_ + e.size > threshold)
            break;
        sentBytes_ += e.size;
        const std::u16string& path = entryPath(next_);
        ++next_;
        if (filesOnly_ && e.folder)
            continue;
        BOOL process = TRUE;
        if (sendPath16(message, path, &process) == WIM_MSG_ABORT_IMAGE)
            return false;
    }
    return !aborted_;
}

bool ProgressBridge::askEveryFile(DWORD message)
{
    if (!list_)
        return !aborted_;
    // A separate walk over the list: the pacing position is kept for the write that follows.
    const std::size_t savedNext = next_;
    const std::uint64_t savedBytes = sentBytes_;
    depthLength_.clear();
    for (std::size_t i = 0; i < list_->entries.size(); ++i) {
        const std::u16string& path = entryPath(i);
        if (list_->entries[i].folder)
            continue;
        BOOL compress = TRUE;
        if (sendPath16(message, path, &compress) == WIM_MSG_ABORT_IMAGE)
            return false;
    }
    next_ = savedNext;
    sentBytes_ = savedBytes;
    depthLength_.clear();
    return true;
}

namespace {

// State of one long call, handed to libwim as the progress context.
struct CallState {
    ProgressBridge bridge;
    std::string selfPath; // the WIM file itself, when it lies inside a capture source
    std::uint64_t lastDirs = 0;
    std::uint64_t lastFiles = 0;
    DWORD writeMessage = WIM_MSG_PROCESS;
};

// libwim reports a failed file operation with errno still holding the cause.
DWORD mappedError(int code)
{
    return ErrorFromWimlib(code, errno);
}

wimlib_progress_status onProgress(wimlib_progress_msg msg, wimlib_progress_info* info, void* ctx)
{
    auto& s = *static_cast<CallState*>(ctx);
    ProgressBridge& b = s.bridge;
    // A rebuilt file has replaced the old one when this comes: too late for an abort.
    if (msg == WIMLIB_PROGRESS_MSG_RENAME)
        return WIMLIB_PROGRESS_STATUS_CONTINUE;
    if (b.aborted())
        return WIMLIB_PROGRESS_STATUS_ABORT;
    switch (msg) {
    case WIMLIB_PROGRESS_MSG_TEST_FILE_EXCLUSION: {
        auto& t = info->test_file_exclusion;
        if (!s.selfPath.empty() && s.selfPath == t.path) {
            t.will_exclude = true;
            break;
        }
        BOOL process = TRUE;
        if (b.sendPath(WIM_MSG_PROCESS, t.path, &process) == WIM_MSG_ABORT_IMAGE)
            return WIMLIB_PROGRESS_STATUS_ABORT;
        t.will_exclude = !process;
        break;
    }
    case WIMLIB_PROGRESS_MSG_SCAN_DENTRY: {
        const auto& sc = info->scan;
        if (sc.status ==
            wimlib_progress_info::wimlib_progress_info_scan::WIMLIB_SCAN_DENTRY_UNSUPPORTED) {
            b.pathBuffer().clear();
            if (sc.cur_path)
                appendUtf8(b.pathBuffer(), sc.cur_path);
            b.send(WIM_MSG_WARNING, reinterpret_cast<WPARAM>(b.pathBuffer().c_str()),
                   static_cast<LPARAM>(ERROR_NOT_SUPPORTED));
            break;
        }
        if (sc.status ==
            wimlib_progress_info::wimlib_progress_info_scan::WIMLIB_SCAN_DENTRY_EXCLUDED)
            break;
        const std::uint64_t newDirs = sc.num_dirs_scanned - s.lastDirs;
        s.lastDirs = sc.num_dirs_scanned;
        s.lastFiles = sc.num_nondirs_scanned;
        b.send(WIM_MSG_SCANNING, static_cast<WPARAM>(newDirs),
               static_cast<LPARAM>(sc.num_nondirs_scanned));
        break;
    }
    case WIMLIB_PROGRESS_MSG_SCAN_END: {
        const auto& sc = info->scan;
        const std::uint64_t newDirs = sc.num_dirs_scanned - s.lastDirs;
        s.lastDirs = sc.num_dirs_scanned;
        s.lastFiles = sc.num_nondirs_scanned;
        b.send(WIM_MSG_SCANNING, static_cast<WPARAM>(newDirs),
               static_cast<LPARAM>(sc.num_nondirs_scanned));
        break;
    }
    case WIMLIB_PROGRESS_MSG_HANDLE_ERROR: {
        auto& he = info->handle_error;
        b.pathBuffer().clear();
        if (he.path)
            appendUtf8(b.pathBuffer(), he.path);
        const DWORD r = b.send(WIM_MSG_ERROR, reinterpret_cast<WPARAM>(b.pathBuffer().c_str()),
                               static_cast<LPARAM>(mappedError(he.error_code)));
        if (r == WIM_MSG_ABORT_IMAGE)
            return WIMLIB_PROGRESS_STATUS_ABORT;
        he.will_ignore = r == WIM_MSG_SKIP_ERROR;
        break;
    }
    case WIMLIB_PROGRESS_MSG_WRITE_STREAMS: {
        const auto& ws = info->write_streams;
        if (!b.paceTo(s.writeMessage, ws.completed_bytes, ws.total_bytes))
            return WIMLIB_PROGRESS_STATUS_ABORT;
        b.progress(ws.completed_bytes, ws.total_bytes);
        break;
    }
    case WIMLIB_PROGRESS_MSG_WRITE_METADATA_BEGIN:
        // Entries without data of their own (and a destination that holds all the data
        // already) get their messages before the tables are written.
        if (!b.paceAll(s.writeMessage))
            return WIMLIB_PROGRESS_STATUS_ABORT;
        break;
    case WIMLIB_PROGRESS_MSG_EXTRACT_STREAMS: {
        const auto& ex = info->extract;
        if (!b.paceTo(WIM_MSG_PROCESS, ex.completed_bytes, ex.total_bytes))
            return WIMLIB_PROGRESS_STATUS_ABORT;
        b.progress(ex.completed_bytes, ex.total_bytes);
        break;
    }
    case WIMLIB_PROGRESS_MSG_EXTRACT_IMAGE_END:
        if (!b.paceAll(WIM_MSG_PROCESS))
            return WIMLIB_PROGRESS_STATUS_ABORT;
        break;
    default:
        break;
    }
    return b.aborted() ? WIMLIB_PROGRESS_STATUS_ABORT : WIMLIB_PROGRESS_STATUS_CONTINUE;
}

// Routes libwim's progress of the handle's WIMStruct to one call's state. A commit replaces
// the WIMStruct; the new one starts without a progress function.
struct ProgressRegistration {
    WimHandle& handle;
    WIMStruct* wim;
    ProgressRegistration(WimHandle& h, CallState* s) : handle(h), wim(h.wim.get())
    {
        wimlib_register_progress_function(wim, onProgress, s);
    }
    ProgressRegistration(const ProgressRegistration&) = delete;
    ProgressRegistration& operator=(const ProgressRegistration&) = delete;
    ~ProgressRegistration()
    {
        if (handle.wim.get() == wim)
            wimlib_register_progress_function(wim, nullptr, nullptr);
    }
};

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

} // namespace

DWORD commitPending(WimHandle& w)
{
    const std::vector<std::shared_ptr<PendingWrite>> pending = w.pending;
    CallState state;
    ProgressBridge& b = state.bridge;
    // One write carries them all; the messages of all but the last go out first.
    for (std::size_t i = 0; i + 1 < pending.size(); ++i) {
        b.setEntries(&pending[i]->entries, pending[i]->prefix, pending[i]->filesOnly);
        b.paceAll(WIM_MSG_PROCESS);
    }
    if (!pending.empty())
        b.setEntries(&pending.back()->entries, pending.back()->prefix, pending.back()->filesOnly);
    DWORD error;
    {
        ProgressRegistration reg(w, &state);
        b.startPhase();
        error = commitWim(w, 0);
    }
    if (error)
        return b.aborted() ? ERROR_REQUEST_ABORTED : error;
    if (!pending.empty()) {
        b.paceAll(WIM_MSG_PROCESS);
        b.progress(1, 1, true);
    }
    // WIM_FLAG_VERIFY of a capture: every piece of data read back from the file as written
    // (through a WIMStruct of its own: the one that wrote may only be freed).
    if (std::any_of(pending.begin(), pending.end(), [](const auto& p) { return p->verify; })) {
        WIMStruct* raw = nullptr;
        int ret = wimlib_open_wim(w.filePath().c_str(), 0, &raw);
        int cause = errno;
        const WimPtr written(raw);
        if (!ret) {
            ret = wimlib_verify_wim(written.get(), 0);
            cause = errno;
        }
        if (ret)
            return ErrorFromWimlib(ret, cause);
    }
    return ERROR_SUCCESS;
}

} // namespace imaging

using namespace imaging;

namespace {

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
        ProgressRegistration reg(w, &state);
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

// Writes a capture into a new WIM's temporary file within the call, with the call's
// remaining messages, and reads it back when WIM_FLAG_VERIFY asks for it.
DWORD writeNewCapture(WimHandle& w, CallState& state, const PendingWrite& pending)
{
    DWORD error;
    {
        ProgressRegistration reg(w, &state);
        state.bridge.startPhase();
        error = commitWim(w, 0);
        if (error && state.bridge.aborted())
            error = ERROR_REQUEST_ABORTED;
    }
    if (error)
        return error;
    // The call's remaining messages: every file counted, and the end of the progress.
    state.bridge.paceAll(WIM_MSG_PROCESS);
    state.bridge.progress(1, 1, true);
    if (pending.verify) {
        if (const int ret = wimlib_verify_wim(w.wim.get(), 0)) {
            error = ErrorFromWimlib(ret, errno);
            dropStage(w);
        }
    }
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
        SetLastError(error);
        return nullptr;
    }
    w->images.push_back(imageFromProperties(w->wim.get(), newIndex));
    w->imageDirty.push_back(false);
    w->imagesChanged = true;
    w->dirty = true;
    if (w->onDisk) {
        // Into an existing file: the image is written together with its information when
        // the handle is closed, as one commit.
        w->pending.push_back(std::move(pending));
    } else if ((error = writeNewCapture(*w, state, *pending))) {
        // Into a new file, the data goes to the temporary file now; the information follows
        // when the handle is closed.
        SetLastError(error);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return registerImage(w, newIndex);
}

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
        ProgressRegistration reg(w, &state);
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

    const XmlElem& srcInfo = src.images[img->index - 1];
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
        for (const XmlElem& di : dest->images)
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
    // The destination's view of the image is the source's, which libwim copied.
    XmlElem copied = srcInfo;
    copied.attrs.clear();
    dest->images.push_back(std::move(copied));
    dest->imageDirty.push_back(false);
    dest->imagesChanged = true;
    dest->dirty = true;
    // The source's data is read when the destination is written.
    dest->exportSources.push_back(&src);
    src.exportTargets.push_back(dest);
    if (dest->onDisk) {
        // Into an existing file: written with its information when the handle is closed.
        dest->pending.push_back(std::move(pending));
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    CallState state;
    state.bridge.setEntries(&pending->entries, std::u16string(), false);
    DWORD error;
    {
        ProgressRegistration reg(*dest, &state);
        state.bridge.startPhase();
        error = commitWim(*dest, 0);
    }
    if (error)
        return fail(state.bridge.aborted() ? ERROR_REQUEST_ABORTED : error);
    state.bridge.paceAll(WIM_MSG_PROCESS);
    state.bridge.progress(1, 1, true);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
