// Private parts of the imaging calls behind the toolbox pages (split sets, browsing, extraction,
// rebuilding, verifying): the progress function they give libwim, files opened through a
// descriptor the layer holds, the identity of a file between a read and its replacement, and
// the paths of split parts.
#pragma once

#include "ImagingInternal.h"
#include "UniqueFd.h"

#include <wimlib.h>

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

namespace imaging {

// One toolbox call's state, handed to libwim as the progress context: the bridge to the
// registered callbacks, the call's own answer to a new split part, and its progress phases.
struct ToolboxProgress {
    ProgressBridge bridge;
    // WIMLIB_PROGRESS_MSG_SPLIT_BEGIN_PART: may point part_name elsewhere; false stops the call.
    std::function<bool(wimlib_progress_info::wimlib_progress_info_split&)> splitBegin;
    // Split: called once per part, at the first data libwim writes into it (the part is open).
    std::function<void()> splitWriting;
    bool partBegun = false;
    // Whether extraction messages pace the bridge's entries (WIM_MSG_PROCESS per entry).
    bool paceEntries = false;
    // The percent of the whole call is phaseBase + phaseShare * (the phase's own fraction).
    double phaseBase = 0.0;
    double phaseShare = 1.0;
    // Split: bytes of the parts finished, of all parts, and how many parts there are.
    std::uint64_t splitDone = 0;
    std::uint64_t splitTotal = 0;
    unsigned splitParts = 1;
    // Verify: the stream phase's totals, as libwim last reported them.
    std::uint64_t streamCount = 0;
    std::uint64_t streamBytes = 0;

    // WIM_MSG_PROGRESS for `fraction` (0..1) of the current phase.
    void phaseProgress(std::uint64_t done, std::uint64_t total);
};

// The progress function itself, for libwim calls that take it directly (an open).
wimlib_progress_func_t toolboxProgressFunction();

// Routes libwim's progress messages of `wim` to `state` while the object lives.
class ToolboxProgressScope {
public:
    ToolboxProgressScope(WIMStruct* wim, ToolboxProgress* state);
    ~ToolboxProgressScope();
    ToolboxProgressScope(const ToolboxProgressScope&) = delete;
    ToolboxProgressScope& operator=(const ToolboxProgressScope&) = delete;

private:
    WIMStruct* wim_;
};

// Whether `path` itself (a link is not followed) is the file with that device and inode.
bool isSameFile(const std::string& path, dev_t device, ino_t inode);

// `path` made absolute with its folder's links resolved; the last component stays as given (a
// link there is replaced, not written through).
std::string resolvedTarget(const std::string& path);

// WIMSplitPartPath on UTF-8 paths.
std::string splitPartPath(const std::string& firstPart, unsigned partNumber);

// libwim's information about a WIMStruct (zeroed when it cannot be read).
wimlib_wim_info wimInfoOf(WIMStruct* wim);
// Whether a file of this version keeps its data in solid resources.
bool isSolidVersion(std::uint32_t wimVersion);

// The write flag that keeps or adds an integrity table.
int integrityWriteFlag(const wimlib_wim_info& info, DWORD flags);

} // namespace imaging
