// Undo records for libwim's in-place commits: the bytes of an existing WIM file that such a
// commit may change, kept in memory and in a journal file beside the WIM until the commit
// is known to be complete.
#include "ImagingInternal.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace imaging {
namespace {

// The parts of an existing file that libwim's in-place overwrite may change: the header,
// and everything from the end of the blob table on (the XML and the integrity table, which
// an information-only commit rewrites where they stand, and the end where appends go).
constexpr std::size_t kWimHeaderSize = 208;
constexpr off_t kMaxTail = 64 << 20;
constexpr std::uint32_t kWriteInProgress = 0x40; // header flag while libwim writes
constexpr char kJournalMagic[8] = {'P', 'L', 'R', 'C', 'U', 'N', 'D', 'O'};

std::uint64_t readLe(const unsigned char* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void putLe(std::vector<unsigned char>& out, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

bool readAll(int fd, void* buf, std::size_t size, off_t offset)
{
    auto* p = static_cast<unsigned char*>(buf);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, p + done, size - done, offset + static_cast<off_t>(done));
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const unsigned char* data, std::size_t size, off_t offset)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string journalPath(const std::string& path)
{
    return path + ".pelloric-undo";
}

void syncFolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

FileSnapshot takeSnapshot(const std::string& path)
{
    FileSnapshot snap;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return snap;
    struct stat st {};
    snap.header.resize(kWimHeaderSize);
    if (::fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(kWimHeaderSize) &&
        readAll(fd, snap.header.data(), kWimHeaderSize, 0)) {
        // Blob table resource header at byte 48: 7 bytes size, 1 byte flags, 8 bytes offset.
        const std::uint64_t tableSize = readLe(&snap.header[48], 7);
        const std::uint64_t tableOffset = readLe(&snap.header[56], 8);
        std::uint64_t start = tableOffset ? tableOffset + tableSize : kWimHeaderSize;
        if (start < kWimHeaderSize || start > static_cast<std::uint64_t>(st.st_size))
            start = static_cast<std::uint64_t>(st.st_size);
        if (st.st_size - static_cast<off_t>(start) <= kMaxTail) {
            snap.tailStart = static_cast<off_t>(start);
            snap.tail.resize(static_cast<std::size_t>(st.st_size - snap.tailStart));
            if (readAll(fd, snap.tail.data(), snap.tail.size(), snap.tailStart)) {
                snap.taken = true;
                snap.device = st.st_dev;
                snap.inode = st.st_ino;
                snap.size = st.st_size;
            }
        }
    }
    ::close(fd);
    return snap;
}

void restoreSnapshot(const std::string& path, const FileSnapshot& snap, bool sameFileOnly)
{
    if (!snap.taken)
        return;
    const int saved = errno;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {};
        const bool same = ::fstat(fd, &st) == 0 &&
                          (!sameFileOnly || (st.st_dev == snap.device && st.st_ino == snap.inode));
        // The length is cut back first, so rewriting the old bytes needs no new space.
        if (same && ::ftruncate(fd, snap.size) == 0 &&
            writeAll(fd, snap.tail.data(), snap.tail.size(), snap.tailStart) &&
            writeAll(fd, snap.header.data(), snap.header.size(), 0))
            ::fsync(fd);
        ::close(fd);
    }
    errno = saved;
}

int writeJournal(const std::string& path, const FileSnapshot& snap)
{
    std::vector<unsigned char> bytes(kJournalMagic, kJournalMagic + sizeof kJournalMagic);
    putLe(bytes, static_cast<std::uint64_t>(snap.size));
    putLe(bytes, static_cast<std::uint64_t>(snap.tailStart));
    putLe(bytes, snap.tail.size());
    bytes.insert(bytes.end(), snap.header.begin(), snap.header.end());
    bytes.insert(bytes.end(), snap.tail.begin(), snap.tail.end());
    const std::string jp = journalPath(path);
    const int saved = errno;
    // The lock tells another process's recovery that this commit is still running.
    const int fd = ::open(jp.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::ftruncate(fd, 0) == 0 &&
              writeAll(fd, bytes.data(), bytes.size(), 0) && ::fsync(fd) == 0;
    if (ok) {
        syncFolderOf(jp);
    } else if (fd >= 0) {
        ::close(fd);
    }
    errno = saved;
    return ok ? fd : -1;
}

void removeJournal(const std::string& path, int journal)
{
    const int saved = errno;
    ::unlink(journalPath(path).c_str());
    if (journal >= 0)
        ::close(journal);
    errno = saved;
}

bool recoverInterruptedCommit(const std::string& path)
{
    const std::string jp = journalPath(path);
    const int jfd = ::open(jp.c_str(), O_RDWR | O_CLOEXEC);
    if (jfd < 0)
        return false;
    if (::flock(jfd, LOCK_EX | LOCK_NB) != 0) {
        // Another process is in the middle of that commit.
        ::close(jfd);
        return false;
    }
    FileSnapshot snap;
    bool valid = false;
    struct stat jst {};
    unsigned char head[8 + 24];
    if (::fstat(jfd, &jst) == 0 && readAll(jfd, head, sizeof head, 0) &&
        std::memcmp(head, kJournalMagic, sizeof kJournalMagic) == 0) {
        snap.size = static_cast<off_t>(readLe(head + 8, 8));
        snap.tailStart = static_cast<off_t>(readLe(head + 16, 8));
        const std::uint64_t tailSize = readLe(head + 24, 8);
        const std::uint64_t expected = sizeof head + kWimHeaderSize + tailSize;
        if (tailSize <= static_cast<std::uint64_t>(kMaxTail) &&
            static_cast<std::uint64_t>(jst.st_size) == expected && snap.tailStart >= 0 &&
            static_cast<std::uint64_t>(snap.tailStart) + tailSize ==
                static_cast<std::uint64_t>(snap.size)) {
            snap.header.resize(kWimHeaderSize);
            snap.tail.resize(tailSize);
            valid = readAll(jfd, snap.header.data(), kWimHeaderSize, sizeof head) &&
                    readAll(jfd, snap.tail.data(), snap.tail.size(),
                            static_cast<off_t>(sizeof head + kWimHeaderSize));
        }
    }

    bool restored = false;
    if (valid) {
        // Restore only the file the journal was made for (same GUID, bytes 24 to 40) and only
        // when its commit did not finish: libwim's in-progress flag is still set, or the file
        // no longer opens.
        unsigned char current[kWimHeaderSize];
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const bool haveHeader = fd >= 0 && readAll(fd, current, kWimHeaderSize, 0);
        if (fd >= 0)
            ::close(fd);
        if (haveHeader && std::memcmp(current + 24, snap.header.data() + 24, 16) == 0) {
            const auto flags = static_cast<std::uint32_t>(readLe(current + 16, 4));
            bool unfinished = (flags & kWriteInProgress) != 0;
            if (!unfinished) {
                WIMStruct* raw = nullptr;
                unfinished = wimlib_open_wim(path.c_str(), 0, &raw) != 0;
                const WimPtr probe(raw);
            }
            if (unfinished) {
                snap.taken = true;
                restoreSnapshot(path, snap, false);
                restored = true;
            }
        }
    }
    ::unlink(jp.c_str());
    ::close(jfd);
    return restored;
}

} // namespace imaging
