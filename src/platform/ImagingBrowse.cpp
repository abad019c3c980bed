// The files of an image: listing its folders, and extracting chosen files and folders.
//
// Extraction never writes outside its target, whatever names the image holds: every entry is
// checked before anything is written (names no file can have here, entries already in the
// target), libwim writes into a new, empty stage folder inside the target, and the entries are
// moved from there into place with renames relative to folder descriptors, which never follow
// a link. A failed or aborted extraction removes the stage folder and leaves the target as it
// was.
#include "Imaging.h"

#include "FileIo.h"
#include "ImagingToolbox.h"
#include "Kernel.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace imaging;

namespace {

constexpr int kStopWalk = 0x7FFF0001; // a visit's "stop" through libwim's callback result
constexpr char kStagePrefix[] = ".pelloric-extract-";
constexpr std::size_t kNameMax = 255;

FILETIME fileTimeOf(const wimlib_timespec& t, std::int32_t high)
{
    // 100-nanosecond intervals since 1601-01-01.
    const std::int64_t seconds = static_cast<std::int64_t>(t.tv_sec) +
                                 (sizeof(t.tv_sec) < 8 ? (std::int64_t{high} << 32) : 0);
    const std::uint64_t ticks = static_cast<std::uint64_t>(seconds + 11644473600LL) * 10000000ULL +
                                static_cast<std::uint64_t>(t.tv_nsec) / 100;
    return {static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

std::uint64_t dataSize(const wimlib_dir_entry& e)
{
    return e.streams[0].stream_name ? 0 : e.streams[0].resource.uncompressed_size;
}

bool isFolder(const wimlib_dir_entry& e)
{
    return (e.attributes &
            (WIMLIB_FILE_ATTRIBUTE_DIRECTORY | WIMLIB_FILE_ATTRIBUTE_REPARSE_POINT)) ==
           WIMLIB_FILE_ATTRIBUTE_DIRECTORY;
}

// The components of a path inside an image; false when one is "." or "..".
bool splitImagePath(const std::string& path, std::vector<std::string>& parts)
{
    parts.clear();
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        std::string part = path.substr(start, end - start);
        if (part == "." || part == "..")
            return false;
        if (!part.empty())
            parts.push_back(std::move(part));
        start = end + 1;
    }
    return true;
}

std::string joinImagePath(const std::vector<std::string>& parts, std::size_t count)
{
    std::string path;
    for (std::size_t i = 0; i < count; ++i)
        path += "/" + parts[i];
    return path.empty() ? std::string("/") : path;
}

struct EnumWalk {
    const std::function<BOOL(const WIM_FIND_DATA&)>* visit = nullptr;
    std::u16string path;
};

int visitEntry(const wimlib_dir_entry* e, void* ctx)
{
    auto& walk = *static_cast<EnumWalk*>(ctx);
    walk.path.clear();
    appendUtf8(walk.path, e->full_path ? e->full_path : "/");
    // The name is the path's last component (none for the root).
    const std::size_t slash = walk.path.rfind(u'/');
    WIM_FIND_DATA data{};
    data.Path = walk.path.c_str();
    data.Name = e->depth == 0 ? u"" : walk.path.c_str() + slash + 1;
    data.Attributes = e->attributes;
    data.Size = dataSize(*e);
    data.CreationTime = fileTimeOf(e->creation_time, e->creation_time_high);
    data.LastWriteTime = fileTimeOf(e->last_write_time, e->last_write_time_high);
    data.Depth = static_cast<DWORD>(e->depth);
    return (*walk.visit)(data) ? 0 : kStopWalk;
}

int noteFolder(const wimlib_dir_entry* e, void* ctx)
{
    *static_cast<bool*>(ctx) = isFolder(*e);
    return 0;
}

} // namespace

BOOL WIMEnumImageFiles(HANDLE image, LPCWSTR path, DWORD flags,
                       const std::function<BOOL(const WIM_FIND_DATA&)>& visit)
{
    ImageHandle* img = lookupLiveImage(image);
    if (!img)
        return FALSE;
    std::vector<std::string> parts;
    if (!visit || !splitImagePath(path ? toUtf8(path) : std::string(), parts))
        return fail(ERROR_INVALID_PARAMETER);
    const std::string where = joinImagePath(parts, parts.size());
    WIMStruct* wim = img->owner->wim.get();
    if (flags & WIM_ENUM_CHILDREN) {
        bool folder = false;
        if (const int ret =
                wimlib_iterate_dir_tree(wim, img->index, where.c_str(), 0, noteFolder, &folder))
            return fail(ErrorFromWimlib(ret, errno));
        if (!folder)
            return fail(ERROR_DIRECTORY);
    }
    int wimFlags = 0;
    if (flags & WIM_ENUM_RECURSIVE)
        wimFlags = WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE;
    else if (flags & WIM_ENUM_CHILDREN)
        wimFlags = WIMLIB_ITERATE_DIR_TREE_FLAG_CHILDREN;
    EnumWalk walk;
    walk.visit = &visit;
    const int ret =
        wimlib_iterate_dir_tree(wim, img->index, where.c_str(), wimFlags, visitEntry, &walk);
    if (ret == kStopWalk)
        return fail(ERROR_CANCELLED);
    if (ret)
        return fail(ErrorFromWimlib(ret, errno));
    return TRUE;
}

namespace {

// ---- planning an extraction ----------------------------------------------------------------
// The entries to extract in tree order (the root, the folders leading to each chosen path,
// then everything below each), with each entry's path below the target, and the first entry
// that must stop the extraction.
struct ExtractPlan {
    ProgressBridge::EntryList list;
    std::vector<std::string> relative;   // per entry, below the target ("" for the root)
    std::vector<std::string> imagePaths; // what libwim extracts
    std::size_t baseDepth = 0;           // components above what lands at the target
    DWORD error = ERROR_SUCCESS;
    std::string errorPath; // inside the image
};

// Why a name cannot be a file's name here, or ERROR_SUCCESS.
DWORD nameProblem(const char* name)
{
    if (!name || !*name || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
        std::strchr(name, '/'))
        return ERROR_INVALID_NAME;
    return std::strlen(name) > kNameMax ? ERROR_FILENAME_EXCED_RANGE : ERROR_SUCCESS;
}

void addPlanEntry(ExtractPlan& plan, const char* name, std::size_t depth, bool folder,
                  std::uint64_t size, std::string relative)
{
    ProgressBridge::Entry entry{};
    entry.nameOffset = static_cast<std::uint32_t>(plan.list.names.size());
    plan.list.names.append(name);
    plan.list.names.push_back('\0');
    entry.depth = static_cast<std::uint32_t>(depth) & 0x7FFFFFFFu;
    entry.folder = folder;
    entry.size = size;
    plan.list.totalSize += size;
    ++(folder ? plan.list.folders : plan.list.files);
    plan.list.entries.push_back(entry);
    plan.relative.push_back(std::move(relative));
}

struct PlanWalk {
    ExtractPlan* plan = nullptr;
    std::vector<bool> folderAt; // per depth below the base: whether that entry is a folder
};

int planEntry(const wimlib_dir_entry* e, void* ctx)
{
    auto& walk = *static_cast<PlanWalk*>(ctx);
    ExtractPlan& plan = *walk.plan;
    std::vector<std::string> parts;
    splitImagePath(e->full_path ? e->full_path : "", parts);
    const std::size_t depth = parts.size() - std::min(parts.size(), plan.baseDepth);
    // The image's root has no name of its own; it is the target folder.
    DWORD problem = parts.empty() ? ERROR_SUCCESS : nameProblem(e->filename);
    // A child of anything but a folder (a link that claims children) is refused as well.
    if (!problem && depth > 0 && depth - 1 < walk.folderAt.size() && !walk.folderAt[depth - 1])
        problem = ERROR_INVALID_NAME;
    if (problem && !plan.error) {
        plan.error = problem;
        plan.errorPath = e->full_path ? e->full_path : "";
    }
    walk.folderAt.resize(depth + 1);
    walk.folderAt[depth] = isFolder(*e);
    std::string relative;
    for (std::size_t i = plan.baseDepth; i < parts.size(); ++i)
        relative += (relative.empty() ? "" : "/") + parts[i];
    addPlanEntry(plan, e->filename ? e->filename : "", depth, isFolder(*e), dataSize(*e),
                 std::move(relative));
    return 0;
}

// Sorted, without paths below another chosen path.
std::vector<std::vector<std::string>> chosenPaths(const std::vector<std::string>& paths,
                                                  ExtractPlan& plan)
{
    std::vector<std::vector<std::string>> chosen;
    for (const std::string& path : paths) {
        std::vector<std::string> parts;
        if (!splitImagePath(path, parts)) {
            plan.error = ERROR_INVALID_NAME;
            plan.errorPath = path;
            return {};
        }
        chosen.push_back(std::move(parts));
    }
    std::sort(chosen.begin(), chosen.end());
    std::vector<std::vector<std::string>> kept;
    for (auto& parts : chosen) {
        const bool inside = !kept.empty() && kept.back().size() <= parts.size() &&
                            std::equal(kept.back().begin(), kept.back().end(), parts.begin());
        if (!inside)
            kept.push_back(std::move(parts));
    }
    return kept;
}

// Plans the extraction of `paths`; with `single`, the one path lands at the target itself.
void planExtraction(WIMStruct* wim, int image, const std::vector<std::string>& paths, bool single,
                    ExtractPlan& plan)
{
    const std::vector<std::vector<std::string>> chosen = chosenPaths(paths, plan);
    if (plan.error)
        return;
    const bool wholeImage = chosen.size() == 1 && chosen.front().empty();
    if (single && !chosen.empty())
        plan.baseDepth = chosen.front().size();
    else if (!wholeImage)
        addPlanEntry(plan, "", 0, true, 0, std::string()); // the target folder itself
    std::vector<std::string> emitted; // the folders leading to the last chosen path
    for (const std::vector<std::string>& parts : chosen) {
        std::size_t common = 0;
        while (!single && common < emitted.size() && common + 1 < parts.size() &&
               emitted[common] == parts[common])
            ++common;
        for (std::size_t k = common; !single && k + 1 < parts.size(); ++k) {
            const std::string ancestor = joinImagePath(parts, k + 1);
            if (const DWORD problem = nameProblem(parts[k].c_str()); problem && !plan.error) {
                plan.error = problem;
                plan.errorPath = ancestor;
            }
            addPlanEntry(plan, parts[k].c_str(), k + 1, true, 0, ancestor.substr(1));
        }
        emitted.assign(parts.begin(), parts.end() - (parts.empty() ? 0 : 1));
        const std::string where = joinImagePath(parts, parts.size());
        plan.imagePaths.push_back(where);
        PlanWalk walk{&plan, {}};
        walk.folderAt.assign(single ? 0 : parts.size(), true);
        const int ret = wimlib_iterate_dir_tree(
            wim, image, where.c_str(), WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE, planEntry, &walk);
        if (ret && !plan.error) {
            plan.error = ret == WIMLIB_ERR_PATH_DOES_NOT_EXIST ? ERROR_PATH_NOT_FOUND
                                                               : ErrorFromWimlib(ret, errno);
            plan.errorPath = where;
        }
    }
}

} // namespace

namespace {

// ---- checking the target -------------------------------------------------------------------
enum class Existing { None, Folder, Other };

Existing existingAt(int targetFd, const std::string& relative)
{
    struct stat st {};
    if (::fstatat(targetFd, relative.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Existing::None;
    return S_ISDIR(st.st_mode) ? Existing::Folder : Existing::Other;
}

struct Conflict {
    DWORD error = ERROR_SUCCESS;
    std::string relative;
};

// The first entry that the target already holds in a way the flags do not allow. An entry is
// looked at only while every folder above it is a real folder in the target, so no look goes
// through a link.
Conflict findConflict(const ExtractPlan& plan, int targetFd, bool overwrite)
{
    std::vector<bool> realFolder; // per depth: the entry there is a folder in the target too
    for (std::size_t i = 0; i < plan.list.entries.size(); ++i) {
        const ProgressBridge::Entry& e = plan.list.entries[i];
        const std::size_t depth = e.depth;
        realFolder.resize(depth + 1);
        const bool parentReal = depth == 0 || realFolder[depth - 1];
        if (plan.relative[i].empty()) {
            realFolder[depth] = true;
            continue;
        }
        const Existing existing =
            parentReal ? existingAt(targetFd, plan.relative[i]) : Existing::None;
        realFolder[depth] = parentReal && existing == Existing::Folder && e.folder;
        if (existing == Existing::None || (existing == Existing::Folder && e.folder))
            continue;
        if (!overwrite)
            return {ERROR_FILE_EXISTS, plan.relative[i]};
        if (existing == Existing::Folder)
            return {ERROR_DIRECTORY, plan.relative[i]};
    }
    return {};
}

// ---- the stage folder ------------------------------------------------------------------------
// The names in the folder open as `dirFd` ("." and ".." aside); false when it cannot be read.
bool childrenOf(int dirFd, std::vector<std::string>& children)
{
    children.clear();
    const int copy = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::unique_ptr<DIR, int (*)(DIR*)> d(copy >= 0 ? ::fdopendir(copy) : nullptr,
                                                ::closedir);
    if (!d) {
        if (copy >= 0)
            ::close(copy);
        return false;
    }
    while (const dirent* e = ::readdir(d.get()))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            children.emplace_back(e->d_name);
    return true;
}

// Removes `name` in `dir` with everything below it, never following a link.
void removeTree(int dir, const std::string& name)
{
    if (::unlinkat(dir, name.c_str(), 0) == 0 || (errno != EISDIR && errno != EPERM))
        return;
    const UniqueFd sub(
        ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<std::string> children;
    if (!sub || !childrenOf(sub.get(), children))
        return;
    for (const std::string& child : children)
        removeTree(sub.get(), child);
    ::unlinkat(dir, name.c_str(), AT_REMOVEDIR);
}

// Removes the stage folders of extractions into `targetFd` that ended without finishing: this
// user's, whose lock is free.
void sweepStageFolders(int targetFd)
{
    std::vector<std::string> names;
    std::vector<std::string> dead;
    childrenOf(targetFd, names);
    for (const std::string& name : names) {
        if (name.compare(0, sizeof kStagePrefix - 1, kStagePrefix) != 0)
            continue;
        const UniqueFd stage(
            ::openat(targetFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (stage && ::fstat(stage.get(), &st) == 0 && st.st_uid == ::geteuid() &&
            ::flock(stage.get(), LOCK_EX | LOCK_NB) == 0)
            dead.push_back(name);
    }
    for (const std::string& name : dead)
        removeTree(targetFd, name);
}

// A new, locked, empty folder inside the target that libwim extracts into; removed with what
// is left in it when the object goes.
class StageFolder {
public:
    StageFolder(const StageFolder&) = delete;
    StageFolder& operator=(const StageFolder&) = delete;
    StageFolder(int targetFd, const std::string& targetPath) : targetFd_(targetFd)
    {
        std::string path = targetPath + "/" + kStagePrefix + "XXXXXX";
        if (!::mkdtemp(path.data())) {
            error_ = ErrorFromErrnoForFolder(errno);
            return;
        }
        path_ = path;
        name_ = baseNameOf(path);
        fd_.reset(
            ::openat(targetFd, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd_ || ::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0)
            error_ = ERROR_SHARING_VIOLATION;
    }
    ~StageFolder()
    {
        if (!name_.empty())
            removeTree(targetFd_, name_);
    }
    DWORD error() const { return error_; }
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }

private:
    int targetFd_;
    UniqueFd fd_;
    std::string path_;
    std::string name_;
    DWORD error_ = ERROR_SUCCESS;
};

// ---- moving into place -------------------------------------------------------------------------
DWORD moveEntry(int srcDir, const std::string& srcName, int dstDir, const std::string& dstName,
                bool overwrite);

DWORD mergeFolders(int srcDir, const std::string& srcName, int dstDir, const std::string& dstName,
                   bool overwrite)
{
    const UniqueFd src(
        ::openat(srcDir, srcName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const UniqueFd dst(
        ::openat(dstDir, dstName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<std::string> children;
    if (!src || !dst || !childrenOf(src.get(), children))
        return ErrorFromErrno(errno);
    for (const std::string& child : children)
        if (const DWORD error = moveEntry(src.get(), child, dst.get(), child, overwrite))
            return error;
    return ERROR_SUCCESS;
}

// Moves srcDir/srcName to dstDir/dstName: a new name by a rename that never replaces, a folder
// into an existing folder by merging, and (only when overwriting) over an existing file or link,
// which is replaced and never written through.
DWORD moveEntry(int srcDir, const std::string& srcName, int dstDir, const std::string& dstName,
                bool overwrite)
{
    struct stat src {};
    if (::fstatat(srcDir, srcName.c_str(), &src, AT_SYMLINK_NOFOLLOW) != 0)
        return ErrorFromErrno(errno);
    if (::renameat2(srcDir, srcName.c_str(), dstDir, dstName.c_str(), RENAME_NOREPLACE) == 0)
        return ERROR_SUCCESS;
    if (errno != EEXIST && errno != EINVAL)
        return ErrorFromErrno(errno);
    struct stat dst {};
    const bool exists = ::fstatat(dstDir, dstName.c_str(), &dst, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists) // a file system without RENAME_NOREPLACE, and nothing there
        return ::renameat(srcDir, srcName.c_str(), dstDir, dstName.c_str()) == 0
                   ? ERROR_SUCCESS
                   : ErrorFromErrno(errno);
    if (S_ISDIR(src.st_mode) && S_ISDIR(dst.st_mode))
        return mergeFolders(srcDir, srcName, dstDir, dstName, overwrite);
    if (!overwrite)
        return ERROR_FILE_EXISTS;
    if (S_ISDIR(dst.st_mode))
        return ERROR_DIRECTORY;
    if (S_ISDIR(src.st_mode) && ::unlinkat(dstDir, dstName.c_str(), 0) != 0)
        return ErrorFromErrno(errno);
    return ::renameat(srcDir, srcName.c_str(), dstDir, dstName.c_str()) == 0
               ? ERROR_SUCCESS
               : ErrorFromErrno(errno);
}

} // namespace

namespace {

struct ExtractRequest {
    std::vector<std::string> paths; // inside the image
    std::string target;             // the target folder, or with `single` the destination
    bool single = false;
    bool overwrite = false;
};

// Names `path` with `code` to the callbacks (WIM_MSG_ERROR) and returns the code.
DWORD refuse(ProgressBridge& bridge, const std::string& path, DWORD code)
{
    const std::u16string text = fromUtf8(path);
    bridge.send(WIM_MSG_ERROR, reinterpret_cast<WPARAM>(text.c_str()), static_cast<LPARAM>(code));
    return code;
}

// The folder entries are moved into, made when missing (not for a single destination).
DWORD openTargetFolder(const ExtractRequest& request, UniqueFd& fd)
{
    const std::string folder = request.single ? folderOf(request.target) : request.target;
    std::error_code ec;
    if (!request.single)
        std::filesystem::create_directories(folder, ec);
    fd.reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return errno == ENOTDIR ? ERROR_DIRECTORY : ErrorFromErrnoForFolder(errno);
    return ERROR_SUCCESS;
}

// Moves what libwim wrote into the stage to its place in the target.
DWORD moveIntoPlace(const StageFolder& stage, int targetFd, const ExtractRequest& request)
{
    if (request.single) {
        std::vector<std::string> parts;
        splitImagePath(request.paths.front(), parts);
        return moveEntry(stage.fd(), parts.back(), targetFd, baseNameOf(request.target),
                         request.overwrite);
    }
    std::vector<std::string> children;
    if (!childrenOf(stage.fd(), children))
        return ErrorFromErrno(errno);
    for (const std::string& child : children)
        if (const DWORD error = moveEntry(stage.fd(), child, targetFd, child, request.overwrite))
            return error;
    return ERROR_SUCCESS;
}

DWORD extractWithLibwim(WimHandle& w, int image, const ExtractPlan& plan, const StageFolder& stage,
                        bool single, ToolboxProgress& state)
{
    std::vector<const char*> paths;
    for (const std::string& path : plan.imagePaths)
        paths.push_back(path.c_str());
    int flags = WIMLIB_EXTRACT_FLAG_NORPFIX;
    if (single)
        flags |= WIMLIB_EXTRACT_FLAG_NO_PRESERVE_DIR_STRUCTURE;
    state.paceEntries = true;
    state.bridge.startPhase();
    int ret = 0;
    {
        ToolboxProgressScope scope(w.wim.get(), &state);
        ret = wimlib_extract_paths(w.wim.get(), image, stage.path().c_str(), paths.data(),
                                   paths.size(), flags);
    }
    const int cause = errno;
    if (state.bridge.aborted())
        return ERROR_REQUEST_ABORTED;
    return ret ? ErrorFromWimlib(ret, cause) : ERROR_SUCCESS;
}

DWORD runExtraction(WimHandle& w, int image, const ExtractRequest& request)
{
    ToolboxProgress state;
    ProgressBridge& bridge = state.bridge;
    ExtractPlan plan;
    planExtraction(w.wim.get(), image, request.paths, request.single, plan);
    if (plan.error)
        return refuse(bridge, plan.errorPath, plan.error);
    UniqueFd targetFd;
    if (const DWORD error = openTargetFolder(request, targetFd))
        return error;
    if (request.single) {
        const std::string name = baseNameOf(request.target);
        for (std::string& relative : plan.relative) {
            if (!relative.empty())
                relative.insert(0, 1, '/');
            relative.insert(0, name);
        }
    }
    const std::string folder = request.single ? folderOf(request.target) : request.target;
    const Conflict conflict = findConflict(plan, targetFd.get(), request.overwrite);
    if (conflict.error)
        return refuse(bridge, folder + "/" + conflict.relative, conflict.error);

    sweepStageFolders(targetFd.get());
    const StageFolder stage(targetFd.get(), folder);
    if (stage.error())
        return stage.error();
    bridge.send(WIM_MSG_SETRANGE, 0, static_cast<LPARAM>(plan.list.entries.size()));
    bridge.setEntries(&plan.list, fromUtf8(request.target), false);
    if (bridge.aborted())
        return ERROR_REQUEST_ABORTED;
    if (const DWORD error = extractWithLibwim(w, image, plan, stage, request.single, state))
        return error;
    if (const DWORD error = moveIntoPlace(stage, targetFd.get(), request))
        return error;
    if (!bridge.paceAll(WIM_MSG_PROCESS))
        return ERROR_REQUEST_ABORTED;
    bridge.progress(1, 1, true);
    return ERROR_SUCCESS;
}

std::string absoluteFolder(LPCWSTR path)
{
    std::error_code ec;
    const std::string given = toUtf8(path);
    std::string folder = std::filesystem::absolute(given, ec).lexically_normal().string();
    if (ec)
        folder = given;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

} // namespace

BOOL WIMExtractImagePaths(HANDLE image, const LPCWSTR* imagePaths, DWORD count,
                          LPCWSTR targetFolder, DWORD flags)
{
    ImageHandle* img = lookupLiveImage(image);
    if (!img)
        return FALSE;
    if (!imagePaths || count == 0 || !targetFolder || !*targetFolder)
        return fail(ERROR_INVALID_PARAMETER);
    ExtractRequest request;
    for (DWORD i = 0; i < count; ++i) {
        if (!imagePaths[i])
            return fail(ERROR_INVALID_PARAMETER);
        request.paths.push_back(toUtf8(imagePaths[i]));
    }
    request.target = absoluteFolder(targetFolder);
    request.overwrite = (flags & WIM_EXTRACT_OVERWRITE) != 0;
    if (const DWORD error = runExtraction(*img->owner, img->index, request))
        return fail(error);
    return TRUE;
}

BOOL WIMExtractImagePath(HANDLE image, LPCWSTR imagePath, LPCWSTR destinationPath, DWORD flags)
{
    ImageHandle* img = lookupLiveImage(image);
    if (!img)
        return FALSE;
    std::vector<std::string> parts;
    if (!imagePath || !destinationPath || !*destinationPath ||
        !splitImagePath(toUtf8(imagePath), parts) || parts.empty())
        return fail(ERROR_INVALID_PARAMETER);
    ExtractRequest request;
    request.paths.push_back(toUtf8(imagePath));
    request.target = absoluteFolder(destinationPath);
    request.single = true;
    request.overwrite = (flags & WIM_EXTRACT_OVERWRITE) != 0;
    if (const DWORD error = runExtraction(*img->owner, img->index, request))
        return fail(error);
    return TRUE;
}
