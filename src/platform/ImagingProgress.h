// The progress bridge: one trampoline from libwim's progress messages (and its printed errors
// and warnings) to the WIM_MSG_* messages of the registered callbacks, rate-limited, with the
// callbacks' abort answer carried back to libwim. Also the registry of the callbacks.
#pragma once

#include "Imaging.h"

#include <wimlib.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace imaging {

// One per long call: a snapshot of the registered callbacks, reused path buffers, the rate
// limiter for WIM_MSG_PROGRESS and the pacing of per-entry WIM_MSG_PROCESS messages.
class ProgressBridge {
public:
    // The bridge of the running call also receives libwim's printed errors and warnings on
    // this thread (as WIM_MSG_ERROR / WIM_MSG_WARNING with the text in wParam).
    ProgressBridge();
    ~ProgressBridge();
    ProgressBridge(const ProgressBridge&) = delete;
    ProgressBridge& operator=(const ProgressBridge&) = delete;

    // One line libwim printed ("[ERROR] ...", "[WARNING] ...", or a continuation).
    void libraryLine(const char* line, std::size_t length);

    bool aborted() const { return aborted_; }
    // Sends a message to every registered callback; WIM_MSG_ABORT_IMAGE from any of them
    // wins, then WIM_MSG_SKIP_ERROR, else WIM_MSG_SUCCESS. An abort answer is remembered.
    DWORD send(DWORD message, WPARAM wParam, LPARAM lParam);
    // Sends message with a UTF-8 path (prefix + path, converted into a reused buffer) and a
    // BOOL initialised to TRUE; returns the BOOL in *answer.
    DWORD sendPath(DWORD message, const char* path, BOOL* answer);
    DWORD sendPath16(DWORD message, const std::u16string& path, BOOL* answer);
    // WIM_MSG_PROGRESS at most every 50 ms (and always at 100 percent), with a remaining-time
    // estimate from the bytes done and the time since startPhase().
    void startPhase();
    void progress(std::uint64_t done, std::uint64_t total, bool final = false);

    // Entries of one image in tree order, for per-entry messages: 16 bytes and the name's
    // UTF-8 bytes each, since a list lives as long as the write or extraction it paces.
    struct Entry {
        std::uint32_t nameOffset; // into EntryList::names; the name ends with a NUL
        std::uint32_t depth : 31;
        std::uint32_t folder : 1;
        std::uint64_t size;
    };
    struct EntryList {
        std::string names; // the names as libwim gives them (UTF-8), each followed by a NUL
        std::vector<Entry> entries;
        std::uint64_t totalSize = 0;
        std::size_t folders = 0;
        std::size_t files = 0;
    };
    // Reads the entries of an image (root included) from libwim. expectedEntries (when known,
    // as after a scan) sizes the list up front.
    static int listEntries(WIMStruct* wim, int image, EntryList& list,
                           std::size_t expectedEntries = 0);
    // Per-entry pacing: setEntries() with the list and the path prefix (the root's path,
    // without a trailing '/'); paceTo() sends `message` for the entries whose data lies
    // within fraction done/total of the image's bytes; filesOnly skips folders. Returns false
    // when the callback answered abort.
    void setEntries(const EntryList* list, const std::u16string& prefix, bool filesOnly);
    bool paceTo(DWORD message, std::uint64_t done, std::uint64_t total);
    bool paceAll(DWORD message) { return paceTo(message, 1, 1); }
    // Sends `message` for every file entry (used for the compression questions).
    bool askEveryFile(DWORD message);

    std::u16string& pathBuffer() { return path_; }

private:
    const std::u16string& entryPath(std::size_t i);

    std::vector<std::pair<WIMMessageCallback, PVOID>> callbacks_;
    ProgressBridge* outer_ = nullptr;
    DWORD lastLibraryMessage_ = WIM_MSG_WARNING;
    std::u16string text_;
    std::u16string path_;
    bool aborted_ = false;
    DWORD phaseStart_ = 0;
    DWORD lastProgress_ = 0;
    int lastPercent_ = -1;
    const EntryList* list_ = nullptr;
    std::u16string prefix_;
    std::vector<std::size_t> depthLength_;
    std::u16string entryPath_;
    bool filesOnly_ = false;
    std::size_t next_ = 0;
    std::uint64_t sentBytes_ = 0;
};

// libwim's progress function for one long call: turns its messages into the bridge's. The
// context is a CallState.
struct CallState {
    ProgressBridge bridge;
    std::string selfPath; // the WIM file itself, when it lies inside a capture source
    std::uint64_t lastDirs = 0;
    std::uint64_t lastFiles = 0;
    DWORD writeMessage = WIM_MSG_PROCESS;
};
wimlib_progress_status onProgress(wimlib_progress_msg msg, wimlib_progress_info* info, void* ctx);

// The write function of the stream libwim prints its errors and warnings to.
ssize_t libraryWrite(void* cookie, const char* data, std::size_t size);

// libwim names a file it opened by a private name (PrivateName) by that name; its printed lines
// name the file by its path instead. Registered while the name is held.
void nameLibraryPath(const std::string& libraryPath, const std::string& path);
void forgetLibraryPath(const std::string& libraryPath);

} // namespace imaging
