#include "WimFile.h"

#include "FileAccess.h"
#include "FileIo.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

namespace imaging {
namespace {

constexpr std::size_t kBlobEntrySize = 50; // resource header, part number, count, SHA-1
constexpr std::uint8_t kResourceMetadata = 0x02;
constexpr std::uint64_t kSolidBlockMagic = 0x100000000ULL;
// No real blob table comes near this; a header claiming more is not read.
constexpr std::uint64_t kMaxBlobTable = std::uint64_t(1) << 30;

std::uint64_t readLe(const unsigned char* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void writeLe(unsigned char* p, std::uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

WimResource readResource(const unsigned char* p)
{
    WimResource r;
    r.storedSize = readLe(p, 7);
    r.flags = p[7];
    r.offset = readLe(p + 8, 8);
    r.originalSize = readLe(p + 16, 8);
    return r;
}

void writeResource(unsigned char* p, const WimResource& r)
{
    writeLe(p, r.storedSize, 7);
    p[7] = r.flags;
    writeLe(p + 8, r.offset, 8);
    writeLe(p + 16, r.originalSize, 8);
}

} // namespace

WimHeader parseWimHeader(const unsigned char* bytes)
{
    WimHeader h;
    h.magic = std::memcmp(bytes, "MSWIM\0\0\0", 8) == 0;
    h.flags = static_cast<std::uint32_t>(readLe(bytes + 16, 4));
    h.partNumber = static_cast<std::uint16_t>(readLe(bytes + 40, 2));
    h.totalParts = static_cast<std::uint16_t>(readLe(bytes + 42, 2));
    h.imageCount = static_cast<std::uint32_t>(readLe(bytes + 44, 4));
    h.blobTable = readResource(bytes + 48);
    h.xml = readResource(bytes + 72);
    h.bootMetadata = readResource(bytes + 96);
    h.bootIndex = static_cast<std::uint32_t>(readLe(bytes + 120, 4));
    h.integrity = readResource(bytes + 124);
    return h;
}

void encodeWimHeader(const WimHeader& h, unsigned char* bytes)
{
    writeLe(bytes + 16, h.flags, 4);
    writeLe(bytes + 40, h.partNumber, 2);
    writeLe(bytes + 42, h.totalParts, 2);
    writeLe(bytes + 44, h.imageCount, 4);
    writeResource(bytes + 48, h.blobTable);
    writeResource(bytes + 72, h.xml);
    writeResource(bytes + 96, h.bootMetadata);
    writeLe(bytes + 120, h.bootIndex, 4);
    writeResource(bytes + 124, h.integrity);
}

std::uint64_t headerTablesEnd(const WimHeader& h)
{
    std::uint64_t end = kWimHeaderSize;
    for (const WimResource* r : {&h.blobTable, &h.xml, &h.bootMetadata, &h.integrity})
        if (r->present())
            end = std::max(end, r->end());
    return end;
}

BlobTableScan scanBlobTable(int fd, const WimHeader& header, std::uint64_t fileSize)
{
    BlobTableScan scan;
    const WimResource& table = header.blobTable;
    scan.resourcesEnd = table.present() ? table.end() : kWimHeaderSize;
    if (!table.present()) {
        scan.known = true;
        return scan;
    }
    if ((table.flags & kResourceCompressed) || table.storedSize > kMaxBlobTable ||
        table.end() > fileSize || table.end() < table.offset)
        return scan;
    std::vector<unsigned char> bytes(table.storedSize);
    if (!readAll(fd, bytes.data(), bytes.size(), static_cast<off_t>(table.offset)))
        return scan;
    for (std::size_t at = 0; at + kBlobEntrySize <= bytes.size(); at += kBlobEntrySize) {
        const unsigned char* e = bytes.data() + at;
        const WimResource r = readResource(e);
        const auto part = static_cast<std::uint16_t>(readLe(e + 24, 2));
        if (part != header.partNumber && header.totalParts > 1)
            continue; // another part's data
        // A blob inside a solid block is placed within the block, not within the file.
        const bool inBlock = (r.flags & kResourceSolid) && r.originalSize != kSolidBlockMagic;
        if (!inBlock)
            scan.resourcesEnd = std::max(scan.resourcesEnd, r.end());
        if (r.flags & kResourceMetadata)
            scan.metadata.push_back(r);
    }
    scan.known = true;
    return scan;
}

std::uint64_t referencedEnd(int fd, const WimHeader& header, std::uint64_t fileSize)
{
    const BlobTableScan scan = scanBlobTable(fd, header, fileSize);
    if (!scan.known)
        return fileSize;
    return std::max(headerTablesEnd(header), scan.resourcesEnd);
}

std::vector<unsigned char> makeIntegrityTable(int fd, std::uint64_t end)
{
    const std::uint64_t covered = end > kWimHeaderSize ? end - kWimHeaderSize : 0;
    const std::uint64_t chunks = (covered + kIntegrityChunkSize - 1) / kIntegrityChunkSize;
    std::vector<unsigned char> table(12 + 20 * chunks);
    writeLe(table.data(), table.size(), 4);
    writeLe(table.data() + 4, chunks, 4);
    writeLe(table.data() + 8, kIntegrityChunkSize, 4);
    std::vector<char> buffer(kIntegrityChunkSize);
    for (std::uint64_t i = 0; i < chunks; ++i) {
        const std::uint64_t from = kWimHeaderSize + i * kIntegrityChunkSize;
        const auto size = static_cast<std::size_t>(std::min(kIntegrityChunkSize, end - from));
        if (!readAll(fd, buffer.data(), size, static_cast<off_t>(from)))
            return {};
        const QByteArray sha1 = QCryptographicHash::hash(
            QByteArrayView(buffer.data(), static_cast<qsizetype>(size)), QCryptographicHash::Sha1);
        std::memcpy(table.data() + 12 + 20 * i, sha1.constData(), 20);
    }
    return table;
}

bool digestRange(int fd, off_t from, off_t to, unsigned char* out)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::vector<char> buf(1 << 20);
    for (off_t at = from; at < to;) {
        const auto want =
            static_cast<std::size_t>(std::min<off_t>(to - at, static_cast<off_t>(buf.size())));
        if (!readAll(fd, buf.data(), want, at))
            return false;
        hash.addData(QByteArrayView(buf.data(), static_cast<qsizetype>(want)));
        at += static_cast<off_t>(want);
    }
    const QByteArray result = hash.result();
    std::memcpy(out, result.constData(), static_cast<std::size_t>(result.size()));
    return true;
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
    // writes, which can leave the header as it was.
    const WimResource blobTable = parseWimHeader(id.header.data()).blobTable;
    std::uint64_t start = blobTable.offset ? blobTable.end() : headerBytes;
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

} // namespace imaging
