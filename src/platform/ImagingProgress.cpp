#include "ImagingProgress.h"

#include "Errors.h"
#include "ImagingHandles.h"
#include "Kernel.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace imaging {
namespace {

std::mutex gCallbackMutex;
std::vector<std::pair<WIMMessageCallback, PVOID>> gCallbacks;

// The paths of the files libwim knows by private names.
std::mutex gNameMutex;
std::map<std::string, std::string> gLibraryPaths;

} // namespace

void nameLibraryPath(const std::string& libraryPath, const std::string& path)
{
    const std::lock_guard lock(gNameMutex);
    gLibraryPaths[libraryPath] = path;
}

void forgetLibraryPath(const std::string& libraryPath)
{
    const std::lock_guard lock(gNameMutex);
    gLibraryPaths.erase(libraryPath);
}

namespace {

// A line libwim printed, with the private names it holds put back to the files' paths.
std::string withFilePaths(std::string text)
{
    if (text.find(".pelloric-") == std::string::npos)
        return text;
    const std::lock_guard lock(gNameMutex);
    for (const auto& [name, path] : gLibraryPaths) {
        for (std::size_t p = text.find(name); p != std::string::npos; p = text.find(name, p)) {
            text.replace(p, name.size(), path);
            p += path.size();
        }
    }
    return text;
}

} // namespace

namespace {
thread_local ProgressBridge* tCurrentBridge = nullptr;
} // namespace

// libwim prints its errors and warnings to one stream; this one hands each line to the
// bridge of the call running on the printing thread, and drops lines printed outside calls.
ssize_t libraryWrite(void*, const char* data, size_t size)
{
    if (ProgressBridge* bridge = tCurrentBridge) {
        std::size_t start = 0;
        for (std::size_t i = 0; i <= size; ++i) {
            if (i == size || data[i] == '\n') {
                if (i > start)
                    bridge->libraryLine(data + start, i - start);
                start = i + 1;
            }
        }
    }
    return static_cast<ssize_t>(size);
}

ProgressBridge::ProgressBridge()
{
    {
        std::lock_guard lock(gCallbackMutex);
        callbacks_ = gCallbacks;
    }
    path_.reserve(512);
    entryPath_.reserve(512);
    outer_ = tCurrentBridge;
    tCurrentBridge = this;
}

ProgressBridge::~ProgressBridge()
{
    tCurrentBridge = outer_;
}

void ProgressBridge::libraryLine(const char* line, std::size_t length)
{
    std::string text(line, length);
    while (!text.empty() && (text.front() == '\r' || text.front() == ' '))
        text.erase(0, 1);
    DWORD message = lastLibraryMessage_;
    if (text.rfind("[ERROR] ", 0) == 0) {
        message = WIM_MSG_ERROR;
        text.erase(0, 8);
    } else if (text.rfind("[WARNING] ", 0) == 0) {
        message = WIM_MSG_WARNING;
        text.erase(0, 10);
    }
    if (text.empty())
        return;
    lastLibraryMessage_ = message;
    text_.clear();
    appendUtf8(text_, withFilePaths(std::move(text)).c_str());
    send(message, reinterpret_cast<WPARAM>(text_.c_str()), 0);
}

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

// libwim reports a failed file operation with errno still holding the cause.
DWORD mappedError(int code)
{
    return ErrorFromWimlib(code, errno);
}

using Status = wimlib_progress_status;
constexpr Status kContinue = WIMLIB_PROGRESS_STATUS_CONTINUE;
constexpr Status kAbort = WIMLIB_PROGRESS_STATUS_ABORT;

Status testExclusion(CallState& s, wimlib_progress_info::wimlib_progress_info_test_file_exclusion& t)
{
    if (!s.selfPath.empty() && s.selfPath == t.path) {
        t.will_exclude = true;
        return kContinue;
    }
    BOOL process = TRUE;
    if (s.bridge.sendPath(WIM_MSG_PROCESS, t.path, &process) == WIM_MSG_ABORT_IMAGE)
        return kAbort;
    t.will_exclude = !process;
    return kContinue;
}

// The scan's counts: WIM_MSG_SCANNING with the folders new since the last one.
void scanned(CallState& s, const wimlib_progress_info::wimlib_progress_info_scan& sc)
{
    const std::uint64_t newDirs = sc.num_dirs_scanned - s.lastDirs;
    s.lastDirs = sc.num_dirs_scanned;
    s.lastFiles = sc.num_nondirs_scanned;
    s.bridge.send(WIM_MSG_SCANNING, static_cast<WPARAM>(newDirs),
                  static_cast<LPARAM>(sc.num_nondirs_scanned));
}

void scanEntry(CallState& s, const wimlib_progress_info::wimlib_progress_info_scan& sc)
{
    using Scan = wimlib_progress_info::wimlib_progress_info_scan;
    if (sc.status == Scan::WIMLIB_SCAN_DENTRY_UNSUPPORTED) {
        ProgressBridge& b = s.bridge;
        b.pathBuffer().clear();
        if (sc.cur_path)
            appendUtf8(b.pathBuffer(), sc.cur_path);
        b.send(WIM_MSG_WARNING, reinterpret_cast<WPARAM>(b.pathBuffer().c_str()),
               static_cast<LPARAM>(ERROR_NOT_SUPPORTED));
        return;
    }
    if (sc.status != Scan::WIMLIB_SCAN_DENTRY_EXCLUDED)
        scanned(s, sc);
}

Status handleError(ProgressBridge& b, wimlib_progress_info::wimlib_progress_info_handle_error& he)
{
    b.pathBuffer().clear();
    if (he.path)
        appendUtf8(b.pathBuffer(), he.path);
    const DWORD r = b.send(WIM_MSG_ERROR, reinterpret_cast<WPARAM>(b.pathBuffer().c_str()),
                           static_cast<LPARAM>(mappedError(he.error_code)));
    if (r == WIM_MSG_ABORT_IMAGE)
        return kAbort;
    he.will_ignore = r == WIM_MSG_SKIP_ERROR;
    return kContinue;
}

Status paced(ProgressBridge& b, DWORD message, std::uint64_t done, std::uint64_t total)
{
    if (!b.paceTo(message, done, total))
        return kAbort;
    b.progress(done, total);
    return kContinue;
}

Status dispatch(CallState& s, wimlib_progress_msg msg, wimlib_progress_info* info)
{
    ProgressBridge& b = s.bridge;
    switch (msg) {
    case WIMLIB_PROGRESS_MSG_TEST_FILE_EXCLUSION:
        return testExclusion(s, info->test_file_exclusion);
    case WIMLIB_PROGRESS_MSG_SCAN_DENTRY:
        scanEntry(s, info->scan);
        return kContinue;
    case WIMLIB_PROGRESS_MSG_SCAN_END:
        scanned(s, info->scan);
        return kContinue;
    case WIMLIB_PROGRESS_MSG_HANDLE_ERROR:
        return handleError(b, info->handle_error);
    case WIMLIB_PROGRESS_MSG_WRITE_STREAMS:
        return paced(b, s.writeMessage, info->write_streams.completed_bytes,
                     info->write_streams.total_bytes);
    case WIMLIB_PROGRESS_MSG_WRITE_METADATA_BEGIN:
        // Entries without data of their own (and a destination that holds all the data
        // already) get their messages before the tables are written.
        return b.paceAll(s.writeMessage) ? kContinue : kAbort;
    case WIMLIB_PROGRESS_MSG_EXTRACT_STREAMS:
        return paced(b, WIM_MSG_PROCESS, info->extract.completed_bytes, info->extract.total_bytes);
    case WIMLIB_PROGRESS_MSG_EXTRACT_IMAGE_END:
        return b.paceAll(WIM_MSG_PROCESS) ? kContinue : kAbort;
    default:
        return kContinue;
    }
}

} // namespace

wimlib_progress_status onProgress(wimlib_progress_msg msg, wimlib_progress_info* info, void* ctx)
{
    auto& s = *static_cast<CallState*>(ctx);
    // A rebuilt file has replaced the old one when this comes: too late for an abort.
    if (msg == WIMLIB_PROGRESS_MSG_RENAME)
        return kContinue;
    if (s.bridge.aborted() || dispatch(s, msg, info) == kAbort)
        return kAbort;
    return s.bridge.aborted() ? kAbort : kContinue;
}

} // namespace imaging

using namespace imaging;

DWORD ImagingGlobalInit()
{
    static const DWORD result = [] {
        if (const int ret = wimlib_global_init(0))
            return ErrorFromWimlib(ret, errno);
        // libwim's error and warning texts reach the running call's message callback.
        static cookie_io_functions_t functions{nullptr, libraryWrite, nullptr, nullptr};
        if (FILE* stream = fopencookie(nullptr, "w", functions)) {
            setvbuf(stream, nullptr, _IOLBF, 0);
            wimlib_set_error_file(stream);
            wimlib_set_print_errors(true);
        }
        return static_cast<DWORD>(ERROR_SUCCESS);
    }();
    return result;
}

DWORD WIMRegisterMessageCallback(HANDLE wim, WIMMessageCallback callback, PVOID userData)
{
    if (wim && !lookupWim(wim))
        return INVALID_CALLBACK_VALUE;
    if (!callback) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_CALLBACK_VALUE;
    }
    std::lock_guard lock(gCallbackMutex);
    for (std::size_t i = 0; i < gCallbacks.size(); ++i) {
        if (gCallbacks[i].first == callback) {
            gCallbacks[i].second = userData;
            return static_cast<DWORD>(i);
        }
    }
    gCallbacks.emplace_back(callback, userData);
    return static_cast<DWORD>(gCallbacks.size() - 1);
}

BOOL WIMUnregisterMessageCallback(HANDLE wim, WIMMessageCallback callback)
{
    if (wim && !lookupWim(wim))
        return FALSE;
    std::lock_guard lock(gCallbackMutex);
    if (!callback) {
        gCallbacks.clear();
        return TRUE;
    }
    const auto it = std::find_if(gCallbacks.begin(), gCallbacks.end(),
                                 [&](const auto& c) { return c.first == callback; });
    if (it == gCallbacks.end())
        return fail(ERROR_NOT_FOUND);
    gCallbacks.erase(it);
    return TRUE;
}

