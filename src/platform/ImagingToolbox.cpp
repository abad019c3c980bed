// What the toolbox imaging calls share: their libwim progress function, libwim reads through a
// descriptor of the layer's own, file identities and part names.
#include "ImagingToolbox.h"
#include "Kernel.h"

#include "FileIo.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

namespace imaging {

void ToolboxProgress::phaseProgress(std::uint64_t done, std::uint64_t total)
{
    const double fraction =
        total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    const double whole = phaseBase + phaseShare * fraction;
    constexpr std::uint64_t kScale = 1000000;
    bridge.progress(static_cast<std::uint64_t>(whole * kScale), kScale);
}

namespace {

wimlib_progress_status onSplitPart(ToolboxProgress& s, wimlib_progress_msg msg,
                                   wimlib_progress_info::wimlib_progress_info_split& split)
{
    s.splitTotal = split.total_bytes;
    s.splitDone = split.completed_bytes;
    s.splitParts = std::max(1u, split.total_parts);
    if (msg == WIMLIB_PROGRESS_MSG_SPLIT_BEGIN_PART) {
        if (s.splitBegin && !s.splitBegin(split))
            return WIMLIB_PROGRESS_STATUS_ABORT;
        s.partBegun = true;
    }
    s.phaseProgress(s.splitDone, s.splitTotal);
    return WIMLIB_PROGRESS_STATUS_CONTINUE;
}

// While a part is written, libwim reports that part's data only; the part's share of the set
// is taken as an average part.
void onWriteStreams(ToolboxProgress& s,
                    const wimlib_progress_info::wimlib_progress_info_write_streams& ws)
{
    if (s.splitTotal == 0) {
        s.phaseProgress(ws.completed_bytes, ws.total_bytes);
        return;
    }
    const double part = static_cast<double>(s.splitTotal) / s.splitParts;
    const double fraction = ws.total_bytes == 0 ? 1.0
                                                : static_cast<double>(ws.completed_bytes) /
                                                      static_cast<double>(ws.total_bytes);
    const auto done =
        static_cast<std::uint64_t>(static_cast<double>(s.splitDone) + fraction * part);
    s.phaseProgress(std::min(done, s.splitTotal), s.splitTotal);
}

wimlib_progress_status toolboxProgress(wimlib_progress_msg msg, wimlib_progress_info* info,
                                       void* ctx)
{
    auto& s = *static_cast<ToolboxProgress*>(ctx);
    if (s.bridge.aborted())
        return WIMLIB_PROGRESS_STATUS_ABORT;
    switch (msg) {
    case WIMLIB_PROGRESS_MSG_SPLIT_BEGIN_PART:
    case WIMLIB_PROGRESS_MSG_SPLIT_END_PART:
        if (onSplitPart(s, msg, info->split) == WIMLIB_PROGRESS_STATUS_ABORT)
            return WIMLIB_PROGRESS_STATUS_ABORT;
        break;
    case WIMLIB_PROGRESS_MSG_WRITE_STREAMS:
        if (s.partBegun && s.splitWriting) {
            s.partBegun = false;
            s.splitWriting();
        }
        onWriteStreams(s, info->write_streams);
        break;
    case WIMLIB_PROGRESS_MSG_EXTRACT_STREAMS:
        if (s.paceEntries && !s.bridge.paceTo(WIM_MSG_PROCESS, info->extract.completed_bytes,
                                              info->extract.total_bytes))
            return WIMLIB_PROGRESS_STATUS_ABORT;
        s.phaseProgress(info->extract.completed_bytes, info->extract.total_bytes);
        break;
    case WIMLIB_PROGRESS_MSG_VERIFY_INTEGRITY:
        s.phaseProgress(info->integrity.completed_bytes, info->integrity.total_bytes);
        break;
    case WIMLIB_PROGRESS_MSG_VERIFY_STREAMS:
        s.streamCount = info->verify_streams.total_streams;
        s.streamBytes = info->verify_streams.total_bytes;
        s.phaseProgress(info->verify_streams.completed_bytes, info->verify_streams.total_bytes);
        break;
    default:
        break;
    }
    return s.bridge.aborted() ? WIMLIB_PROGRESS_STATUS_ABORT : WIMLIB_PROGRESS_STATUS_CONTINUE;
}

} // namespace

wimlib_progress_func_t toolboxProgressFunction()
{
    return toolboxProgress;
}

ToolboxProgressScope::ToolboxProgressScope(WIMStruct* wim, ToolboxProgress* state) : wim_(wim)
{
    wimlib_register_progress_function(wim_, toolboxProgress, state);
}

ToolboxProgressScope::~ToolboxProgressScope()
{
    wimlib_register_progress_function(wim_, nullptr, nullptr);
}

bool isSameFile(const std::string& path, dev_t device, ino_t inode)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

std::string resolvedTarget(const std::string& path)
{
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec).lexically_normal();
    if (ec)
        p = path;
    if (char* real = ::realpath(p.parent_path().c_str(), nullptr)) {
        std::filesystem::path folder(real);
        std::free(real);
        return (folder / p.filename()).string();
    }
    return p.string();
}

std::string splitPartPath(const std::string& firstPart, unsigned partNumber)
{
    if (partNumber <= 1)
        return firstPart;
    const std::size_t slash = firstPart.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = firstPart.rfind('.');
    const std::string number = std::to_string(partNumber);
    if (dot == std::string::npos || dot < nameStart)
        return firstPart + number;
    return firstPart.substr(0, dot) + number + firstPart.substr(dot);
}

wimlib_wim_info wimInfoOf(WIMStruct* wim)
{
    wimlib_wim_info info{};
    if (!wim || wimlib_get_wim_info(wim, &info) != 0)
        info = wimlib_wim_info{};
    return info;
}

bool isSolidVersion(std::uint32_t wimVersion)
{
    // Files with solid resources carry version 0xE00 (libwim's WIM_VERSION_SOLID).
    return wimVersion == 0xE00;
}

int integrityWriteFlag(const wimlib_wim_info& info, DWORD flags)
{
    return info.has_integrity_table || (flags & WIM_FLAG_VERIFY) ? WIMLIB_WRITE_FLAG_CHECK_INTEGRITY
                                                                 : 0;
}

} // namespace imaging

std::u16string WIMSplitPartPath(const std::u16string& firstPart, DWORD partNumber)
{
    return fromUtf8(imaging::splitPartPath(toUtf8(firstPart), partNumber));
}
