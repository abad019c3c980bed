#include "ImagingUndo.h"

#include "FileAccess.h"
#include "FileIo.h"
#include "ImagingInternal.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

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
constexpr std::size_t kFlagsOffset = 16; // of the header's flags word, whose low byte holds it

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

QByteArray sha256(const unsigned char* bytes, std::size_t size)
{
    return QCryptographicHash::hash(
        QByteArrayView(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(size)),
        QCryptographicHash::Sha256);
}

// The contents of an undo record.
struct RecordData {
    off_t size = 0;
    off_t tailStart = 0;
    unsigned char tailDigest[kDigestSize] = {};
    WimHeaderBytes header{};
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
    const QByteArray sum = sha256(bytes.data(), bytes.size());
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
    if (std::memcmp(sha256(bytes, kRecordBody).constData(), bytes + kRecordBody, kDigestSize) != 0)
        return false;
    r.size = static_cast<off_t>(readLe(bytes + 16, 8));
    r.tailStart = static_cast<off_t>(readLe(bytes + 24, 8));
    std::memcpy(r.tailDigest, bytes + 32, kDigestSize);
    std::memcpy(r.header.data(), bytes + 32 + kDigestSize, kWimHeaderSize);
    return r.size >= static_cast<off_t>(kWimHeaderSize) && r.tailStart >= 0 &&
           r.tailStart <= r.size;
}

RecordData recordOf(const FileIdentity& id)
{
    RecordData r;
    r.size = id.size;
    r.tailStart = id.tailStart;
    std::memcpy(r.tailDigest, id.tailDigest.data(), kDigestSize);
    r.header = id.header;
    return r;
}

// Where the file stands against a write that started from the recorded state. libwim's
// append path leaves the bytes before the old end alone but for the header's
// write-in-progress flag, which it sets first, and ends by writing the new header.
enum class FileState {
    Before,   // exactly the recorded state
    Trailing, // the recorded header, with bytes past the recorded end
    Between,  // the recorded header with the write-in-progress flag set
    Other,    // anything else: a later write, or another file
};

FileState classify(int fd, const RecordData& r)
{
    struct stat st {};
    WimHeaderBytes header{};
    if (::fstat(fd, &st) != 0 || st.st_size < r.size ||
        !readAll(fd, header.data(), kWimHeaderSize, 0))
        return FileState::Other;
    for (std::size_t i = 0; i < kWimHeaderSize; ++i) {
        const unsigned char mask =
            i == kFlagsOffset ? static_cast<unsigned char>(~kWimFlagWriteInProgress) : 0xFF;
        if ((header[i] & mask) != (r.header[i] & mask))
            return FileState::Other;
    }
    unsigned char digest[kDigestSize];
    if (!digestRange(fd, r.tailStart, r.size, digest) ||
        std::memcmp(digest, r.tailDigest, kDigestSize) != 0)
        return FileState::Other;
    if (header != r.header)
        return (header[kFlagsOffset] & kWimFlagWriteInProgress) ? FileState::Between
                                                                : FileState::Other;
    return st.st_size == r.size ? FileState::Before : FileState::Trailing;
}

// Puts a Between or Trailing file back: the recorded header where the flag was set, and the
// length cut to the recorded size, but never below the end of what that header refers to.
// True when the file then is exactly the recorded state.
bool restore(int fd, const RecordData& r, FileState state)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    const WimHeader recorded = parseWimHeader(r.header.data());
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t keep =
        std::max(static_cast<std::uint64_t>(r.size), referencedEnd(fd, recorded, fileSize));
    if (keep < fileSize && ::ftruncate(fd, static_cast<off_t>(keep)) != 0)
        return false;
    if (state == FileState::Between && writeAll(fd, r.header.data(), kWimHeaderSize, 0) != 0)
        return false;
    if (::fsync(fd) != 0)
        return false;
    return classify(fd, r) == FileState::Before;
}

bool grantsNoMoreThanTheWim(const struct stat& record, const struct stat& wim)
{
    if (record.st_uid != ::geteuid() && record.st_uid != wim.st_uid)
        return false;
    // Write access for others that the WIM itself does not give would let them decide what
    // a restore does to a file they cannot write. File systems without Unix modes give every
    // file the same access, so a record there grants nothing the WIM does not.
    return (record.st_mode & 022 & ~wim.st_mode) == 0;
}

} // namespace

std::string undoRecordPath(const std::string& wimPath)
{
    return wimPath + ".pelloric-undo";
}

namespace {

// Writes the record's bytes, flushed, into fd and takes the record's lock: 0 or errno.
int fillRecord(int fd, const std::vector<unsigned char>& bytes)
{
    // File systems without Unix modes refuse or ignore the mode; the record is usable anyway.
    (void)::fchmod(fd, 0600);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno;
    if (const int err = writeAll(fd, bytes.data(), bytes.size(), 0))
        return err;
    return ::fsync(fd) == 0 ? 0 : errno;
}

// Hard links are refused by file systems that have none (exFAT and FAT32 say EPERM).
bool noHardLinks(int err)
{
    return err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EMLINK;
}

} // namespace

int createUndoRecord(const std::string& wimPath, const FileIdentity& before, UndoRecord& out)
{
    const std::string name = undoRecordPath(wimPath);
    const std::vector<unsigned char> bytes = encodeRecord(before);
    // Written whole under a name of its own (O_EXCL never follows a link), then linked to the
    // record's name, which fails on any entry there: the name never shows a partial record.
    std::string tmp = name + ".XXXXXX";
    UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd)
        return errno;
    int err = fillRecord(fd.get(), bytes);
    if (!err && ::link(tmp.c_str(), name.c_str()) != 0)
        err = errno;
    ::unlink(tmp.c_str());
    if (err && noHardLinks(err)) {
        // Made at its name at once; a partial record left by a crash fails its checksum and
        // is found stale.
        fd.reset(::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        err = fd ? fillRecord(fd.get(), bytes) : errno;
        if (err && fd)
            ::unlink(name.c_str());
    }
    if (err)
        return err;
    (void)syncFolder(folderOf(name));
    out.fd = std::move(fd);
    out.path = name;
    return 0;
}

void removeUndoRecord(UndoRecord& record)
{
    if (!record.fd)
        return;
    if (pathNamesFile(record.path, record.fd.get()))
        ::unlink(record.path.c_str()); // should it come back after a crash, it is stale by then
    record.fd.reset();
}

void keepUndoRecord(UndoRecord& record)
{
    record.fd.reset();
}

bool undoOwnWrite(int wimFd, const FileIdentity& before)
{
    if (::flock(wimFd, LOCK_EX | LOCK_NB) != 0)
        return false;
    const RecordData r = recordOf(before);
    const FileState state = classify(wimFd, r);
    const bool back =
        state == FileState::Before || (state != FileState::Other && restore(wimFd, r, state));
    ::flock(wimFd, LOCK_UN);
    return back;
}

namespace {

// Puts the file back from a record that no running write holds, or finds it stale; the
// record goes (while the file's lock is still held) unless it is Kept.
RecoveryResult recoverFromRecord(const std::string& wimPath, int wimFd, const RecordData& r,
                                 const std::string& recordFile, int recordFd)
{
    RecoveryResult result = RecoveryResult::Kept;
    const FileState state = classify(wimFd, r);
    const bool restored =
        state != FileState::Before && state != FileState::Other && restore(wimFd, r, state);
    // The file is as the record says, or was put back so; any other state is one this record
    // does not know (a later write, another file) or could not bring back exactly (a record
    // claiming less than the file's header refers to): the record is stale when the file
    // opens, else it is left for a look by hand.
    if (state == FileState::Before)
        result = RecoveryResult::Removed;
    else if (opensAsWim(wimPath) == ERROR_SUCCESS)
        result = restored ? RecoveryResult::Restored : RecoveryResult::Removed;
    if (result != RecoveryResult::Kept && pathNamesFile(recordFile, recordFd))
        ::unlink(recordFile.c_str());
    return result;
}

} // namespace

RecoveryResult examineUndoRecord(const std::string& wimPath, bool mayWrite)
{
    const std::string path = undoRecordPath(wimPath);
    struct stat named {};
    if (::lstat(path.c_str(), &named) != 0)
        return RecoveryResult::None;
    if (!S_ISREG(named.st_mode))
        return RecoveryResult::NotAFile;
    if (!mayWrite)
        return RecoveryResult::Kept;
    int error = 0;
    struct stat wimStat {};
    const UniqueFd wfd = openRegularFile(wimPath, O_RDWR, error, &wimStat);
    if (!wfd)
        return RecoveryResult::Kept;
    UniqueFd record(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat held {};
    if (!record || ::fstat(record.get(), &held) != 0 || held.st_dev != named.st_dev ||
        held.st_ino != named.st_ino)
        return RecoveryResult::Kept; // it changed meanwhile
    if (!grantsNoMoreThanTheWim(held, wimStat))
        return RecoveryResult::Untrusted;
    // A running write holds its record's lock; someone writing the file holds the file's.
    if (::flock(record.get(), LOCK_EX | LOCK_NB) != 0 || ::flock(wfd.get(), LOCK_EX | LOCK_NB) != 0)
        return RecoveryResult::Busy;
    RecordData r;
    if (!decodeRecord(record.get(), r)) {
        if (pathNamesFile(path, record.get()))
            ::unlink(path.c_str());
        return RecoveryResult::Removed;
    }
    return recoverFromRecord(wimPath, wfd.get(), r, path, record.get());
}

} // namespace imaging
