// The layer's own write of image information and the boot index into an existing WIM file
// (mechanism 2 of ImagingCommit.h for PendingState::Information). The new XML and integrity
// table go to bytes that nothing the header or the blob table refers to, are flushed, and
// then the header is written once: a reader at any moment, a kill at any moment, leaves the
// old file or the new one. Where the space the XML of an earlier edit left behind takes the
// new one, the file is cut after the header is written, so edits do not grow it.
#include "ImagingInformationWrite.h"

#include "FileIo.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace imaging {
namespace {

constexpr std::uint8_t kXmlResourceFlags = 0x02; // as libwim and Windows write it
// No real integrity table comes near this; a header claiming more is not copied.
constexpr std::uint64_t kMaxIntegrityTable = std::uint64_t(1) << 26;

std::vector<unsigned char> utf16Bytes(const QString& text)
{
    std::vector<unsigned char> bytes;
    bytes.reserve(2 + 2 * static_cast<std::size_t>(text.size()));
    bytes.push_back(0xFF);
    bytes.push_back(0xFE);
    for (const QChar c : text) {
        bytes.push_back(static_cast<unsigned char>(c.unicode() & 0xFF));
        bytes.push_back(static_cast<unsigned char>(c.unicode() >> 8));
    }
    return bytes;
}

// The integrity table the new file carries: the old one where there is one (it covers the
// bytes up to the blob table's end, which this write leaves alone), a new one when the
// handle asks for it, else none. False when the old one cannot be read or a new one made.
bool integrityTable(const WimHandle& w, const WimHeader& header, std::vector<unsigned char>& out)
{
    out.clear();
    if (header.integrity.present()) {
        const WimResource& t = header.integrity;
        if (t.storedSize > kMaxIntegrityTable ||
            t.end() > static_cast<std::uint64_t>(w.identity.size))
            return false;
        out.resize(t.storedSize);
        return readAll(w.fd.get(), out.data(), out.size(), static_cast<off_t>(t.offset));
    }
    if (!w.verify || !header.blobTable.present())
        return true;
    out = makeIntegrityTable(w.fd.get(), header.blobTable.end());
    return !out.empty();
}

// Where the new tables go: the space between the end of everything but the XML and
// integrity table and the first of those (what an earlier edit left there), when it is
// large enough; else after the end of the file.
struct Placement {
    std::uint64_t offset = 0;
    bool inGap = false;
};
Placement place(const WimHeader& header, const BlobTableScan& scan, std::uint64_t fileSize,
                std::uint64_t need)
{
    std::uint64_t gapStart = std::max<std::uint64_t>(kWimHeaderSize, scan.resourcesEnd);
    if (header.blobTable.present())
        gapStart = std::max(gapStart, header.blobTable.end());
    if (header.bootMetadata.present())
        gapStart = std::max(gapStart, header.bootMetadata.end());
    std::uint64_t gapEnd = fileSize;
    for (const WimResource* r : {&header.xml, &header.integrity})
        if (r->present())
            gapEnd = std::min(gapEnd, r->offset);
    if (scan.known && gapEnd >= gapStart && gapEnd - gapStart >= need && gapEnd < fileSize)
        return {gapStart, true};
    return {fileSize, false};
}

// The new header: the XML and integrity table where `at` puts them, the boot index when it
// changed, libwim's write-in-progress flag cleared.
DWORD newHeader(const WimHandle& w, const BlobTableScan& scan, std::uint64_t at,
                std::uint64_t xmlSize, std::uint64_t integritySize, WimHeaderBytes& out)
{
    out = w.identity.header;
    WimHeader h = parseWimHeader(out.data());
    h.flags &= ~kWimFlagWriteInProgress;
    const std::uint8_t xmlFlags = h.xml.present() ? h.xml.flags : kXmlResourceFlags;
    h.xml = WimResource{xmlSize, xmlFlags, at, xmlSize};
    if (integritySize) {
        const std::uint8_t flags = h.integrity.present() ? h.integrity.flags : 0;
        h.integrity = WimResource{integritySize, flags, at + xmlSize, integritySize};
    } else {
        h.integrity = WimResource{};
    }
    if (w.pending.bootIndex) {
        wimlib_wim_info info{};
        if (wimlib_get_wim_info(w.wim.get(), &info) != 0)
            return ERROR_GEN_FAILURE;
        h.bootIndex = info.boot_index;
        h.bootMetadata = WimResource{};
        if (info.boot_index > 0) {
            // The boot image's metadata is the boot index's metadata resource of the table.
            if (!scan.known || info.boot_index > scan.metadata.size())
                return ERROR_NOT_SUPPORTED;
            h.bootMetadata = scan.metadata[info.boot_index - 1];
        }
    }
    encodeWimHeader(h, out.data());
    return ERROR_SUCCESS;
}

// Writes `data` at `at`; on failure puts back what was there (or cuts what was added), so a
// failed write leaves the file as it was. 0 or errno.
int writeOrPutBack(int fd, const std::vector<unsigned char>& data, std::uint64_t at,
                   std::uint64_t fileSize)
{
    std::vector<unsigned char> old;
    if (at < fileSize) {
        old.resize(static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), fileSize - at)));
        if (!readAll(fd, old.data(), old.size(), static_cast<off_t>(at)))
            return EIO;
    }
    int err = writeAll(fd, data.data(), data.size(), static_cast<off_t>(at));
    if (!err && ::fdatasync(fd) != 0)
        err = errno;
    if (err) {
        if (!old.empty())
            (void)writeAll(fd, old.data(), old.size(), static_cast<off_t>(at));
        (void)::ftruncate(fd, static_cast<off_t>(fileSize));
    }
    return err;
}

} // namespace

DWORD writeInformation(WimHandle& w, int fd, bool& replaced)
{
    replaced = false;
    const auto fileSize = static_cast<std::uint64_t>(w.identity.size);
    const WimHeader header = parseWimHeader(w.identity.header.data());
    const BlobTableScan scan = scanBlobTable(fd, header, fileSize);
    std::vector<unsigned char> integrity;
    if (!integrityTable(w, header, integrity))
        return ERROR_FILE_CORRUPT;

    // The XML names its own offset (TOTALBYTES), so it is placed until its size settles.
    Placement where{fileSize, false};
    std::vector<unsigned char> data;
    for (int round = 0; round < 3; ++round) {
        data = utf16Bytes(informationToWrite(w, where.offset));
        const Placement next = place(header, scan, fileSize, data.size() + integrity.size());
        if (next.offset == where.offset)
            break;
        where = next;
    }
    const std::uint64_t xmlSize = data.size();
    data.insert(data.end(), integrity.begin(), integrity.end());

    WimHeaderBytes headerBytes{};
    if (const DWORD error = newHeader(w, scan, where.offset, xmlSize, integrity.size(), headerBytes))
        return error;
    if (const int err = writeOrPutBack(fd, data, where.offset, fileSize))
        return ErrorFromErrno(err);
    // The one write that switches readers from the old tables to the new ones. Should it, or
    // its flush, fail, the old header goes back: its tables are all still in place.
    int err = writeAll(fd, headerBytes.data(), kWimHeaderSize, 0);
    if (!err && ::fdatasync(fd) != 0)
        err = errno;
    if (err) {
        (void)writeAll(fd, w.identity.header.data(), kWimHeaderSize, 0);
        (void)::ftruncate(fd, static_cast<off_t>(fileSize));
        (void)::fdatasync(fd);
        return ErrorFromErrno(err);
    }
    // Only the file that was checked was written; when the path names another one now, the
    // change did not reach the file the caller meant.
    if (!pathNamesFile(w.path, fd)) {
        replaced = true;
        return ERROR_SHARING_VIOLATION;
    }
    // What the old tables took after the new ones is referred to by nothing any more.
    if (where.inGap && ::ftruncate(fd, static_cast<off_t>(where.offset + data.size())) == 0)
        (void)::fsync(fd);
    return ERROR_SUCCESS;
}

} // namespace imaging
