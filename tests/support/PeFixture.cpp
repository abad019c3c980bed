#include "support/PeFixture.h"

#include "support/TempDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace pefix {

namespace {

// A string literal of the resource script: quotes doubled, backslashes escaped.
QString rcString(const QString& text)
{
    QString out = QStringLiteral("\"");
    for (QChar c : text) {
        if (c == u'"')
            out += QStringLiteral("\"\"");
        else if (c == u'\\')
            out += QStringLiteral("\\\\");
        else
            out += c;
    }
    return out + u'"';
}

QString versionScript(const VersionCopy& v)
{
    auto four = [](const std::array<std::uint16_t, 4>& p) {
        return QStringLiteral("%1,%2,%3,%4").arg(p[0]).arg(p[1]).arg(p[2]).arg(p[3]);
    };
    QString rc;
    rc += QStringLiteral("LANGUAGE %1, %2\n").arg(v.language & 0x3FF).arg(v.language >> 10);
    rc += QStringLiteral("1 VERSIONINFO\nFILEVERSION %1\nPRODUCTVERSION %2\n")
              .arg(four(v.fileVersion), four(v.productVersion));
    rc += QStringLiteral("FILEFLAGSMASK 0x3f\nFILEFLAGS 0\nFILEOS 0x40004\nFILETYPE 2\n"
                         "FILESUBTYPE 0\nBEGIN\n");
    if (!v.stringTables.empty()) {
        rc += QStringLiteral("  BLOCK \"StringFileInfo\"\n  BEGIN\n");
        for (const StringTable& table : v.stringTables) {
            rc += QStringLiteral("    BLOCK %1\n    BEGIN\n").arg(rcString(table.key));
            for (const auto& [name, text] : table.values)
                rc += QStringLiteral("      VALUE %1, %2\n").arg(rcString(name), rcString(text));
            rc += QStringLiteral("    END\n");
        }
        rc += QStringLiteral("  END\n");
    }
    if (!v.translations.empty()) {
        rc += QStringLiteral("  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\"");
        for (const auto& [language, codePage] : v.translations)
            rc += QStringLiteral(", 0x%1, %2").arg(language, 0, 16).arg(codePage);
        rc += QStringLiteral("\n  END\n");
    }
    rc += QStringLiteral("END\n");
    return rc;
}

} // namespace

PeSpec kernelSpec(const QString& productName, bool pe32Plus)
{
    PeSpec recipe;
    recipe.pe32Plus = pe32Plus;
    VersionCopy v;
    v.language = 0x804;
    v.stringTables.push_back(
        {QStringLiteral("080404B0"),
         {{QStringLiteral("CompanyName"), QStringLiteral("Microsoft Corporation")},
          {QStringLiteral("ProductName"), productName},
          {QStringLiteral("FileVersion"), QStringLiteral("1.2.3.4")}}});
    v.translations = {{0x804, 1200}};
    recipe.versions.push_back(v);
    return recipe;
}

bool buildPeFile(const QString& path, const PeSpec& recipe, QString* error)
{
    TempDir work;
    QString rc;
    for (const VersionCopy& v : recipe.versions)
        rc += versionScript(v);
    // Some resource is needed to link; a DLL "without version" still has a resource section.
    rc += QStringLiteral("LANGUAGE 9, 1\n2 RCDATA\nBEGIN\n  \"data\"\nEND\n");
    const QString script = work.write(QStringLiteral("res.rc"), rc.toUtf8());
    const QString object = work.file(QStringLiteral("res.o"));

    QString output;
    QStringList windres = {QStringLiteral("--preprocessor=cat"),
                           QStringLiteral("-c"),
                           QStringLiteral("65001"),
                           QStringLiteral("-O"),
                           QStringLiteral("coff"),
                           QStringLiteral("-i"),
                           script,
                           QStringLiteral("-o"),
                           object};
    if (!recipe.pe32Plus)
        windres << QStringLiteral("-F") << QStringLiteral("pe-i386");
    if (runProgram(QStringLiteral("x86_64-w64-mingw32-windres"), windres, &output) != 0) {
        if (error)
            *error = QStringLiteral("windres: ") + output;
        return false;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QStringList ld = {QStringLiteral("-s"),
                      QStringLiteral("--dll"),
                      QStringLiteral("-e"),
                      QStringLiteral("0"),
                      QStringLiteral("--no-insert-timestamp"),
                      QStringLiteral("-o"),
                      path,
                      object};
    // The cross linker has no script for 32-bit images; the host linker has the emulation.
    const QString linker =
        recipe.pe32Plus ? QStringLiteral("x86_64-w64-mingw32-ld") : QStringLiteral("ld");
    if (!recipe.pe32Plus)
        ld = QStringList{QStringLiteral("-m"), QStringLiteral("i386pe")} + ld;
    if (runProgram(linker, ld, &output) != 0) {
        if (error)
            *error = linker + QStringLiteral(": ") + output;
        return false;
    }
    return true;
}

std::uint32_t read32(const QByteArray& b, std::size_t at)
{
    if (at + 4 > std::size_t(b.size()))
        return 0;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= std::uint32_t(std::uint8_t(b[qsizetype(at + i)])) << (8 * i);
    return v;
}

static std::uint16_t read16(const QByteArray& b, std::size_t at)
{
    if (at + 2 > std::size_t(b.size()))
        return 0;
    return std::uint16_t(std::uint8_t(b[qsizetype(at)]) |
                         (std::uint8_t(b[qsizetype(at + 1)]) << 8));
}

void write32(QByteArray& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[qsizetype(at + i)] = char((v >> (8 * i)) & 0xFF);
}

void write16(QByteArray& b, std::size_t at, std::uint16_t v)
{
    b[qsizetype(at)] = char(v & 0xFF);
    b[qsizetype(at + 1)] = char(v >> 8);
}

PeLayout peLayout(const QByteArray& file)
{
    // Trusts the file: it is one that buildPeFile made.
    PeLayout l;
    l.peHeader = read32(file, 0x3C);
    const std::size_t optional = l.peHeader + 24;
    const bool plus = read16(file, optional) == 0x20B;
    l.sectionCount = read16(file, l.peHeader + 6);
    const std::size_t optionalSize = read16(file, l.peHeader + 20);
    l.resourceDirectoryEntry = optional + (plus ? 112 : 96) + 2 * 8;
    l.resourceRva = read32(file, l.resourceDirectoryEntry);
    l.sectionTable = optional + optionalSize;
    auto rvaToOffset = [&](std::uint32_t rva) -> std::size_t {
        for (int i = 0; i < l.sectionCount; ++i) {
            const std::size_t s = l.sectionTable + std::size_t(i) * 40;
            const std::uint32_t va = read32(file, s + 12);
            const std::uint32_t raw = read32(file, s + 16);
            if (rva >= va && rva < va + raw)
                return read32(file, s + 20) + (rva - va);
        }
        return 0;
    };
    l.resourceSection = rvaToOffset(l.resourceRva);
    if (!l.resourceSection)
        return l;
    // Root directory: find type 16, then its first name, then its first language.
    auto entries = [&](std::size_t dir) {
        return std::size_t(read16(file, dir + 12)) + read16(file, dir + 14);
    };
    std::size_t dir = l.resourceSection;
    std::size_t found = 0;
    for (std::size_t i = 0; i < entries(dir); ++i) {
        const std::size_t e = dir + 16 + i * 8;
        if (read32(file, e) == 16)
            found = l.resourceSection + (read32(file, e + 4) & 0x7FFFFFFF);
    }
    if (!found)
        return l;
    dir = found;
    dir = l.resourceSection + (read32(file, dir + 16 + 4) & 0x7FFFFFFF);
    l.versionDataEntry = l.resourceSection + read32(file, dir + 16 + 4);
    l.versionData = rvaToOffset(read32(file, l.versionDataEntry));
    l.valid = l.versionData != 0;
    return l;
}

} // namespace pefix
