// The identity of a WIM file as libwim read it, and the undo record of a commit to an
// existing file: what the commit may leave behind when it stops half way, and how a later
// open puts the file back.
#include "FileIo.h"
#include "ImagingInternal.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dirent.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace imaging {
namespace {

constexpr char kRecordMagic[8] = {'P', 'L', 'R', 'C', 'U', 'N', 'D', 'O'};
constexpr std::uint32_t kRecordVersion = 2;
constexpr std::size_t kDigestSize = 32;
// magic, version, reserved, size, tail start, tail digest, header, checksum
constexpr std::size_t kRecordBody = 8 + 4 + 4 + 8 + 8 + kDigestSize + kWimHeaderSize;
constexpr std::size_t kRecordSize = kRecordBody + kDigestSize;

std::uint64_t readLe(const unsigned char* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void putLe(std::vector<unsigned char>& out, std::uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

std::string recordPath(const std::string& wimPath)
{
    return wimPath + ".pelloric-undo";
}

// SHA-256 of bytes [from, to) of the file.
bool digestRange(int fd, off_t from, off_t to, unsigned char* out)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::vector<char> buf(1 << 20);
    for (off_t at = from; at < to;) {
        const auto want = static_cast<std::size_t>(std::min<off_t>(to - at, static_cast<off_t>(buf.size())));
        if (!readAll(fd, buf.data(), want, at))
            return false;
        hash.addData(QByteArrayView(buf.data(), static_cast<qsizetype>(want)));
        at += static_cast<off_t>(want);
    }
    const QByteArray result = hash.result();
    std::memcpy(out, result.constData(), kDigestSize);
    return true;
}

// The contents of an undo record.
struct RecordData {
    off_t size = 0;
    off_t tailStart = 0;
    unsigned char tailDigest[kDigestSize] = {};
    unsigned char header[kWimHeaderSize] = {};
};

std::vector<unsigned char> encodeRecord(const FileIdentity& before)
{
    std::vector<unsigned char> bytes(kRecordMagic, kRecordMagic + sizeof kRecordMagic);
    putLe(bytes, kRecordVersion, 4);
    putLe(bytes, 0, 4);
    putLe(bytes, static_cast<std::uint64_t>(before.size), 8);
    putLe(bytes, static_cast<std::uint64_t>(before.tailStart), 8);
    bytes.insert(bytes.end(), before.tailDigest.begin(), before.tailDigest.end());
    bytes.insert(bytes.end(), before.header.begin(), before.header.end());
    const QByteArray sum = QCryptographicHash::hash(
        QByteArrayView(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())),
        QCryptographicHash::Sha256);
    bytes.insert(bytes.end(), sum.begin(), sum.end());
    return bytes;
}

bool decodeRecord(int fd, RecordData& r)
{
    struct stat st {};
    unsigned char bytes[kRecordSize];
    if (::fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(kRecordSize) ||
        !readAll(fd, bytes, kRecordSize, 0) ||
        std::memcmp(bytes, kRecordMagic, sizeof kRecordMagic) != 0 ||
        readLe(bytes + 8, 4) != kRecordVersion)
        return false;
    const QByteArray sum = QCryptographicHash::hash(
        QByteArrayView(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(kRecordBody)),
        QCryptographicHash::Sha256);
    if (std::memcmp(sum.constData(), bytes + kRecordBody, kDigestSize) != 0)
        return false;
    r.size = static_cast<off_t>(readLe(bytes + 16, 8));
    r.tailStart = static_cast<off_t>(readLe(bytes + 24, 8));
    std::memcpy(r.tailDigest, bytes + 32, kDigestSize);
    std::memcpy(r.header, bytes + 32 + kDigestSize, kWimHeaderSize);
    return r.size >= static_cast<off_t>(kWimHeaderSize) && r.tailStart >= 0 &&
           r.tailStart <= r.size;
}

RecordData recordOf(const FileIdentity& id)
{
    RecordData r;
    r.size = id.size;
    r.tailStart = id.tailStart;
    std::memcpy(r.tailDigest, id.tailDigest.data(), kDigestSize);
    std::memcpy(r.header, id.header.data(), kWimHeaderSize);
    return r;
}

// Where the file stands against a commit that started from the recorded state. A commit
// through libwim's append path leaves the bytes before the old end alone except for the
// header's write-in-progress flag, and ends by writing the new header; so while the
// header is the recorded one (that flag aside) and the old bytes are still there, the file
// is the old file, possibly with the flag set and unreferenced bytes after its end.
enum class FileState { Before, Between, Other };

FileState classify(int fd, const RecordData& r)
{
    struct stat st {};
    unsigned char header[kWimHeaderSize];
    if (::fstat(fd, &st) != 0 || st.st_size < r.size || !readAll(fd, header, kWimHeaderSize, 0))
        return FileState::Other;
    bool sameHeader = true;
    for (std::size_t i = 0; i < kWimHeaderSize && sameHeader; ++i) {
        unsigned char mask = 0xFF;
        if (i == 16)
            mask = static_cast<unsigned char>(~kWimFlagWriteInProgress);
        sameHeader = (header[i] & mask) == (r.header[i] & mask);
    }
    if (!sameHeader)
        return FileState::Other;
    unsigned char digest[kDigestSize];
    if (!digestRange(fd, r.tailStart, r.size, digest) ||
        std::memcmp(digest, r.tailDigest, kDigestSize) != 0)
        return FileState::Other;
    if (st.st_size == r.size && std::memcmp(header, r.header, kWimHeaderSize) == 0)
        return FileState::Before;
    return FileState::Between;
}

// Puts a file that classify() found Between back to the recorded state: the length first,
// then the header, flushed; true when it then reads as the recorded state.
bool restore(int fd, const RecordData& r)
{
    if (::ftruncate(fd, r.size) != 0 || writeAll(fd, r.header, kWimHeaderSize, 0) != 0 ||
        ::fsync(fd) != 0)
        return false;
    return classify(fd, r) == FileState::Before;
}

bool opensAsWim(const std::string& path)
{
    WIMStruct* raw = nullptr;
    const int ret = wimlib_open_wim(path.c_str(), 0, &raw);
    const WimPtr probe(raw);
    return ret == 0;
}

// Unlinks the record at its name when that name still holds the file open as fd.
void unlinkRecord(const std::string& path, int fd)
{
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
        ::unlink(path.c_str()); // should it come back after a crash, it is stale by then
}

} // namespace

WimHeader parseWimHeader(const unsigned char* bytes)
{
    const auto entry = [bytes](int at) {
        WimResourceEntry e;
        e.storedSize = readLe(bytes + at, 7);
        e.offset = readLe(bytes + at + 8, 8);
        e.originalSize = readLe(bytes + at + 16, 8);
        return e;
    };
    WimHeader h;
    h.magic = std::memcmp(bytes, "MSWIM\0\0\0", 8) == 0;
    h.flags = static_cast<std::uint32_t>(readLe(bytes + 16, 4));
    h.imageCount = static_cast<std::uint32_t>(readLe(bytes + 44, 4));
    h.blobTable = entry(48);
    h.xml = entry(72);
    h.integrity = entry(124);
    return h;
}

bool readIdentity(int fd, FileIdentity& id)
{
    id = FileIdentity{};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    const std::size_t headerBytes =
        std::min<std::size_t>(kWimHeaderSize, static_cast<std::size_t>(st.st_size));
    if (!readAll(fd, id.header.data(), headerBytes, 0))
        return false;
    // Everything after the blob table: the XML and integrity table an information commit
    // rewrites where they stand, which can leave the header as it was.
    const WimResourceEntry blobTable = parseWimHeader(id.header.data()).blobTable;
    std::uint64_t start = blobTable.offset ? blobTable.offset + blobTable.storedSize : headerBytes;
    if (start < headerBytes || start > static_cast<std::uint64_t>(st.st_size))
        start = headerBytes;
    id.tailStart = static_cast<off_t>(start);
    if (!digestRange(fd, id.tailStart, id.size, id.tailDigest.data()))
        return false;
    id.valid = true;
    return true;
}

bool identityOfPath(const std::string& path, FileIdentity& id)
{
    int error = 0;
    const UniqueFd fd = openRegularFile(path, O_RDONLY, error);
    if (!fd) {
        id = FileIdentity{};
        return false;
    }
    return readIdentity(fd.get(), id);
}

bool sameContent(const FileIdentity& a, const FileIdentity& b)
{
    return a.valid && b.valid && a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.tailStart == b.tailStart && a.header == b.header && a.tailDigest == b.tailDigest;
}

bool sameState(const FileIdentity& a, const FileIdentity& b)
{
    return sameContent(a, b) && a.mtime.tv_sec == b.mtime.tv_sec &&
           a.mtime.tv_nsec == b.mtime.tv_nsec;
}

int createUndoRecord(const std::string& wimPath, const FileIdentity& before, UndoRecord& out)
{
    const std::string finalName = recordPath(wimPath);
    const std::vector<unsigned char> bytes = encodeRecord(before);
    // Written whole under a name of its own first (O_EXCL never follows a link), then linked
    // to the record's name, which fails on any entry there, links included: the record's
    // name never shows a partial record and is never written through.
    std::string tmp = finalName + ".XXXXXX";
    UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd)
        return errno;
    int err = 0;
    // The lock tells other processes that this commit is still running.
    if (::fchmod(fd.get(), 0600) != 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        err = errno;
    if (!err)
        err = writeAll(fd.get(), bytes.data(), bytes.size(), 0);
    if (!err && ::fsync(fd.get()) != 0)
        err = errno;
    if (!err && ::link(tmp.c_str(), finalName.c_str()) != 0)
        err = errno;
    ::unlink(tmp.c_str());
    if (err)
        return err;
    syncFolder(folderOf(finalName));
    out.fd = std::move(fd);
    out.path = finalName;
    return 0;
}

void removeUndoRecord(UndoRecord& record)
{
    if (!record.fd)
        return;
    unlinkRecord(record.path, record.fd.get());
    record.fd.reset();
}

void keepUndoRecord(UndoRecord& record)
{
    record.fd.reset();
}

bool undoOwnCommit(const std::string& wimPath, const FileIdentity& before)
{
    int error = 0;
    const UniqueFd fd = openRegularFile(wimPath, O_RDWR, error);
    if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return false;
    const RecordData r = recordOf(before);
    switch (classify(fd.get(), r)) {
    case FileState::Before:
        return true;
    case FileState::Between:
        return restore(fd.get(), r);
    case FileState::Other:
        break;
    }
    return false;
}

namespace {

// Opens the record at `path` and takes its lock, unless it is not the entry `named`
// describes (it changed meanwhile: Kept) or another process's commit holds it (Busy).
RecoveryResult lockRecord(const std::string& path, const struct stat& named, UniqueFd& out)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat held {};
    if (!fd || ::fstat(fd.get(), &held) != 0 || held.st_dev != named.st_dev ||
        held.st_ino != named.st_ino)
        return RecoveryResult::Kept;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return RecoveryResult::Busy;
    out = std::move(fd);
    return RecoveryResult::None;
}

// Puts the file back from a record that no running commit holds (locked as recordFd), or
// finds it stale; the record goes (while the file's lock is still held) unless it is Kept.
RecoveryResult recoverFromRecord(const std::string& wimPath, const RecordData& r,
                                 const std::string& recordFile, int recordFd)
{
    int error = 0;
    const UniqueFd wfd = openRegularFile(wimPath, O_RDWR, error);
    if (!wfd)
        return RecoveryResult::Kept;
    if (::flock(wfd.get(), LOCK_EX | LOCK_NB) != 0) {
        // Someone is writing the file now; its state is theirs until they are done.
        return RecoveryResult::Busy;
    }
    RecoveryResult result = RecoveryResult::Kept;
    switch (classify(wfd.get(), r)) {
    case FileState::Before:
        result = RecoveryResult::Removed;
        break;
    case FileState::Between:
        if (restore(wfd.get(), r) && opensAsWim(wimPath))
            result = RecoveryResult::Restored;
        break;
    case FileState::Other:
        // A state this record does not know: a later commit, or another file. The record
        // is stale when the file opens as a WIM; otherwise it is left for a look by hand.
        if (opensAsWim(wimPath))
            result = RecoveryResult::Removed;
        break;
    }
    if (result != RecoveryResult::Kept)
        unlinkRecord(recordFile, recordFd);
    return result;
}

} // namespace

RecoveryResult examineUndoRecord(const std::string& wimPath, bool mayWrite)
{
    const std::string path = recordPath(wimPath);
    struct stat named {};
    if (::lstat(path.c_str(), &named) != 0)
        return RecoveryResult::None;
    if (!mayWrite)
        return RecoveryResult::Kept;
    if (!S_ISREG(named.st_mode)) {
        // A link or anything else at that name is no record of ours: never followed.
        ::unlink(path.c_str());
        return RecoveryResult::Removed;
    }
    UniqueFd record;
    if (const RecoveryResult locked = lockRecord(path, named, record);
        locked != RecoveryResult::None)
        return locked;
    RecordData r;
    if (!decodeRecord(record.get(), r)) {
        unlinkRecord(path, record.get());
        return RecoveryResult::Removed;
    }
    return recoverFromRecord(wimPath, r, path, record.get());
}

int findLibraryDescriptor(const std::vector<int>& before, const std::vector<int>& after,
                          dev_t device, ino_t inode)
{
    int found = -1;
    for (int fd : after) {
        if (std::find(before.begin(), before.end(), fd) != before.end())
            continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == device &&
            st.st_ino == inode) {
            if (found >= 0)
                return -1; // more than one: no guess
            found = fd;
        }
    }
    return found;
}

std::vector<int> openDescriptors()
{
    std::vector<int> fds;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc/self/fd"), ::closedir);
    if (!dir)
        return fds;
    const int own = ::dirfd(dir.get());
    while (const dirent* e = ::readdir(dir.get())) {
        char* end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && fd != own)
            fds.push_back(static_cast<int>(fd));
    }
    return fds;
}

} // namespace imaging
