// WIM files and images: handles, opening, attributes, image information, boot index,
// deleting images and the message callback registry.
#include "Imaging.h"

#include "ImagingInternal.h"
#include "Kernel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <unordered_set>

#include <climits>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace imaging {
namespace {

std::mutex gHandleMutex;
std::unordered_set<const void*> gLiveHandles;

void addLive(const void* h)
{
    std::lock_guard lock(gHandleMutex);
    gLiveHandles.insert(h);
}

bool removeLive(const void* h)
{
    std::lock_guard lock(gHandleMutex);
    return gLiveHandles.erase(h) != 0;
}

bool isLive(const void* h)
{
    std::lock_guard lock(gHandleMutex);
    return h && gLiveHandles.count(h) != 0;
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
int openWimFile(WimHandle& w, WIMStruct** out)
{
    const std::string& file = w.filePath();
    const bool track = w.writable && w.stagePath.empty();
    for (int attempt = 0;; ++attempt) {
        FileIdentity before;
        if (track)
            identityOfPath(file, before);
        std::vector<int> fdsBefore;
        std::vector<int> fdsAfter;
        WIMStruct* raw = nullptr;
        int ret;
        {
            // Only opens that look for libwim's descriptor wait for each other (an open that
            // checks the integrity table can take long); another open of the same file
            // meanwhile only leaves the descriptor unknown.
            std::unique_lock lock(gOpenMutex, std::defer_lock);
            if (track) {
                lock.lock();
                fdsBefore = openDescriptors();
            }
            errno = 0;
            ret = wimlib_open_wim(file.c_str(), openFlags(w), &raw);
            if (track && !ret)
                fdsAfter = openDescriptors();
        }
        if (ret)
            return ret;
        w.identity = FileIdentity{};
        w.libraryFd = -1;
        if (!track) {
            *out = raw;
            return 0;
        }
        FileIdentity after;
        identityOfPath(file, after);
        if (sameState(before, after) || attempt == 2) {
            if (sameState(before, after)) {
                w.identity = after;
                w.libraryFd =
                    findLibraryDescriptor(fdsBefore, fdsAfter, after.device, after.inode);
            }
            *out = raw;
            return 0;
        }
        wimlib_free(raw);
    }
}

// Writes a new WIM to its temporary file in the target's folder: the whole WIM the first
// time, in place afterwards (the file is nobody else's). The target itself is replaced
// only when the handle is closed.
int writeStage(WimHandle& w, int extraWriteFlags)
{
    errno = 0;
    int ret;
    if (w.stagePath.empty()) {
        std::string tmp = w.path + ".pelloric-XXXXXX";
        std::vector<char> name(tmp.begin(), tmp.end());
        name.push_back('\0');
        const int fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0)
            return WIMLIB_ERR_OPEN;
        fchmod(fd, 0644);
        tmp.assign(name.data());
        // Written through the descriptor just created: reopening the file by name would
        // truncate it, which makes some file systems flush the whole file when it is closed.
        ret = wimlib_write_to_fd(w.wim.get(), fd, WIMLIB_ALL_IMAGES, writeFlags(w), 0);
        if (::close(fd) != 0 && !ret)
            ret = WIMLIB_ERR_WRITE;
        if (ret) {
            const int saved = errno;
            unlink(tmp.c_str());
            errno = saved;
        } else {
            w.stagePath = tmp;
        }
    } else {
        ret = wimlib_overwrite(w.wim.get(), writeFlags(w) | extraWriteFlags, 0);
    }
    const int saved = errno;
    if (ret) {
        reloadWim(w, true);
    } else {
        // Everything libwim held is in the file now. Its copy (the whole tree of a capture)
        // goes before the file is read back, so that the two are never in memory at once.
        WIMStruct* blank = nullptr;
        if (wimlib_create_new_wim(static_cast<wimlib_compression_type>(w.compression),
                                  &blank) == 0) {
            handOverToExportTargets(w);
            w.wim.reset(blank);
        }
        ret = reloadWim(w, false);
        if (ret)
            ret = WIMLIB_ERR_WRITE;
    }
    errno = saved;
    return ret;
}

} // namespace

void dropStage(WimHandle& w)
{
    if (!w.stagePath.empty()) {
        const int saved = errno;
        unlink(w.stagePath.c_str());
        w.stagePath.clear();
        errno = saved;
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
struct CommitLock {
    int fd = -1;
    bool own = false;
    dev_t device = 0;
    ino_t inode = 0;
    ~CommitLock() { release(); }
    void release()
    {
        if (fd < 0)
            return;
        if (own) {
            ::close(fd); // releases the lock
        } else {
            // libwim's descriptor, unless libwim closed it meanwhile (a rebuilt file).
            struct stat st {};
            if (::fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode)
                ::flock(fd, LOCK_UN);
        }
        fd = -1;
    }
};

int opensAsWim(const WimHandle& w)
{
    WIMStruct* raw = nullptr;
    const int ret = wimlib_open_wim(w.path.c_str(), openFlags(w) & ~WIMLIB_OPEN_FLAG_WRITE_ACCESS,
                                    &raw);
    wimlib_free(raw);
    return ret;
}

int commitExisting(WimHandle& w, int extraWriteFlags)
{
    if (!w.identity.valid)
        return WIMLIB_ERR_CONCURRENT_MODIFICATION_DETECTED;
    UndoRecord record;
    int err = createUndoRecord(w.path, w.identity, record);
    if (err == EEXIST) {
        // A record is there: another commit of this program runs (its record is locked),
        // or one ended half way; the look at it may put the file back or remove it.
        if (examineUndoRecord(w.path, true) == RecoveryResult::Busy)
            return WIMLIB_ERR_ALREADY_LOCKED;
        err = createUndoRecord(w.path, w.identity, record);
        if (err == EEXIST)
            return WIMLIB_ERR_ALREADY_LOCKED;
    }
    if (err) {
        errno = err;
        return WIMLIB_ERR_WRITE;
    }

    CommitLock lock;
    struct stat st {};
    if (w.libraryFd >= 0 && ::fstat(w.libraryFd, &st) == 0 && st.st_dev == w.identity.device &&
        st.st_ino == w.identity.inode) {
        lock.fd = w.libraryFd;
        lock.device = st.st_dev;
        lock.inode = st.st_ino;
    } else {
        int error = 0;
        lock.fd = openRegularFile(w.path, O_RDONLY, &error);
        lock.own = true;
    }
    FileIdentity now;
    if (lock.fd < 0 || ::flock(lock.fd, LOCK_EX | LOCK_NB) != 0) {
        if (lock.own && lock.fd >= 0)
            ::close(lock.fd);
        lock.fd = -1;
        removeUndoRecord(record);
        return WIMLIB_ERR_ALREADY_LOCKED;
    }
    if (!identityOfPath(w.path, now) || !sameState(now, w.identity)) {
        lock.release();
        removeUndoRecord(record);
        return WIMLIB_ERR_CONCURRENT_MODIFICATION_DETECTED;
    }
    if (lock.own)
        lock.release();

    int ret = useAppendPath(w);
    errno = 0;
    if (!ret)
        ret = wimlib_overwrite(w.wim.get(),
                               writeFlags(w) | extraWriteFlags | WIMLIB_WRITE_FLAG_SOFT_DELETE, 0);
    int saved = errno;
    lock.release();
    if (ret == WIMLIB_ERR_ALREADY_LOCKED) {
        // Someone else holds the file: libwim wrote nothing, and neither do we.
        removeUndoRecord(record);
        reloadWim(w, true);
        errno = saved;
        return ret;
    }
    const FileIdentity before = w.identity;
    if (!ret) {
        // A write libwim reported as done must also read back. A handle being closed only
        // needs to know that; an open one goes on with the file as now written.
        if (!(w.closing ? opensAsWim(w) : reloadWim(w, false))) {
            removeUndoRecord(record);
            return 0;
        }
        ret = WIMLIB_ERR_WRITE;
        saved = 0;
    }
    if (undoOwnCommit(w.path, before))
        removeUndoRecord(record);
    else
        keepUndoRecord(record);
    reloadWim(w, true);
    errno = saved;
    return ret;
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
    const int fd = openRegularFile(path, O_RDONLY, &error);
    if (fd < 0)
        return false;
    int flags = 0;
    const bool locked =
        ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL));
    ::close(fd);
    if (locked)
        errno = EPERM;
    return locked;
}

// Refuses a file whose header describes tables that cannot be there: past the end of the
// file, or larger than any real WIM's tables. libwim would try to allocate what such a
// header claims before noticing.
bool headerIsPlausible(const std::string& path)
{
    int error = 0;
    const int fd = openRegularFile(path, O_RDONLY, &error);
    if (fd < 0)
        return true; // libwim reports the open failure itself
    unsigned char h[208];
    struct stat st {};
    const bool read = ::fstat(fd, &st) == 0 && ::pread(fd, h, sizeof h, 0) == sizeof h;
    ::close(fd);
    if (!read || std::memcmp(h, "MSWIM\0\0\0", 8) != 0)
        return true; // short files and other formats are libwim's to judge
    auto le = [&](int at, int bytes) {
        std::uint64_t v = 0;
        for (int i = bytes - 1; i >= 0; --i)
            v = (v << 8) | h[at + i];
        return v;
    };
    constexpr std::uint64_t kMaxTable = std::uint64_t(1) << 30;
    constexpr std::uint64_t kMaxImages = std::uint64_t(1) << 20;
    if (le(44, 4) > kMaxImages)
        return false;
    // Resource headers: blob table at 48, XML at 72, integrity table at 124.
    for (int at : {48, 72, 124}) {
        const std::uint64_t stored = le(at, 7);
        const std::uint64_t offset = le(at + 8, 8);
        const std::uint64_t original = le(at + 16, 8);
        if (offset == 0 && stored == 0)
            continue;
        if (offset > static_cast<std::uint64_t>(st.st_size) ||
            stored > static_cast<std::uint64_t>(st.st_size) - offset || original > kMaxTable)
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
    if (!isLive(h) || static_cast<WimHandle*>(h)->magic != kWimMagic) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<WimHandle*>(h);
}

ImageHandle* lookupImage(HANDLE h)
{
    if (!isLive(h) || static_cast<ImageHandle*>(h)->magic != kImageMagic) {
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
    addLive(img);
    return img;
}

// ---- errors -------------------------------------------------------------------------------
DWORD errorFromWimlib(int code, int savedErrno)
{
    switch (code) {
    case WIMLIB_ERR_SUCCESS:
        return ERROR_SUCCESS;
    case WIMLIB_ERR_ABORTED_BY_PROGRESS:
        return ERROR_REQUEST_ABORTED;
    case WIMLIB_ERR_NOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case WIMLIB_ERR_NOT_A_WIM_FILE:
    case WIMLIB_ERR_UNKNOWN_VERSION:
    case WIMLIB_ERR_INVALID_COMPRESSION_TYPE:
    case WIMLIB_ERR_INVALID_CHUNK_SIZE:
    case WIMLIB_ERR_INVALID_PIPABLE_WIM:
    case WIMLIB_ERR_NOT_PIPABLE:
        return ERROR_BAD_FORMAT;
    case WIMLIB_ERR_INTEGRITY:
    case WIMLIB_ERR_INVALID_RESOURCE_HASH:
        return ERROR_CRC;
    case WIMLIB_ERR_DECOMPRESSION:
    case WIMLIB_ERR_INVALID_HEADER:
    case WIMLIB_ERR_INVALID_INTEGRITY_TABLE:
    case WIMLIB_ERR_INVALID_LOOKUP_TABLE_ENTRY:
    case WIMLIB_ERR_INVALID_METADATA_RESOURCE:
    case WIMLIB_ERR_INVALID_PART_NUMBER:
    case WIMLIB_ERR_INVALID_REPARSE_DATA:
    case WIMLIB_ERR_INVALID_UTF16_STRING:
    case WIMLIB_ERR_METADATA_NOT_FOUND:
    case WIMLIB_ERR_RESOURCE_NOT_FOUND:
    case WIMLIB_ERR_UNEXPECTED_END_OF_FILE:
    case WIMLIB_ERR_XML:
    case WIMLIB_ERR_IMAGE_COUNT:
    case WIMLIB_ERR_WIM_IS_INCOMPLETE:
    case WIMLIB_ERR_INVALID_XATTR:
        return ERROR_FILE_CORRUPT;
    case WIMLIB_ERR_INVALID_IMAGE:
    case WIMLIB_ERR_INVALID_PARAM:
    case WIMLIB_ERR_INVALID_CAPTURE_CONFIG:
    case WIMLIB_ERR_INVALID_OVERLAY:
    case WIMLIB_ERR_UNICODE_STRING_NOT_REPRESENTABLE:
        return ERROR_INVALID_PARAMETER;
    case WIMLIB_ERR_IMAGE_NAME_COLLISION:
    case WIMLIB_ERR_DUPLICATE_EXPORTED_IMAGE:
        return ERROR_ALREADY_EXISTS;
    case WIMLIB_ERR_WIM_IS_READONLY:
        return savedErrno == EROFS ? ERROR_WRITE_PROTECT : ERROR_ACCESS_DENIED;
    case WIMLIB_ERR_INSUFFICIENT_PRIVILEGES:
        return ERROR_ACCESS_DENIED;
    case WIMLIB_ERR_IS_SPLIT_WIM:
    case WIMLIB_ERR_SPLIT_INVALID:
    case WIMLIB_ERR_UNSUPPORTED:
    case WIMLIB_ERR_UNSUPPORTED_FILE:
    case WIMLIB_ERR_WIM_IS_ENCRYPTED:
    case WIMLIB_ERR_COMPACTION_NOT_POSSIBLE:
    case WIMLIB_ERR_IMAGE_HAS_MULTIPLE_REFERENCES:
        return ERROR_NOT_SUPPORTED;
    case WIMLIB_ERR_NOTDIR:
        return ERROR_DIRECTORY;
    case WIMLIB_ERR_INVALID_UTF8_STRING:
        return ERROR_INVALID_NAME; // a file name the WIM format cannot hold
    case WIMLIB_ERR_IS_DIRECTORY:
    case WIMLIB_ERR_NOT_A_REGULAR_FILE:
        return ERROR_ACCESS_DENIED;
    case WIMLIB_ERR_PATH_DOES_NOT_EXIST:
        return ERROR_PATH_NOT_FOUND;
    case WIMLIB_ERR_NOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case WIMLIB_ERR_CONCURRENT_MODIFICATION_DETECTED:
    case WIMLIB_ERR_ALREADY_LOCKED:
        return ERROR_SHARING_VIOLATION;
    case WIMLIB_ERR_OPEN:
    case WIMLIB_ERR_OPENDIR:
    case WIMLIB_ERR_STAT:
    case WIMLIB_ERR_READ:
    case WIMLIB_ERR_READLINK:
    case WIMLIB_ERR_WRITE:
    case WIMLIB_ERR_RENAME:
    case WIMLIB_ERR_MKDIR:
    case WIMLIB_ERR_LINK:
    case WIMLIB_ERR_MKNOD:
    case WIMLIB_ERR_SET_ATTRIBUTES:
    case WIMLIB_ERR_SET_REPARSE_DATA:
    case WIMLIB_ERR_SET_SECURITY:
    case WIMLIB_ERR_SET_SHORT_NAME:
    case WIMLIB_ERR_SET_TIMESTAMPS:
    case WIMLIB_ERR_SET_XATTR:
        if (savedErrno != 0) {
            const DWORD mapped = ErrorFromErrno(savedErrno);
            if (mapped != ERROR_GEN_FAILURE)
                return mapped;
        }
        if (code == WIMLIB_ERR_READ)
            return ERROR_READ_FAULT;
        if (code == WIMLIB_ERR_WRITE)
            return ERROR_WRITE_FAULT;
        if (code == WIMLIB_ERR_OPEN || code == WIMLIB_ERR_OPENDIR)
            return ERROR_OPEN_FAILED;
        if (code == WIMLIB_ERR_MKDIR)
            return ERROR_CANNOT_MAKE;
        return ERROR_GEN_FAILURE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

BOOL failWimlib(int code, int savedErrno)
{
    SetLastError(errorFromWimlib(code, savedErrno));
    return FALSE;
}

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

int reloadWim(WimHandle& w, bool keepPending)
{
    std::vector<XmlElem> pendingImages;
    std::vector<bool> pendingDirty;
    wimlib_wim_info info{};
    if (keepPending) {
        pendingImages = w.images;
        pendingDirty = w.imageDirty;
        wimlib_get_wim_info(w.wim.get(), &info);
    }
    const bool bootDirty = keepPending && w.bootDirty;
    const FileIdentity previous = w.identity;

    WIMStruct* raw = nullptr;
    int ret;
    if (w.hasFile())
        ret = openWimFile(w, &raw);
    else
        ret = wimlib_create_new_wim(static_cast<wimlib_compression_type>(w.compression), &raw);
    if (ret)
        return ret;
    // Exports still to be written elsewhere read from the WIMStruct being replaced.
    handOverToExportTargets(w);
    w.wim.reset(raw);
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
        return 0;

    // Put back information changes of images that still exist, and the boot index.
    const std::size_t n = std::min(pendingImages.size(), w.images.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (!pendingDirty[i])
            continue;
        bool changed = false;
        const int ret =
            syncImageElements(w.wim.get(), static_cast<int>(i + 1), w.images[i].children,
                              pendingImages[i].children, &changed);
        w.imageDirty[i] = ret == 0 && changed;
        w.dirty = w.dirty || w.imageDirty[i];
    }
    if (bootDirty && info.boot_index <= w.images.size()) {
        wimlib_set_wim_info(w.wim.get(), &info, WIMLIB_CHANGE_BOOT_INDEX);
        w.bootDirty = true;
        w.dirty = true;
    }
    return 0;
}

int commitWim(WimHandle& w, int extraWriteFlags)
{
    errno = 0;
    if (!w.onDisk)
        return writeStage(w, extraWriteFlags);
    return commitExisting(w, extraWriteFlags);
}

int finishWim(WimHandle& w)
{
    int ret = 0;
    w.closing = true;
    if (w.onDisk) {
        if (w.dirty || !w.pending.empty())
            ret = commitPending(w);
        return ret;
    }
    // A new WIM exists once a capture or export wrote into it; nothing else makes a file
    // (a failed capture or export never leaves an empty WIM behind).
    if (w.stagePath.empty())
        return 0;
    if (w.dirty || !w.pending.empty()) {
        ret = commitPending(w);
    }
    // A file that is replaced is gone once the rename is on disk: the new one must be there
    // before. A new name loses nothing, and is not worth a wait for the disk.
    if (!ret && ::access(w.path.c_str(), F_OK) == 0) {
        int error = 0;
        const int fd = openRegularFile(w.stagePath, O_RDONLY, &error);
        if (fd < 0 || ::fsync(fd) != 0)
            ret = WIMLIB_ERR_WRITE;
        if (fd >= 0)
            ::close(fd);
    }
    if (!ret && ::rename(w.stagePath.c_str(), w.path.c_str()) != 0)
        ret = WIMLIB_ERR_RENAME;
    if (ret) {
        dropStage(w);
        return ret;
    }
    w.stagePath.clear();
    w.onDisk = true;
    const std::size_t slash = w.path.rfind('/');
    const std::string dir = slash == 0 ? std::string("/") : w.path.substr(0, slash);
    if (const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return 0;
}

} // namespace imaging

using namespace imaging;

// ---- calls ----------------------------------------------------------------------------------
void ImagingGlobalInit()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    wimlib_global_init(0);
    // libwim's error and warning texts reach the running call's message callback.
    static cookie_io_functions_t functions{nullptr, libraryWrite, nullptr, nullptr};
    if (FILE* stream = fopencookie(nullptr, "w", functions)) {
        setvbuf(stream, nullptr, _IOLBF, 0);
        wimlib_set_error_file(stream);
        wimlib_set_print_errors(true);
    }
}

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

    // Only a regular file is a WIM. Nothing else is ever opened: a FIFO would block the open.
    struct stat st {};
    const bool exists = ::stat(w->path.c_str(), &st) == 0;
    const int statErrno = exists ? 0 : errno;
    if (!exists && statErrno != ENOENT) {
        SetLastError(statErrno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(statErrno));
        return nullptr;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }

    const bool create = creationDisposition == CREATE_ALWAYS || creationDisposition == CREATE_NEW ||
                        (creationDisposition == OPEN_ALWAYS && !exists);
    if (creationDisposition == OPEN_EXISTING && !exists) {
        const std::string parent = std::filesystem::path(w->path).parent_path().string();
        SetLastError(::access(parent.c_str(), F_OK) == 0 ? ERROR_FILE_NOT_FOUND
                                                         : ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    if (creationDisposition == CREATE_NEW && exists) {
        SetLastError(ERROR_FILE_EXISTS);
        return nullptr;
    }

    if (create) {
        if (!w->writable) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        // The file is written by the first capture or export, or when the handle is closed;
        // make sure now that it can be.
        const std::string parent = std::filesystem::path(w->path).parent_path().string();
        if (::access(parent.c_str(), F_OK) != 0) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return nullptr;
        }
        if (::access(parent.c_str(), W_OK | X_OK) != 0) {
            SetLastError(ErrorFromErrno(errno));
            return nullptr;
        }
        if (exists && ((st.st_mode & 0222) == 0 || isImmutable(w->path))) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        w->onDisk = false;
        if (int ret = reloadWim(*w, false)) {
            failWimlib(ret, 0);
            return nullptr;
        }
        if (creationResult)
            *creationResult = WIM_CREATED_NEW;
    } else {
        if (w->writable) {
            // A file without write permission is read-only, as the platform's read-only
            // attribute is, also for the administrator.
            if ((st.st_mode & 0222) == 0) {
                SetLastError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
            if (::access(w->path.c_str(), W_OK) != 0 || isImmutable(w->path)) {
                SetLastError(errno == EROFS ? ERROR_WRITE_PROTECT : ERROR_ACCESS_DENIED);
                return nullptr;
            }
            // A commit of this program that ended half way is undone first; only a handle
            // that may write does so.
            examineUndoRecord(w->path, true);
        }
        w->onDisk = true;
        if (!headerIsPlausible(w->path)) {
            SetLastError(ERROR_FILE_CORRUPT);
            return nullptr;
        }
        errno = 0;
        if (int ret = reloadWim(*w, false)) {
            failWimlib(ret, errno);
            return nullptr;
        }
        wimlib_wim_info info{};
        wimlib_get_wim_info(w->wim.get(), &info);
        w->compression = info.compression_type;
        if (creationResult)
            *creationResult = WIM_OPENED_EXISTING;
    }
    WimHandle* h = w.release();
    addLive(h);
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL WIMCloseHandle(HANDLE object)
{
    if (isLive(object) && static_cast<ImageHandle*>(object)->magic == kImageMagic) {
        auto* img = static_cast<ImageHandle*>(object);
        removeLive(img);
        if (img->owner) {
            auto& list = img->owner->openImages;
            list.erase(std::remove(list.begin(), list.end(), img), list.end());
        }
        img->magic = 0;
        delete img;
        return TRUE;
    }
    WimHandle* w = lookupWim(object);
    if (!w)
        return FALSE;
    removeLive(w);
    std::unique_ptr<WimHandle> owned(w);
    for (ImageHandle* img : w->openImages)
        img->owner = nullptr;
    w->openImages.clear();

    errno = 0;
    const int ret = w->writable ? finishWim(*w) : 0;
    const int saved = errno;
    handOverToExportTargets(*w);
    dropExportSources(*w);
    w->magic = 0;
    if (ret)
        return failWimlib(ret, saved);
    return TRUE;
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
        return fail(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                        : ErrorFromErrno(errno));
    if (!S_ISDIR(st.st_mode))
        return fail(ERROR_DIRECTORY);
    // Prove the folder takes a file, as the library would need it to.
    std::string probe = dir + "/.pelloric-probe-XXXXXX";
    std::vector<char> name(probe.begin(), probe.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0)
        return fail(errno == EEXIST ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
    close(fd);
    unlink(name.data());
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
    if (int ret = wimlib_get_wim_info(w->wim.get(), &info))
        return failWimlib(ret, 0);
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
    errno = 0;
    const int ret = wimlib_iterate_dir_tree(
        w->wim.get(), static_cast<int>(imageIndex), "", 0,
        [](const wimlib_dir_entry*, void*) { return 0; }, nullptr);
    if (ret) {
        failWimlib(ret, errno);
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
    if (int ret = wimlib_set_wim_info(w->wim.get(), &info, WIMLIB_CHANGE_BOOT_INDEX))
        return failWimlib(ret, 0);
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
    errno = 0;
    int ret = wimlib_delete_image(w->wim.get(), index);
    if (ret) {
        const int saved = errno;
        reloadWim(*w, true);
        return failWimlib(ret, saved);
    }
    w->imagesChanged = true;
    if (w->onDisk) {
        // Only the image's metadata and XML go; the file's data stays where it is.
        ret = commitWim(*w, WIMLIB_WRITE_FLAG_SOFT_DELETE);
        if (ret)
            return failWimlib(ret, errno);
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
    if (isLive(object) && static_cast<ImageHandle*>(object)->magic == kImageMagic) {
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
    if (int ret = syncImageElements(w.wim.get(), img->index, current.children, want, &changed))
        return failWimlib(ret, 0);
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
