// The version-resource layer's own reader of PE files (private to src/platform and the fuzz
// target). It reads through a bounds-checked byte source and never trusts an offset or
// length from the file.
#pragma once

#include "WinTypes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Bytes of a file or of memory, read by offset. read() fails for any range that does not
// lie wholly inside the source.
class PeSource {
public:
    explicit PeSource(std::span<const BYTE> bytes) : bytes_(bytes), size_(bytes.size()) {}
    // A regular file open for reading; the descriptor stays the caller's.
    PeSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

    std::uint64_t size() const { return size_; }
    bool read(std::uint64_t offset, void* out, std::size_t count) const;

private:
    std::span<const BYTE> bytes_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// The VS_VERSIONINFO block of the PE image, exactly as long as its root declares (at least
// the 6 bytes of a node header). On failure, nullopt and *error (when given) is
// ERROR_BAD_FORMAT for a file that is not a PE32/PE32+ image, ERROR_RESOURCE_TYPE_NOT_FOUND
// for no (or a damaged) version resource, ERROR_READ_FAULT when reading fails.
std::optional<std::vector<BYTE>> readVersionResource(const PeSource& source, DWORD* error);

// One node of a VS_VERSIONINFO tree, as offsets inside the block.
struct VersionNode {
    std::size_t offset = 0;      // start of the node
    std::size_t end = 0;         // offset + wLength
    std::size_t valueOffset = 0; // start of the value
    std::size_t valueBytes = 0;  // value size in bytes, cut to the node
    std::size_t childrenOffset = 0;
    WORD valueLength = 0; // as declared: characters for text, bytes for binary
    WORD type = 0;        // 1 text, 0 binary
    std::u16string key;
};

// Parses the node at `offset`, which must end within `limit`. False when damaged.
bool parseVersionNode(std::span<const BYTE> block, std::size_t offset, std::size_t limit,
                      VersionNode& node);
// Walks the key path (components compared without letter case) from the root of `block`.
bool findVersionNode(std::span<const BYTE> block, const std::vector<std::u16string>& path,
                     VersionNode& node);
