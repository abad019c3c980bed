// Split sets: the data of other WIM files (references), splitting a WIM into parts, naming the
// files too large for a part, and joining a set back into one WIM.
#include "Imaging.h"

#include "FileAccess.h"
#include "FileIo.h"
#include "ImagingToolbox.h"
#include "Kernel.h"
#include "StageFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include <fcntl.h>
#include <unistd.h>

using namespace imaging;

namespace {

std::string absoluteUtf8(LPCWSTR path)
{
    std::error_code ec;
    const std::string given = toUtf8(path);
    const std::filesystem::path p = std::filesystem::absolute(given, ec).lexically_normal();
    return ec ? given : p.string();
}

// The stored size of a resource: a blob in a solid resource takes that whole resource with it.
std::uint64_t storedSize(const wimlib_resource_entry& r)
{
    return r.packed ? r.raw_resource_compressed_size : r.compressed_size;
}

using Hash = std::array<std::uint8_t, 20>;

struct LargeBlobs {
    std::uint64_t limit = 0;
    std::uint64_t largest = 0;
    std::map<Hash, std::uint64_t> over; // hash → stored size, of blobs above limit
};

int collectLargeBlobs(const wimlib_resource_entry* r, void* ctx)
{
    auto& blobs = *static_cast<LargeBlobs*>(ctx);
    const std::uint64_t size = storedSize(*r);
    blobs.largest = std::max(blobs.largest, size);
    if (!r->is_metadata && blobs.limit > 0 && size > blobs.limit) {
        Hash hash{};
        std::memcpy(hash.data(), r->sha1_hash, hash.size());
        blobs.over.emplace(hash, size);
    }
    return 0;
}

struct OversizeWalk {
    const LargeBlobs* blobs = nullptr;
    DWORD image = 0;
    std::vector<WIM_OVERSIZE_FILE>* files = nullptr;
};

int findOversizeUsers(const wimlib_dir_entry* e, void* ctx)
{
    auto& walk = *static_cast<OversizeWalk*>(ctx);
    for (std::uint32_t i = 0; i <= e->num_named_streams; ++i) {
        Hash hash{};
        std::memcpy(hash.data(), e->streams[i].resource.sha1_hash, hash.size());
        const auto it = walk.blobs->over.find(hash);
        if (it == walk.blobs->over.end())
            continue;
        walk.files->push_back({walk.image, fromUtf8(e->full_path ? e->full_path : ""), it->second});
        break;
    }
    return 0;
}

// The parts of a split WIM, written under stage names as libwim begins each and put in place
// together at the end.
struct SplitParts {
    dev_t sourceDevice = 0;
    ino_t sourceInode = 0;
    std::deque<StageFile> stages;
    std::deque<std::string> targets;
    std::deque<std::string> stagePaths; // what libwim writes to; stable while it writes
    DWORD error = ERROR_SUCCESS;
};

bool beginPart(SplitParts& parts, ProgressBridge& bridge,
               wimlib_progress_info::wimlib_progress_info_split& split)
{
    const std::string target = resolvedTarget(split.part_name);
    if (isSameFile(target, parts.sourceDevice, parts.sourceInode)) {
        parts.error = ERROR_INVALID_PARAMETER;
        return false;
    }
    StageFile stage;
    if (const DWORD error = stage.create(target)) {
        parts.error = error;
        return false;
    }
    parts.targets.push_back(target);
    parts.stagePaths.push_back(stage.path());
    parts.stages.push_back(std::move(stage));
    split.part_name = parts.stagePaths.back().data();
    const WIM_SPLIT_PART part{split.cur_part_number, split.total_parts};
    const std::u16string path = fromUtf8(target);
    return bridge.send(WIM_MSG_SPLIT, reinterpret_cast<WPARAM>(path.c_str()),
                       reinterpret_cast<LPARAM>(&part)) != WIM_MSG_ABORT_IMAGE;
}

// libwim opens each part with O_TRUNC, and the part exists (reserved as a stage file). On
// ext4 a file truncated to nothing is written back whole at its next close, a guard for
// programs that rewrite files in place without a flush; at libwim's close of a part that
// stalls the split until the part's data is on its way to the disk (a tenth of the split's
// time). A close of a descriptor of our own, before any data is written, takes that turn
// with nothing to write.
void closeBeforeData(const SplitParts& parts)
{
    if (!parts.stagePaths.empty())
        (void)UniqueFd(::open(parts.stagePaths.back().c_str(),
                              O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
}

// Puts every written part in place, the first part last: a set is whole only once its first
// part names it. No part replaces a file that another writer holds.
DWORD placeParts(SplitParts& parts)
{
    for (const std::string& target : parts.targets)
        if (const DWORD error = checkNotLocked(target))
            return error;
    for (std::size_t i = parts.stages.size(); i-- > 0;)
        if (const DWORD error = parts.stages[i].replaceTarget())
            return error;
    return ERROR_SUCCESS;
}

} // namespace

BOOL WIMSetReferenceFile(HANDLE wim, LPCWSTR path, DWORD flags)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!path || !*path)
        return fail(ERROR_INVALID_PARAMETER);
    if (flags & WIM_REFERENCE_REPLACE)
        return fail(ERROR_NOT_SUPPORTED);
    if (!(flags & WIM_REFERENCE_APPEND))
        return fail(ERROR_INVALID_PARAMETER);
    const std::string file = absoluteUtf8(path);
    int error = 0;
    const UniqueFd fd = openRegularFile(file, O_RDONLY, error);
    if (!fd)
        return fail(ErrorFromOpenRegularFile(error, file));
    // libwim opens the descriptor's file, so it reads what was checked to be a regular file.
    const std::string viaFd = "/proc/self/fd/" + std::to_string(fd.get());
    const char* files[] = {viaFd.c_str()};
    const int openFlags = (flags & WIM_FLAG_VERIFY) ? WIMLIB_OPEN_FLAG_CHECK_INTEGRITY : 0;
    const int ret = wimlib_reference_resource_files(w->wim.get(), files, 1, 0, openFlags);
    if (ret)
        return fail(ErrorFromWimlib(ret, errno));
    return TRUE;
}

BOOL WIMSplitFile(HANDLE wim, LPCWSTR partPath, LARGE_INTEGER* partSize, DWORD flags)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!partSize)
        return fail(ERROR_INVALID_PARAMETER);
    const wimlib_wim_info info = wimInfoOf(w->wim.get());
    if (info.total_parts > 1 || isSolidVersion(info.wim_version) || w->isNew)
        return fail(ERROR_NOT_SUPPORTED);
    if (!partPath) {
        LargeBlobs blobs;
        if (const int ret = wimlib_iterate_lookup_table(w->wim.get(), 0, collectLargeBlobs, &blobs))
            return fail(ErrorFromWimlib(ret, errno));
        partSize->QuadPart = static_cast<std::int64_t>(blobs.largest);
        return TRUE;
    }
    if (!*partPath || partSize->QuadPart <= 0)
        return fail(ERROR_INVALID_PARAMETER);

    SplitParts parts;
    struct stat st {};
    if (::stat(w->path.c_str(), &st) == 0) {
        parts.sourceDevice = st.st_dev;
        parts.sourceInode = st.st_ino;
    }
    const std::string first = resolvedTarget(absoluteUtf8(partPath));
    sweepStageFiles(folderOf(first));
    ToolboxProgress state;
    state.splitBegin = [&](wimlib_progress_info::wimlib_progress_info_split& split) {
        return beginPart(parts, state.bridge, split);
    };
    state.splitWriting = [&parts] { closeBeforeData(parts); };
    state.bridge.startPhase();
    int ret = 0;
    {
        ToolboxProgressScope scope(w->wim.get(), &state);
        ret = wimlib_split(w->wim.get(), first.c_str(),
                           static_cast<std::uint64_t>(partSize->QuadPart),
                           integrityWriteFlag(info, flags));
    }
    const int cause = errno;
    DWORD error = ERROR_SUCCESS;
    if (parts.error)
        error = parts.error;
    else if (state.bridge.aborted())
        error = ERROR_REQUEST_ABORTED;
    else if (ret)
        error = ErrorFromWimlib(ret, cause);
    if (!error)
        error = placeParts(parts);
    if (error)
        return fail(error);
    state.bridge.progress(1, 1, true);
    return TRUE;
}

BOOL WIMGetOversizeFiles(HANDLE wim, ULONGLONG partSize, std::vector<WIM_OVERSIZE_FILE>* files)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!files || partSize == 0)
        return fail(ERROR_INVALID_PARAMETER);
    files->clear();
    LargeBlobs blobs;
    blobs.limit = partSize;
    if (const int ret = wimlib_iterate_lookup_table(w->wim.get(), 0, collectLargeBlobs, &blobs))
        return fail(ErrorFromWimlib(ret, errno));
    if (blobs.over.empty())
        return TRUE;
    const int count = imageCountOf(w->wim.get());
    for (int image = 1; image <= count; ++image) {
        OversizeWalk walk{&blobs, static_cast<DWORD>(image), files};
        if (const int ret = wimlib_iterate_dir_tree(w->wim.get(), image, "",
                                                    WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE,
                                                    findOversizeUsers, &walk))
            return fail(ErrorFromWimlib(ret, errno));
    }
    return TRUE;
}

BOOL WIMJoinSplitFile(HANDLE wim, LPCWSTR targetPath, DWORD flags)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!targetPath || !*targetPath)
        return fail(ERROR_INVALID_PARAMETER);
    const wimlib_wim_info info = wimInfoOf(w->wim.get());
    if (info.total_parts < 2 || info.part_number != 1)
        return fail(ERROR_INVALID_PARAMETER);
    const std::string target = resolvedTarget(absoluteUtf8(targetPath));
    struct stat st {};
    for (unsigned part = 1; part <= info.total_parts; ++part) {
        if (::stat(splitPartPath(w->path, part).c_str(), &st) == 0 &&
            isSameFile(target, st.st_dev, st.st_ino))
            return fail(ERROR_INVALID_PARAMETER);
    }
    sweepStageFiles(folderOf(target));
    StageFile stage;
    if (const DWORD error = stage.create(target))
        return fail(error);
    ToolboxProgress state;
    state.bridge.startPhase();
    int ret = 0;
    {
        ToolboxProgressScope scope(w->wim.get(), &state);
        ret =
            wimlib_write_to_fd(w->wim.get(), stage.fd(), WIMLIB_ALL_IMAGES,
                               WIMLIB_WRITE_FLAG_RETAIN_GUID | integrityWriteFlag(info, flags), 0);
    }
    const int cause = errno;
    if (ret)
        return fail(state.bridge.aborted() ? ERROR_REQUEST_ABORTED : ErrorFromWimlib(ret, cause));
    if (const DWORD error = stage.replaceTarget())
        return fail(error);
    state.bridge.progress(1, 1, true);
    return TRUE;
}
