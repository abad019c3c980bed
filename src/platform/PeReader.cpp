// PE resource directory and VS_VERSIONINFO reader. All arithmetic on file values is done in
// 64 bits and every range is checked before it is read, so no value in the file can make
// the reader leave the file or the block.

#include "platform/PeReader.h"

#include <QString>
#include <QStringView>

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr DWORD kRtVersion = 16;
constexpr std::size_t kNodeHeader = 6;

std::uint16_t le16(const BYTE* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t le32(const BYTE* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

struct Section {
    std::uint64_t virtualAddress;
    std::uint64_t rawSize;
    std::uint64_t rawPointer;
};

class PeImage {
public:
    explicit PeImage(const PeSource& source) : source_(source) {}

    // Reads the headers and the section table; false when this is no PE32/PE32+ image.
    bool open(std::uint32_t& resourceRva)
    {
        BYTE dos[64];
        if (!source_.read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
            return false;
        const std::uint64_t pe = le32(dos + 0x3C);
        BYTE coff[24];
        if (!source_.read(pe, coff, sizeof coff) || std::memcmp(coff, "PE\0\0", 4) != 0)
            return false;
        const std::uint32_t sectionCount = le16(coff + 6);
        const std::uint32_t optionalSize = le16(coff + 20);
        const std::uint64_t optional = pe + 24;

        BYTE magic[2];
        if (optionalSize < 2 || !source_.read(optional, magic, 2))
            return false;
        std::uint32_t countOffset;
        if (le16(magic) == 0x10B)
            countOffset = 92; // PE32
        else if (le16(magic) == 0x20B)
            countOffset = 108; // PE32+
        else
            return false;
        const std::uint32_t resourceEntry = countOffset + 4 + 2 * 8; // data directory 2
        resourceRva = 0;
        if (optionalSize >= resourceEntry + 8) {
            BYTE count[4];
            BYTE entry[8];
            if (!source_.read(optional + countOffset, count, 4) ||
                !source_.read(optional + resourceEntry, entry, 8))
                return false;
            if (le32(count) > 2)
                resourceRva = le32(entry);
        }

        const std::uint64_t table = optional + optionalSize;
        std::vector<BYTE> raw(static_cast<std::size_t>(sectionCount) * 40);
        if (!raw.empty() && !source_.read(table, raw.data(), raw.size()))
            return false;
        for (std::uint32_t i = 0; i < sectionCount; ++i) {
            const BYTE* s = raw.data() + std::size_t{i} * 40;
            sections_.push_back({le32(s + 12), le32(s + 16), le32(s + 20)});
        }
        return true;
    }

    // Reads `count` bytes at a relative virtual address: the range must lie inside the raw
    // data of one section and inside the file.
    bool readRva(std::uint64_t rva, void* out, std::size_t count) const
    {
        for (const Section& s : sections_) {
            if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize &&
                count <= s.rawSize - (rva - s.virtualAddress))
                return source_.read(s.rawPointer + (rva - s.virtualAddress), out, count);
        }
        return false;
    }

private:
    const PeSource& source_;
    std::vector<Section> sections_;
};

struct DirEntry {
    std::uint32_t name;
    std::uint32_t target;
    bool named() const { return name & 0x80000000u; }
    bool subdirectory() const { return target & 0x80000000u; }
    std::uint32_t offset() const { return target & 0x7FFFFFFFu; }
};

// Entries of the resource directory at `offset` (relative to the resource section).
bool readDirectory(const PeImage& image, std::uint32_t base, std::uint32_t offset,
                   std::vector<DirEntry>& entries)
{
    BYTE header[16];
    const std::uint64_t rva = std::uint64_t(base) + offset;
    if (!image.readRva(rva, header, sizeof header))
        return false;
    const std::size_t count = std::size_t(le16(header + 12)) + le16(header + 14);
    std::vector<BYTE> raw(count * 8);
    if (count && !image.readRva(rva + 16, raw.data(), raw.size()))
        return false;
    entries.clear();
    for (std::size_t i = 0; i < count; ++i)
        entries.push_back({le32(raw.data() + i * 8), le32(raw.data() + i * 8 + 4)});
    return true;
}

const DirEntry* findId(const std::vector<DirEntry>& entries, std::uint32_t id)
{
    for (const DirEntry& e : entries)
        if (!e.named() && e.name == id)
            return &e;
    return nullptr;
}

std::size_t align4(std::size_t v)
{
    return (v + 3) & ~std::size_t(3);
}

} // namespace

bool PeSource::read(std::uint64_t offset, void* out, std::size_t count) const
{
    if (offset > size_ || count > size_ - offset)
        return false;
    if (count == 0)
        return true;
    if (fd_ < 0) {
        std::memcpy(out, bytes_.data() + offset, count);
        return true;
    }
    auto* dst = static_cast<BYTE*>(out);
    while (count > 0) {
        const ssize_t got = ::pread(fd_, dst, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false; // an error, or the file shrank under us
        dst += got;
        offset += static_cast<std::uint64_t>(got);
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

std::optional<std::vector<BYTE>> readVersionResource(const PeSource& source, DWORD* error)
{
    auto fail = [error](DWORD code) {
        if (error)
            *error = code;
        return std::nullopt;
    };
    PeImage image(source);
    std::uint32_t base = 0;
    if (!image.open(base))
        return fail(ERROR_BAD_FORMAT);
    if (base == 0)
        return fail(ERROR_RESOURCE_TYPE_NOT_FOUND);

    // Type, name, language: exactly three levels, so a directory that points back at itself
    // cannot make the walk loop.
    std::vector<DirEntry> entries;
    if (!readDirectory(image, base, 0, entries))
        return fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    const DirEntry* type = findId(entries, kRtVersion);
    if (!type || !type->subdirectory() || !readDirectory(image, base, type->offset(), entries))
        return fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    const DirEntry* name = findId(entries, 1);
    if (!name && !entries.empty())
        name = &entries.front();
    if (!name || !name->subdirectory() || !readDirectory(image, base, name->offset(), entries))
        return fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    const DirEntry* language = findId(entries, 0);
    if (!language)
        language = findId(entries, 0x409);
    if (!language && !entries.empty())
        language = &entries.front();
    if (!language || language->subdirectory())
        return fail(ERROR_RESOURCE_TYPE_NOT_FOUND);

    BYTE dataEntry[16];
    if (!image.readRva(std::uint64_t(base) + language->offset(), dataEntry, sizeof dataEntry))
        return fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    const std::uint32_t dataRva = le32(dataEntry);
    const std::uint32_t dataSize = le32(dataEntry + 4);
    BYTE lengthField[2];
    if (dataSize < kNodeHeader || !image.readRva(dataRva, lengthField, 2))
        return fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    const std::size_t length = le16(lengthField);
    if (length < kNodeHeader || length > dataSize)
        return fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    std::vector<BYTE> block(length);
    if (!image.readRva(dataRva, block.data(), block.size()))
        return fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    VersionNode root;
    if (!parseVersionNode(block, 0, block.size(), root))
        return fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return block;
}

bool parseVersionNode(std::span<const BYTE> block, std::size_t offset, std::size_t limit,
                      VersionNode& node)
{
    if (limit > block.size() || offset > limit || limit - offset < kNodeHeader)
        return false;
    const BYTE* p = block.data() + offset;
    const std::size_t length = le16(p);
    if (length < kNodeHeader || length > limit - offset)
        return false;
    node.offset = offset;
    node.end = offset + length;
    node.valueLength = le16(p + 2);
    node.type = le16(p + 4);

    // The key: UTF-16 up to its terminator, which must lie inside the node.
    node.key.clear();
    std::size_t pos = offset + kNodeHeader;
    for (;;) {
        if (node.end - pos < 2)
            return false;
        const char16_t c = le16(block.data() + pos);
        pos += 2;
        if (c == 0)
            break;
        node.key.push_back(c);
    }
    node.valueOffset = std::min(align4(pos), node.end);
    const std::size_t declared =
        node.type == 1 ? std::size_t(node.valueLength) * 2 : std::size_t(node.valueLength);
    // Some tools count a text value in bytes; cutting to the node keeps every such value
    // readable without ever leaving the node.
    node.valueBytes = std::min(declared, node.end - node.valueOffset);
    node.childrenOffset = std::min(align4(node.valueOffset + node.valueBytes), node.end);
    return true;
}

bool findVersionNode(std::span<const BYTE> block, const std::vector<std::u16string>& path,
                     VersionNode& node)
{
    if (block.size() < kNodeHeader)
        return false;
    const std::size_t declared = le16(block.data());
    if (!parseVersionNode(block, 0, std::min(declared, block.size()), node))
        return false;
    for (const std::u16string& key : path) {
        const QStringView wanted(key.data(), static_cast<qsizetype>(key.size()));
        bool found = false;
        std::size_t offset = node.childrenOffset;
        const std::size_t end = node.end;
        VersionNode child;
        // Each step moves forward by at least one node header, so the walk ends.
        while (offset < end && end - offset >= kNodeHeader) {
            if (!parseVersionNode(block, offset, end, child))
                break;
            const QStringView childKey(child.key.data(), static_cast<qsizetype>(child.key.size()));
            if (childKey.compare(wanted, Qt::CaseInsensitive) == 0) {
                found = true;
                break;
            }
            offset = align4(child.end);
        }
        if (!found)
            return false;
        node = child;
    }
    return true;
}
