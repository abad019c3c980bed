// PE files made at test time with GNU binutils for Windows: a resource script written here
// is compiled by x86_64-w64-mingw32-windres and linked into a resource-only DLL by
// x86_64-w64-mingw32-ld (PE32+) or the host ld with -m i386pe (PE32). No C compiler is
// involved.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace pefix {

struct StringTable {
    QString key;                                     // "080404B0", "040904b0", ...
    std::vector<std::pair<QString, QString>> values; // name, text
};

// One copy of the version resource (resource id 1) in one resource language.
struct VersionCopy {
    std::uint16_t language = 0x409;
    std::array<std::uint16_t, 4> fileVersion{1, 2, 3, 4};
    std::array<std::uint16_t, 4> productVersion{5, 6, 7, 8};
    std::vector<StringTable> stringTables;
    // Language and code page pairs of VarFileInfo\Translation; empty: no VarFileInfo block.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> translations;
};

struct PeSpec {
    bool pe32Plus = true;
    std::vector<VersionCopy> versions; // empty: a DLL whose resources hold no version
};

// The usual kernel file of a Simplified-Chinese installation: version 1.2.3.4, string
// table 080404B0 with ProductName `productName`, translation 0x804/1200.
PeSpec kernelSpec(const QString& productName, bool pe32Plus = true);

// Builds the DLL at `path`. Returns false and fills *error when a tool fails.
bool buildPeFile(const QString& path, const PeSpec& recipe, QString* error = nullptr);

// File offsets inside a PE file made by buildPeFile, for tests that damage it on purpose.
struct PeLayout {
    std::size_t peHeader = 0;               // "PE\0\0"
    std::size_t resourceDirectoryEntry = 0; // data directory 2 (RVA, size)
    std::size_t resourceSection = 0;        // file offset of the resource directory root
    std::uint32_t resourceRva = 0;
    std::size_t versionData = 0;      // file offset of the (first) VS_VERSIONINFO
    std::size_t versionDataEntry = 0; // file offset of its resource data entry
    std::size_t sectionTable = 0;
    int sectionCount = 0;
    bool valid = false;
};
PeLayout peLayout(const QByteArray& file);

std::uint32_t read32(const QByteArray& b, std::size_t at);
void write32(QByteArray& b, std::size_t at, std::uint32_t v);
void write16(QByteArray& b, std::size_t at, std::uint16_t v);

} // namespace pefix
