// What the imaging layer reads of a WIM file itself, below libwim: the fixed header, the
// ranges the header and the blob table refer to, the integrity table, and the identity of an
// open file. The commit path (ImagingCommit.h) writes and restores files with these.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace imaging {

// ---- the header -------------------------------------------------------------------------
inline constexpr std::size_t kWimHeaderSize = 208;
inline constexpr std::uint32_t kWimFlagWriteInProgress = 0x40; // set while libwim appends
inline constexpr std::uint64_t kIntegrityChunkSize = std::uint64_t{10} * 1024 * 1024;

// One resource header: a range of the file (size and offset), its flags and its size once
// expanded. On disk: 7 bytes of size, 1 byte of flags, 8 of offset, 8 of expanded size.
struct WimResource {
    std::uint64_t storedSize = 0;
    std::uint8_t flags = 0;
    std::uint64_t offset = 0;
    std::uint64_t originalSize = 0;

    bool present() const { return offset != 0 || storedSize != 0; }
    std::uint64_t end() const { return offset + storedSize; }
};
inline constexpr std::uint8_t kResourceCompressed = 0x04;
inline constexpr std::uint8_t kResourceSolid = 0x10;

using WimHeaderBytes = std::array<unsigned char, kWimHeaderSize>;

struct WimHeader {
    bool magic = false; // begins with "MSWIM\0\0\0"
    std::uint32_t flags = 0;
    std::uint16_t partNumber = 0;
    std::uint16_t totalParts = 0;
    std::uint32_t imageCount = 0;
    WimResource blobTable;
    WimResource xml;
    WimResource bootMetadata;
    std::uint32_t bootIndex = 0;
    WimResource integrity;
};
WimHeader parseWimHeader(const unsigned char* bytes);
// Writes the fields above into a header's bytes; the bytes it does not model stay as given.
void encodeWimHeader(const WimHeader& header, unsigned char* bytes);
// Where the header's own tables end: the largest end of blob table, XML, boot metadata and
// integrity table (the header's size when none is there).
std::uint64_t headerTablesEnd(const WimHeader& header);

// ---- what the blob table refers to --------------------------------------------------------
struct BlobTableScan {
    bool known = false; // false: the table could not be read (compressed, outside the file)
    // The largest end of any range of this file that an entry refers to (the blob table's end
    // when none lies beyond it).
    std::uint64_t resourcesEnd = 0;
    // The metadata resources of this part in table order; the n-th is image n's.
    std::vector<WimResource> metadata;
};
// Reads the blob table `header` names from the file open as fd, whose size is `fileSize`.
BlobTableScan scanBlobTable(int fd, const WimHeader& header, std::uint64_t fileSize);
// The end of everything `header` refers to in the file: its tables and every resource of its
// blob table. When the blob table cannot be read, the file's whole size.
std::uint64_t referencedEnd(int fd, const WimHeader& header, std::uint64_t fileSize);

// ---- the integrity table ------------------------------------------------------------------
// An integrity table over bytes [kWimHeaderSize, end) of the file: SHA-1 of each 10 MiB chunk.
// Empty when a read fails.
std::vector<unsigned char> makeIntegrityTable(int fd, std::uint64_t end);

// ---- the identity of an open file -----------------------------------------------------------
// What a file was when it was read: enough to tell whether anyone wrote it since.
struct FileIdentity {
    bool valid = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec mtime{};
    WimHeaderBytes header{};
    off_t tailStart = 0; // end of the blob table: the XML and integrity table follow
    std::array<unsigned char, 32> tailDigest{};
};
bool readIdentity(int fd, FileIdentity& id);
// readIdentity of the regular file at `path`; false (and an invalid identity) when it opens not.
bool identityOfPath(const std::string& path, FileIdentity& id);
// Same file with the same bytes (header, length, everything after the blob table).
bool sameContent(const FileIdentity& a, const FileIdentity& b);
// sameContent and the same modification time.
bool sameState(const FileIdentity& a, const FileIdentity& b);
// SHA-256 of bytes [from, to) of the file.
bool digestRange(int fd, off_t from, off_t to, unsigned char* out);

} // namespace imaging
