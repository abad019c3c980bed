// WIM files and images: handles, opening, attributes, image information, boot index,
// deleting images and the message callback registry.
#include "Imaging.h"

#include "FileIo.h"
#include "ImagingInternal.h"
#include "Kernel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <unordered_map>

#include <climits>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace imaging {
namespace {

// The live handles and what each is. A handle's kind is only ever read here, under the
// lock, never through the pointer: a closed or foreign pointer is not dereferenced.
enum class HandleKind { Wim, Image };
std::mutex gHandleMutex;
std::unordered_map<const void*, HandleKind> gLiveHandles;

void addLive(const void* h, HandleKind kind)
{
    std::lock_guard lock(gHandleMutex);
    gLiveHandles.emplace(h, kind);
}

// Whether h is a live handle of that kind.
bool isLive(const void* h, HandleKind kind)
{
    std::lock_guard lock(gHandleMutex);
    const auto it = gLiveHandles.find(h);
    return it != gLiveHandles.end() && it->second == kind;
}

// Takes h out of the table; the kind it had, or none for a handle that is not live.
std::optional<HandleKind> removeLive(const void* h)
{
    std::lock_guard lock(gHandleMutex);
    const auto it = gLiveHandles.find(h);
    if (it == gLiveHandles.end())
        return std::nullopt;
    const HandleKind kind = it->second;
    gLiveHandles.erase(it);
    return kind;
}

std::mutex gCallbackMutex;
std::vector<std::pair<WIMMessageCallback, PVOID>> gCallbacks;


int writeFlags(const WimHandle& w)
{
    return w.verify ? WIMLIB_WRITE_FLAG_CHECK_INTEGRITY : 0;
}

int openFlags(const WimHandle& w)
{
    int flags = 0;
    if (w.verify)
        flags |= WIMLIB_OPEN_FLAG_CHECK_INTEGRITY;
    if (w.writable)
        flags |= WIMLIB_OPEN_FLAG_WRITE_ACCESS;
    return flags;
}

// libwim's descriptor of a file is found by comparing this process's descriptors before
// and after the open; such opens are serialised so that two never overlap.
std::mutex gOpenMutex;

// Opens the handle's file with libwim. For a writable existing file, the file's identity
// is taken before and after the open and must agree, so it is the state libwim read; when
// another writer keeps changing it, the identity stays invalid and no commit will start.
DWORD openWimFile(WimHandle& w, WimPtr& out)
{
    const std::string& file = w.filePath();
    const bool track = w.writable && w.stagePath.empty();
    for (int attempt = 0;; ++attempt) {
        FileIdentity before;
        if (track)
            identityOfPath(file, before);
        std::vector<int> fdsBefore;
        std::vector<int> fdsAfter;
        WimPtr opened;
        {
            // Only opens that look for libwim's descriptor wait for each other (an open that
            // checks the integrity table can take long); another open of the same file
            // meanwhile only leaves the descriptor unknown.
            std::unique_lock lock(gOpenMutex, std::defer_lock);
            if (track) {
                lock.lock();
                fdsBefore = openDescriptors();
            }
            WIMStruct* raw = nullptr;
            const int ret = wimlib_open_wim(file.c_str(), openFlags(w), &raw);
            if (ret)
                return ErrorFromWimlib(ret, errno);
            opened.reset(raw);
            if (track)
                fdsAfter = openDescriptors();
        }
        w.identity = FileIdentity{};
        w.libraryFd = -1;
        if (!track) {
            out = std::move(opened);
            return ERROR_SUCCESS;
        }
        FileIdentity after;
        identityOfPath(file, after);
        if (sameState(before, after) || attempt == 2) {
            if (sameState(before, after)) {
                w.identity = after;
                w.libraryFd =
                    findLibraryDescriptor(fdsBefore, fdsAfter, after.device, after.inode);
            }
            out = std::move(opened);
            return ERROR_SUCCESS;
        }
    }
}

// Writes a new WIM to its temporary file in the target's folder: the whole WIM the first
// time, in place afterwards (the file is nobody else's). The target itself is replaced
// only when the handle is closed.
DWORD writeStage(WimHandle& w, int extraWriteFlags)
{
    DWORD error = ERROR_SUCCESS;
    if (w.stagePath.empty()) {
        std::string stage = w.path + ".pelloric-XXXXXX";
        UniqueFd fd(mkostemp(stage.data(), O_CLOEXEC));
        if (!fd)
            return ErrorFromErrnoForFolder(errno);
        fchmod(fd.get(), 0644);
        // Written through the descriptor just created: reopening the file by name would
        // truncate it, which makes some file systems flush the whole file when it is closed.
        // toolbox: a new LZMS file is written solid, as an ESD file is.
        const int solid =
            w.compression == WIMLIB_COMPRESSION_TYPE_LZMS ? WIMLIB_WRITE_FLAG_SOLID : 0;
        const int ret =
            wimlib_write_to_fd(w.wim.get(), fd.get(), WIMLIB_ALL_IMAGES, writeFlags(w) | solid, 0);
        error = ret ? ErrorFromWimlib(ret, errno) : ErrorFromErrno(fd.close());
        if (error)
            unlink(stage.c_str());
        else
            w.stagePath = stage;
    } else {
        const int ret = wimlib_overwrite(w.wim.get(), writeFlags(w) | extraWriteFlags, 0);
        error = ret ? ErrorFromWimlib(ret, errno) : ERROR_SUCCESS;
    }
    if (error) {
        reloadAfterFailure(w);
        return error;
    }
    // Everything libwim held is in the file now. Its copy (the whole tree of a capture)
    // goes before the file is read back, so that the two are never in memory at once.
    WIMStruct* blank = nullptr;
    if (wimlib_create_new_wim(static_cast<wimlib_compression_type>(w.compression), &blank) == 0) {
        handOverToExportTargets(w);
        w.wim.reset(blank);
    }
    // What was written must read back; when it does not, that is the write's failure.
    return reloadWim(w, false);
}

} // namespace

void dropStage(WimHandle& w)
{
    if (!w.stagePath.empty()) {
        unlink(w.stagePath.c_str());
        w.stagePath.clear();
    }
}

namespace {

// libwim writes an information-only change (no image added, changed or removed) over the
// old XML where it stands, and only then the header: a process ending in between leaves a
// header that does not describe the bytes after it. With an image removed, libwim takes
// the append path instead (new tables after the old end, the header last), so such a
// change gets an empty image that is removed again before the write.
int useAppendPath(WimHandle& w)
{
    if (w.imagesChanged)
        return 0;
    int index = 0;
    if (int ret = wimlib_add_empty_image(w.wim.get(), nullptr, &index))
        return ret;
    return wimlib_delete_image(w.wim.get(), index);
}

// The lock that keeps other writers out while the file is compared with what libwim read:
// libwim's own descriptor when it is known (libwim's lock on the same open file then
// succeeds and is released by libwim at the end of its write, so no one gets in between),
// else a descriptor of our own, released again before libwim takes its lock.
class CommitLock {
public:
    CommitLock() = default;
    CommitLock(const CommitLock&) = delete;
    CommitLock& operator=(const CommitLock&) = delete;
    ~CommitLock() { release(); }

    // Takes the lock; false when another writer holds the file.
    bool take(const WimHandle& w)
    {
        struct stat st {};
        if (w.libraryFd >= 0 && ::fstat(w.libraryFd, &st) == 0 && st.st_dev == w.identity.device &&
            st.st_ino == w.identity.inode) {
            library_ = w.libraryFd;
            device_ = st.st_dev;
            inode_ = st.st_ino;
            return ::flock(library_, LOCK_EX | LOCK_NB) == 0;
        }
        int error = 0;
        own_ = openRegularFile(w.path, O_RDONLY, error);
        return own_ && ::flock(own_.get(), LOCK_EX | LOCK_NB) == 0;
    }
    // A lock of our own goes before libwim takes its own; libwim's stays through its write.
    void releaseOwn() { own_.reset(); }
    void release()
    {
        releaseOwn();
        // libwim's descriptor, unless libwim closed it meanwhile (a rebuilt file).
        struct stat st {};
        if (library_ >= 0 && ::fstat(library_, &st) == 0 && st.st_dev == device_ &&
            st.st_ino == inode_)
            ::flock(library_, LOCK_UN);
        library_ = -1;
    }

private:
    UniqueFd own_;
    int library_ = -1; // libwim's descriptor of the file: libwim's to close, not ours
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// Whether the written file reads back as a WIM (through a WIMStruct of its own).
DWORD opensAsWim(const WimHandle& w)
{
    WIMStruct* raw = nullptr;
    const int ret = wimlib_open_wim(w.path.c_str(), openFlags(w) & ~WIMLIB_OPEN_FLAG_WRITE_ACCESS,
                                    &raw);
    const int cause = errno;
    const WimPtr probe(raw);
    return ret ? ErrorFromWimlib(ret, cause) : ERROR_SUCCESS;
}

// Creates the undo record of a commit; a record there already is looked at first, which
// may put the file back or remove it. ERROR_SHARING_VIOLATION when another commit of this
// program runs, else the cause of a record that cannot be written.
DWORD startUndoRecord(const WimHandle& w, UndoRecord& record)
{
    int err = createUndoRecord(w.path, w.identity, record);
    if (err == EEXIST) {
        if (examineUndoRecord(w.path, true) == RecoveryResult::Busy)
            return ERROR_SHARING_VIOLATION;
        err = createUndoRecord(w.path, w.identity, record);
        if (err == EEXIST)
            return ERROR_SHARING_VIOLATION;
    }
    return ErrorFromErrno(err);
}

// Takes the commit lock and checks, under it, that the file is still the one libwim read.
DWORD lockUnchanged(const WimHandle& w, CommitLock& lock)
{
    if (!lock.take(w))
        return ERROR_SHARING_VIOLATION;
    FileIdentity now;
    if (!identityOfPath(w.path, now) || !sameState(now, w.identity)) {
        lock.release();
        return ERROR_SHARING_VIOLATION;
    }
    lock.releaseOwn();
    return ERROR_SUCCESS;
}

DWORD commitExisting(WimHandle& w, int extraWriteFlags)
{
    if (!w.identity.valid)
        return ERROR_SHARING_VIOLATION;
    UndoRecord record;
    if (const DWORD error = startUndoRecord(w, record))
        return error;
    CommitLock lock;
    if (const DWORD error = lockUnchanged(w, lock)) {
        removeUndoRecord(record);
        return error;
    }

    int ret = useAppendPath(w);
    if (!ret)
        ret = wimlib_overwrite(w.wim.get(),
                               writeFlags(w) | extraWriteFlags | WIMLIB_WRITE_FLAG_SOFT_DELETE, 0);
    const int cause = errno;
    lock.release();
    DWORD error = ret ? ErrorFromWimlib(ret, cause) : ERROR_SUCCESS;
    if (ret == WIMLIB_ERR_ALREADY_LOCKED) {
        // Someone else holds the file: libwim wrote nothing, and neither do we.
        removeUndoRecord(record);
        reloadAfterFailure(w);
        return error;
    }
    const FileIdentity before = w.identity;
    if (!error) {
        // A write libwim reported as done must also read back. A handle being closed only
        // needs to know that; an open one goes on with the file as now written. When it
        // does not, why it does not is the commit's failure.
        error = w.closing ? opensAsWim(w) : reloadWim(w, false);
        if (!error) {
            removeUndoRecord(record);
            return ERROR_SUCCESS;
        }
    }
    if (undoOwnCommit(w.path, before))
        removeUndoRecord(record);
    else
        keepUndoRecord(record);
    reloadAfterFailure(w);
    return error;
}

// The file a path names, symbolic links followed, also a last one that points nowhere (a
// new file is made where it points, as other tools do).
std::string resolveLinks(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        std::vector<char> target(PATH_MAX + 1);
        const ssize_t n = ::readlink(path.c_str(), target.data(), PATH_MAX);
        if (n <= 0)
            break;
        const std::filesystem::path link(std::string(target.data(), static_cast<std::size_t>(n)));
        path = (link.is_absolute() ? link : std::filesystem::path(path).parent_path() / link)
                   .lexically_normal()
                   .string();
    }
    const std::filesystem::path p(path);
    if (char* real = ::realpath(p.parent_path().c_str(), nullptr)) {
        std::string folder = real;
        std::free(real);
        path = (std::filesystem::path(folder) / p.filename()).string();
    }
    return path;
}

// A file the file system will not let anyone change or replace (chattr +i or +a).
bool isImmutable(const std::string& path)
{
    int error = 0;
    const UniqueFd fd = openRegularFile(path, O_RDONLY, error);
    int flags = 0;
    return fd && ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL));
}

// Refuses a file whose header describes tables that cannot be there: past the end of the
// file, or larger than any real WIM's tables. libwim would try to allocate what such a
// header claims before noticing.
bool headerIsPlausible(const std::string& path)
{
    int error = 0;
    struct stat st {};
    const UniqueFd fd = openRegularFile(path, O_RDONLY, error, &st);
    unsigned char bytes[kWimHeaderSize];
    if (!fd || ::pread(fd.get(), bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        return true; // open failures and short files are libwim's to report
    const WimHeader header = parseWimHeader(bytes);
    if (!header.magic)
        return true; // other formats too
    constexpr std::uint64_t kMaxTable = std::uint64_t(1) << 30;
    constexpr std::uint64_t kMaxImages = std::uint64_t(1) << 20;
    if (header.imageCount > kMaxImages)
        return false;
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    for (const WimResourceEntry& table : {header.blobTable, header.xml, header.integrity}) {
        if (table.offset == 0 && table.storedSize == 0)
            continue;
        if (table.offset > fileSize || table.storedSize > fileSize - table.offset ||
            table.originalSize > kMaxTable)
            return false;
    }
    return true;
}

} // namespace

XmlElem imageFromProperties(WIMStruct* wim, int image)
{
    XmlElem e;
    e.name = QStringLiteral("IMAGE");
    for (const char* p : {"NAME", "DESCRIPTION", "FLAGS", "DISPLAYNAME", "DISPLAYDESCRIPTION",
                          "DIRCOUNT", "FILECOUNT", "TOTALBYTES", "HARDLINKBYTES"}) {
        if (const char* v = wimlib_get_image_property(wim, image, p)) {
            XmlElem c;
            c.name = QString::fromLatin1(p);
            c.text = QString::fromUtf8(v);
            e.children.push_back(std::move(c));
        }
    }
    return e;
}

// ---- handles --------------------------------------------------------------------------------
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

ImageHandle* lookupLiveImage(HANDLE h)
{
    ImageHandle* img = lookupImage(h);
    if (!img)
        return nullptr;
    if (!img->owner || img->index < 1 || img->index > static_cast<int>(img->owner->images.size())) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return img;
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

// ---- errors -------------------------------------------------------------------------------
BOOL fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

// ---- view and reloads ---------------------------------------------------------------------
void rebuildView(WimHandle& w)
{
    const int count = imageCountOf(w.wim.get());
    w.rootAttrs.clear();
    w.fileXml.clear();
    w.topElements.clear();
    w.topBeforeImages = 0;
    w.images.clear();
    std::vector<std::pair<int, XmlElem>> found;
    void* buf = nullptr;
    std::size_t size = 0;
    if (w.hasFile() && wimlib_get_xml_data(w.wim.get(), &buf, &size) == 0) {
        w.fileXml = fromUtf16Le(buf, size);
        XmlElem root;
        if (parseXml(w.fileXml, root)) {
            w.rootAttrs = std::move(root.attrs);
            int position = 0;
            for (XmlElem& e : root.children) {
                if (e.name != QLatin1String("IMAGE")) {
                    w.topElements.push_back(std::move(e));
                    if (position == 0)
                        w.topBeforeImages = w.topElements.size();
                    continue;
                }
                ++position;
                int index = position;
                for (const auto& [name, value] : e.attrs)
                    if (name == QLatin1String("INDEX"))
                        index = value.toInt();
                found.emplace_back(index, std::move(e));
            }
        }
        std::free(buf);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& f : found)
        if (static_cast<int>(w.images.size()) < count)
            w.images.push_back(std::move(f.second));
    // libwim opened the file, so its own reading is the authority on the image count.
    for (int i = static_cast<int>(w.images.size()) + 1; i <= count; ++i)
        w.images.push_back(imageFromProperties(w.wim.get(), i));
    for (XmlElem& e : w.images)
        e.name = QStringLiteral("IMAGE");
    w.imageDirty.assign(w.images.size(), false);
}

void handOverToExportTargets(WimHandle& w)
{
    if (w.exportTargets.empty() || !w.wim)
        return;
    std::shared_ptr<WIMStruct> shared(w.wim.release(), WimFree());
    for (WimHandle* target : w.exportTargets) {
        target->keepAlive.push_back(shared);
        auto& sources = target->exportSources;
        sources.erase(std::remove(sources.begin(), sources.end(), &w), sources.end());
    }
    w.exportTargets.clear();
}

void dropExportSources(WimHandle& w)
{
    for (WimHandle* source : w.exportSources) {
        auto& targets = source->exportTargets;
        targets.erase(std::remove(targets.begin(), targets.end(), &w), targets.end());
    }
    w.exportSources.clear();
    w.pending.clear();
    w.imagesChanged = false;
}

namespace {

// Puts back, into a freshly read WIMStruct, the information changes and the boot index that
// were pending before. ERROR_SUCCESS, or the cause of the first change that could not be
// put back (the others are still tried).
DWORD putBackPending(WimHandle& w, const std::vector<XmlElem>& pendingImages,
                     const std::vector<bool>& pendingDirty, bool bootDirty, DWORD bootIndex)
{
    DWORD error = ERROR_SUCCESS;
    const std::size_t n = std::min(pendingImages.size(), w.images.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (!pendingDirty[i])
            continue;
        bool changed = false;
        const int ret =
            syncImageElements(w.wim.get(), static_cast<int>(i + 1), w.images[i].children,
                              pendingImages[i].children, &changed);
        if (ret && !error)
            error = ErrorFromWimlib(ret, errno);
        w.imageDirty[i] = ret == 0 && changed;
        w.dirty = w.dirty || w.imageDirty[i];
    }
    if (bootDirty && bootIndex <= w.images.size()) {
        wimlib_wim_info info{};
        info.boot_index = bootIndex;
        if (const int ret = wimlib_set_wim_info(w.wim.get(), &info, WIMLIB_CHANGE_BOOT_INDEX)) {
            if (!error)
                error = ErrorFromWimlib(ret, errno);
        } else {
            w.bootDirty = true;
            w.dirty = true;
        }
    }
    return error;
}

} // namespace

DWORD reloadWim(WimHandle& w, bool keepPending)
{
    std::vector<XmlElem> pendingImages;
    std::vector<bool> pendingDirty;
    DWORD bootIndex = 0;
    if (keepPending) {
        pendingImages = w.images;
        pendingDirty = w.imageDirty;
        wimlib_wim_info info{};
        if (const int ret = wimlib_get_wim_info(w.wim.get(), &info))
            return ErrorFromWimlib(ret, errno);
        bootIndex = info.boot_index;
    }
    const bool bootDirty = keepPending && w.bootDirty;
    const FileIdentity previous = w.identity;

    WimPtr fresh;
    if (w.hasFile()) {
        if (const DWORD error = openWimFile(w, fresh))
            return error;
    } else {
        WIMStruct* raw = nullptr;
        const int ret =
            wimlib_create_new_wim(static_cast<wimlib_compression_type>(w.compression), &raw);
        if (ret)
            return ErrorFromWimlib(ret, errno);
        fresh.reset(raw);
    }
    // Exports still to be written elsewhere read from the WIMStruct being replaced.
    handOverToExportTargets(w);
    w.wim = std::move(fresh);
    // Nothing in the fresh WIMStruct refers to another WIM any more.
    dropExportSources(w);
    w.keepAlive.clear();
    // Pending changes were made against the file as first read; when it is not that file
    // any more, they must not be committed over what another writer put there.
    if (keepPending && previous.valid && !sameContent(previous, w.identity))
        w.identity.valid = false;
    rebuildView(w);
    w.dirty = false;
    w.bootDirty = false;
    if (!keepPending)
        return ERROR_SUCCESS;
    return putBackPending(w, pendingImages, pendingDirty, bootDirty, bootIndex);
}

void reloadAfterFailure(WimHandle& w)
{
    if (const DWORD error = reloadWim(w, true))
        w.lostState = error;
}

DWORD commitWim(WimHandle& w, int extraWriteFlags)
{
    if (w.lostState)
        return w.lostState;
    if (!w.onDisk)
        return writeStage(w, extraWriteFlags);
    return commitExisting(w, extraWriteFlags);
}

namespace {

// Puts a new WIM's temporary file in place of the target. A file that is replaced is gone
// once the rename is on disk: the new one must be there before. A new name loses nothing,
// and is not worth a wait for the disk.
DWORD renameStageOverTarget(WimHandle& w)
{
    if (::access(w.path.c_str(), F_OK) == 0) {
        int error = 0;
        const UniqueFd stage = openRegularFile(w.stagePath, O_RDONLY, error);
        if (!stage)
            return ErrorFromErrnoForFile(error, w.stagePath);
        if (::fsync(stage.get()) != 0)
            return ErrorFromErrno(errno);
    }
    if (::rename(w.stagePath.c_str(), w.path.c_str()) != 0)
        return ErrorFromErrno(errno);
    w.stagePath.clear();
    w.onDisk = true;
    (void)syncFolder(folderOf(w.path));
    return ERROR_SUCCESS;
}

} // namespace

DWORD finishWim(WimHandle& w)
{
    w.closing = true;
    if (w.onDisk)
        return w.dirty || !w.pending.empty() ? commitPending(w) : ERROR_SUCCESS;
    // A new WIM exists once a capture or export wrote into it; nothing else makes a file
    // (a failed capture or export never leaves an empty WIM behind). A stage whose handle
    // lost its state may not hold what was asked for: it never takes the target's place.
    if (w.stagePath.empty())
        return ERROR_SUCCESS;
    DWORD error = w.lostState;
    if (!error && (w.dirty || !w.pending.empty()))
        error = commitPending(w);
    if (!error)
        error = renameStageOverTarget(w);
    if (error)
        dropStage(w);
    return error;
}

} // namespace imaging

using namespace imaging;

// ---- calls ----------------------------------------------------------------------------------
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

namespace {

// The handle a WIMCreateFile call describes, before anything is opened.
std::unique_ptr<WimHandle> describeHandle(LPCWSTR wimPath, DWORD desiredAccess,
                                          DWORD flagsAndAttributes, DWORD compressionType)
{
    auto w = std::make_unique<WimHandle>();
    std::error_code ec;
    std::string given = std::filesystem::absolute(toUtf8(wimPath), ec).lexically_normal().string();
    if (ec)
        given = toUtf8(wimPath);
    w->path16 = fromUtf8(given);
    // A symbolic link is read and written where it points, and stays a link.
    w->path = resolveLinks(given);
    w->writable = (desiredAccess & GENERIC_WRITE) != 0;
    w->verify = (flagsAndAttributes & WIM_FLAG_VERIFY) != 0;
    w->openFlags = flagsAndAttributes;
    w->compression = static_cast<int>(compressionType);
    return w;
}

// A new WIM in place of whatever is at w.path (`existing` when something is): it is written
// by the first capture or export, or when the handle is closed, so it is made sure now that
// it can be.
DWORD startNewWim(WimHandle& w, const struct stat* existing)
{
    if (!w.writable)
        return ERROR_ACCESS_DENIED;
    const std::string parent = std::filesystem::path(w.path).parent_path().string();
    if (::access(parent.c_str(), W_OK | X_OK) != 0)
        return ErrorFromErrnoForFolder(errno);
    if (existing && ((existing->st_mode & 0222) == 0 || isImmutable(w.path)))
        return ERROR_ACCESS_DENIED;
    w.onDisk = false;
    return reloadWim(w, false);
}

DWORD openExistingWim(WimHandle& w, const struct stat& st)
{
    if (w.writable) {
        // A file without write permission is read-only, as the platform's read-only
        // attribute is, also for the administrator.
        if ((st.st_mode & 0222) == 0)
            return ERROR_ACCESS_DENIED;
        if (::access(w.path.c_str(), W_OK) != 0)
            return errno == EROFS ? ERROR_WRITE_PROTECT : ERROR_ACCESS_DENIED;
        if (isImmutable(w.path))
            return ERROR_ACCESS_DENIED;
        // A commit of this program that ended half way is undone first; only a handle
        // that may write does so.
        examineUndoRecord(w.path, true);
    }
    w.onDisk = true;
    if (!headerIsPlausible(w.path))
        return ERROR_FILE_CORRUPT;
    if (const DWORD error = reloadWim(w, false))
        return error;
    wimlib_wim_info info{};
    if (const int ret = wimlib_get_wim_info(w.wim.get(), &info))
        return ErrorFromWimlib(ret, errno);
    w.compression = info.compression_type;
    return ERROR_SUCCESS;
}

} // namespace

HANDLE WIMCreateFile(LPCWSTR wimPath, DWORD desiredAccess, DWORD creationDisposition,
                     DWORD flagsAndAttributes, DWORD compressionType, DWORD* creationResult)
{
    if (!wimPath || !*wimPath) {
        SetLastError(wimPath ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (creationDisposition < CREATE_NEW || creationDisposition > OPEN_ALWAYS ||
        compressionType > WIM_COMPRESS_LZX + 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::unique_ptr<WimHandle> w =
        describeHandle(wimPath, desiredAccess, flagsAndAttributes, compressionType);

    // Only a regular file is a WIM. Nothing else is ever opened: a FIFO would block the open.
    struct stat st {};
    const bool exists = ::stat(w->path.c_str(), &st) == 0;
    const int statErr = exists ? 0 : errno;
    DWORD error = ERROR_SUCCESS;
    if (!exists && (statErr != ENOENT || creationDisposition == OPEN_EXISTING))
        error = ErrorFromErrnoForFile(statErr, w->path);
    else if (exists && !S_ISREG(st.st_mode))
        error = ERROR_ACCESS_DENIED;
    else if (exists && creationDisposition == CREATE_NEW)
        error = ERROR_FILE_EXISTS;
    if (error) {
        SetLastError(error);
        return nullptr;
    }
    const bool create = creationDisposition == CREATE_ALWAYS || creationDisposition == CREATE_NEW ||
                        (creationDisposition == OPEN_ALWAYS && !exists);
    error = create ? startNewWim(*w, exists ? &st : nullptr) : openExistingWim(*w, st);
    if (error) {
        SetLastError(error);
        return nullptr;
    }
    if (creationResult)
        *creationResult = create ? WIM_CREATED_NEW : WIM_OPENED_EXISTING;
    WimHandle* h = w.release();
    addLive(h, HandleKind::Wim);
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL WIMCloseHandle(HANDLE object)
{
    const std::optional<HandleKind> kind = removeLive(object);
    if (!kind)
        return fail(ERROR_INVALID_HANDLE);
    if (*kind == HandleKind::Image) {
        const std::unique_ptr<ImageHandle> img(static_cast<ImageHandle*>(object));
        if (img->owner) {
            auto& list = img->owner->openImages;
            list.erase(std::remove(list.begin(), list.end(), img.get()), list.end());
        }
        return TRUE;
    }
    const std::unique_ptr<WimHandle> w(static_cast<WimHandle*>(object));
    for (ImageHandle* img : w->openImages)
        img->owner = nullptr;
    w->openImages.clear();

    const DWORD error = w->writable ? finishWim(*w) : ERROR_SUCCESS;
    handOverToExportTargets(*w);
    dropExportSources(*w);
    return error ? fail(error) : TRUE;
}

BOOL WIMSetTemporaryPath(HANDLE wim, LPCWSTR path)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!path || !*path)
        return fail(ERROR_INVALID_PARAMETER);
    const std::string dir = toUtf8(path);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        return fail(ErrorFromErrnoForFolder(errno));
    if (!S_ISDIR(st.st_mode))
        return fail(ERROR_DIRECTORY);
    // Prove the folder takes a file, as the library would need it to.
    std::string probe = dir + "/.pelloric-probe-XXXXXX";
    const UniqueFd fd(mkostemp(probe.data(), O_CLOEXEC));
    if (!fd) {
        const int err = errno;
        return fail(err == EEXIST ? ERROR_ACCESS_DENIED : ErrorFromErrno(err));
    }
    unlink(probe.c_str());
    w->tempPath = path;
    return TRUE;
}

BOOL WIMGetAttributes(HANDLE wim, WIM_INFO* wimInfo, DWORD cbWimInfo)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!wimInfo)
        return fail(ERROR_INVALID_PARAMETER);
    if (cbWimInfo < sizeof(WIM_INFO))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    wimlib_wim_info info{};
    if (const int ret = wimlib_get_wim_info(w->wim.get(), &info))
        return fail(ErrorFromWimlib(ret, errno));
    std::memset(wimInfo, 0, sizeof(WIM_INFO));
    wstrCopy(wimInfo->WimPath, MAX_PATH, reinterpret_cast<LPCWSTR>(w->path16.c_str()));
    static_assert(sizeof(GUID) == WIMLIB_GUID_LEN);
    std::memcpy(&wimInfo->Guid, info.guid, sizeof(GUID));
    wimInfo->ImageCount = info.image_count;
    wimInfo->CompressionType = static_cast<DWORD>(info.compression_type);
    wimInfo->PartNumber = info.part_number;
    wimInfo->TotalParts = info.total_parts;
    wimInfo->BootIndex = info.boot_index;
    DWORD attributes = 0;
    if (info.resource_only)
        attributes |= WIM_ATTRIBUTE_RESOURCE_ONLY;
    if (info.metadata_only)
        attributes |= WIM_ATTRIBUTE_METADATA_ONLY;
    if (info.has_integrity_table)
        attributes |= WIM_ATTRIBUTE_VERIFY_DATA;
    if (info.has_rpfix)
        attributes |= WIM_ATTRIBUTE_RP_FIX;
    if (info.spanned)
        attributes |= WIM_ATTRIBUTE_SPANNED;
    if (info.is_marked_readonly)
        attributes |= WIM_ATTRIBUTE_READONLY;
    if (info.wim_version == 0xE00) // toolbox: solid resources (ESD), libwim's WIM_VERSION_SOLID
        attributes |= WIM_ATTRIBUTE_SOLID;
    wimInfo->WimAttributes = attributes;
    wimInfo->WimFlagsAndAttr = w->openFlags;
    return TRUE;
}

HANDLE WIMLoadImage(HANDLE wim, DWORD imageIndex)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return nullptr;
    if (imageIndex < 1 || imageIndex > w->images.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // libwim reads an image's metadata when something first needs it; read it now, so that
    // a damaged image fails here, with libwim's cause, and not in a later call.
    const int ret = wimlib_iterate_dir_tree(
        w->wim.get(), static_cast<int>(imageIndex), "", 0,
        [](const wimlib_dir_entry*, void*) { return 0; }, nullptr);
    if (ret) {
        SetLastError(ErrorFromWimlib(ret, errno));
        return nullptr;
    }
    return registerImage(w, static_cast<int>(imageIndex));
}

DWORD WIMGetImageCount(HANDLE wim)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return 0;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(w->images.size());
}

BOOL WIMSetBootImage(HANDLE wim, DWORD imageIndex)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!w->writable)
        return fail(ERROR_ACCESS_DENIED);
    if (imageIndex > w->images.size())
        return fail(ERROR_INVALID_PARAMETER);
    wimlib_wim_info info{};
    info.boot_index = imageIndex;
    if (const int ret = wimlib_set_wim_info(w->wim.get(), &info, WIMLIB_CHANGE_BOOT_INDEX))
        return fail(ErrorFromWimlib(ret, errno));
    w->dirty = true;
    w->bootDirty = true;
    return TRUE;
}

BOOL WIMDeleteImage(HANDLE wim, DWORD imageIndex)
{
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!w->writable)
        return fail(ERROR_ACCESS_DENIED);
    if (imageIndex < 1 || imageIndex > w->images.size())
        return fail(ERROR_INVALID_PARAMETER);
    const int index = static_cast<int>(imageIndex);
    for (const ImageHandle* img : w->openImages)
        if (img->index == index)
            return fail(ERROR_BUSY);
    if (const int ret = wimlib_delete_image(w->wim.get(), index)) {
        const DWORD error = ErrorFromWimlib(ret, errno);
        reloadAfterFailure(*w);
        return fail(error);
    }
    w->imagesChanged = true;
    if (w->onDisk) {
        // Only the image's metadata and XML go; the file's data stays where it is.
        if (const DWORD error = commitWim(*w, WIMLIB_WRITE_FLAG_SOFT_DELETE))
            return fail(error);
    } else {
        w->images.erase(w->images.begin() + (index - 1));
        w->imageDirty.erase(w->imageDirty.begin() + (index - 1));
        w->dirty = true;
    }
    for (ImageHandle* img : w->openImages)
        if (img->index > index)
            --img->index;
    return TRUE;
}

BOOL WIMGetImageInformation(HANDLE object, PVOID* imageInfo, DWORD* cbImageInfo)
{
    if (!imageInfo || !cbImageInfo)
        return fail(ERROR_INVALID_PARAMETER);
    QString text(QChar(0xFEFF));
    if (isLive(object, HandleKind::Image)) {
        ImageHandle* img = lookupLiveImage(object);
        if (!img)
            return FALSE;
        const QString index = QString::number(img->index);
        serializeXml(img->owner->images[img->index - 1], text, &index);
    } else {
        WimHandle* w = lookupWim(object);
        if (!w)
            return FALSE;
        text += wimInformationText(*w);
    }
    const std::size_t bytes = static_cast<std::size_t>(text.size()) * sizeof(WCHAR);
    // One terminator beyond the reported size, for callers that read up to a NUL.
    void* buffer = LocalAlloc(LPTR, bytes + sizeof(WCHAR));
    if (!buffer)
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(buffer, text.utf16(), bytes);
    *imageInfo = buffer;
    *cbImageInfo = static_cast<DWORD>(bytes);
    return TRUE;
}

BOOL WIMSetImageInformation(HANDLE image, PVOID imageInfo, DWORD cbImageInfo)
{
    ImageHandle* img = lookupLiveImage(image);
    if (!img)
        return FALSE;
    if (!imageInfo || cbImageInfo < 2 * sizeof(WCHAR))
        return fail(ERROR_INVALID_PARAMETER);
    WimHandle& w = *img->owner;
    if (!w.writable)
        return fail(ERROR_ACCESS_DENIED);
    XmlElem given;
    if (!parseXml(fromUtf16Le(imageInfo, cbImageInfo), given))
        return fail(ERROR_INVALID_DATA);

    // Only what changed is written; the view then shows what libwim holds. The top element's
    // own name and attributes stay as they are.
    XmlElem& current = w.images[img->index - 1];
    const std::vector<XmlElem> want =
        withMaintainedElements(current.children, std::move(given.children));
    bool changed = false;
    if (const int ret =
            syncImageElements(w.wim.get(), img->index, current.children, want, &changed))
        return fail(ErrorFromWimlib(ret, errno));
    if (changed) {
        w.imageDirty[img->index - 1] = true;
        w.dirty = true;
    }
    return TRUE;
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

namespace imaging {

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
    appendUtf8(text_, text.c_str());
    send(message, reinterpret_cast<WPARAM>(text_.c_str()), 0);
}

} // namespace imaging
