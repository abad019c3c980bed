// Version-resource layer over our PE reader: real PE32 and PE32+ DLLs built at test time
// with binutils, and damaged copies of them.

#include "platform/Kernel.h"
#include "platform/PeReader.h"
#include "platform/VersionInfo.h"

#include "support/PeFixture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

struct Loaded {
    std::vector<BYTE> block;
    DWORD error = 0;
    bool ok() const { return !block.empty(); }
};

Loaded load(const QString& path)
{
    Loaded l;
    SetLastError(0);
    const DWORD size = GetFileVersionInfoSizeW(wide(path), nullptr);
    l.error = GetLastError();
    if (size == 0)
        return l;
    l.block.resize(size);
    EXPECT_TRUE(GetFileVersionInfoW(wide(path), 0, size, l.block.data()));
    return l;
}

std::optional<QString> text(const Loaded& l, const QString& query)
{
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(l.block.data(), wide(query), &value, &length))
        return std::nullopt;
    const auto* chars = static_cast<const char16_t*>(value);
    qsizetype n = 0;
    while (n < qsizetype(length) && chars[n])
        ++n;
    return QString::fromUtf16(chars, n);
}

const VS_FIXEDFILEINFO* fixedInfo(const Loaded& l)
{
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(l.block.data(), u"\\", &value, &length))
        return nullptr;
    EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    return static_cast<const VS_FIXEDFILEINFO*>(value);
}

QString build(const TempDir& dir, const QString& name, const pefix::PeSpec& recipe)
{
    const QString path = dir.file(name);
    QString error;
    EXPECT_TRUE(pefix::buildPeFile(path, recipe, &error)) << error.toStdString();
    return path;
}

const QString kChinese = QStringLiteral("Microsoft® Windows® 操作系统");

TEST(VersionInfo, ReadsPe32AndPe32PlusWithAndWithoutTranslation)
{
    TempDir dir;
    for (bool plus : {true, false}) {
        for (bool translation : {true, false}) {
            SCOPED_TRACE(std::string(plus ? "PE32+" : "PE32") +
                         (translation ? " with translation" : " without translation"));
            pefix::PeSpec recipe = pefix::kernelSpec(kChinese, plus);
            if (!translation)
                recipe.versions[0].translations.clear();
            const Loaded l = load(build(dir, QStringLiteral("k.dll"), recipe));
            ASSERT_TRUE(l.ok()) << "error " << l.error;

            const VS_FIXEDFILEINFO* info = fixedInfo(l);
            ASSERT_NE(info, nullptr);
            EXPECT_EQ(info->dwSignature, VS_FFI_SIGNATURE);
            EXPECT_EQ(info->dwFileVersionMS, 0x00010002u);
            EXPECT_EQ(info->dwFileVersionLS, 0x00030004u);
            EXPECT_EQ(info->dwProductVersionMS, 0x00050006u);

            void* value = nullptr;
            UINT length = 0;
            const BOOL hasTable =
                VerQueryValueW(l.block.data(), u"\\VarFileInfo\\Translation", &value, &length);
            EXPECT_EQ(hasTable != 0, translation);
            if (hasTable) {
                ASSERT_EQ(length, 4u);
                const auto* pair = static_cast<const WORD*>(value);
                EXPECT_EQ(pair[0], 0x804);
                EXPECT_EQ(pair[1], 1200);
            }
            EXPECT_EQ(text(l, QStringLiteral("\\StringFileInfo\\080404B0\\ProductName")), kChinese);
            EXPECT_EQ(text(l, QStringLiteral("\\StringFileInfo\\080404B0\\CompanyName")),
                      QStringLiteral("Microsoft Corporation"));
            EXPECT_EQ(text(l, QStringLiteral("\\StringFileInfo\\040904B0\\ProductName")),
                      std::nullopt);
            EXPECT_EQ(text(l, QStringLiteral("\\StringFileInfo\\080404B0\\Missing")), std::nullopt);
        }
    }
}

TEST(VersionInfo, KeysAreComparedWithoutLetterCase)
{
    TempDir dir;
    pefix::PeSpec recipe;
    pefix::VersionCopy v;
    v.stringTables.push_back({QStringLiteral("040904b0"),
                              {{QStringLiteral("ProductName"), QStringLiteral("lower-case key")}}});
    v.translations = {{0x409, 1200}};
    recipe.versions.push_back(v);
    const Loaded l = load(build(dir, QStringLiteral("lower.dll"), recipe));
    ASSERT_TRUE(l.ok());
    EXPECT_EQ(text(l, QStringLiteral("\\StringFileInfo\\040904B0\\ProductName")),
              QStringLiteral("lower-case key"));
    EXPECT_EQ(text(l, QStringLiteral("\\stringfileinfo\\040904b0\\PRODUCTNAME")),
              QStringLiteral("lower-case key"));
}

// Real system files carry one copy of the version resource per language. The neutral copy
// wins, then US English, then the first one.
TEST(VersionInfo, ChoosesAmongLanguageCopies)
{
    TempDir dir;
    auto copy = [](std::uint16_t language, const QString& product) {
        pefix::VersionCopy v;
        v.language = language;
        v.fileVersion = {language, 0, 0, 0};
        v.stringTables.push_back(
            {QStringLiteral("040904B0"), {{QStringLiteral("ProductName"), product}}});
        v.translations = {{0x409, 1200}};
        return v;
    };
    struct Case {
        std::vector<std::uint16_t> languages;
        std::uint16_t chosen;
    } cases[] = {
        {{0x804, 0x409, 0x411}, 0x409},
        {{0x804, 0x000, 0x409}, 0x000},
        {{0x411, 0x804}, 0x411}, // the directory is sorted by id: 0x411 comes first
    };
    for (const Case& c : cases) {
        pefix::PeSpec recipe;
        for (std::uint16_t language : c.languages)
            recipe.versions.push_back(copy(language, QString::number(language, 16)));
        const Loaded l = load(build(dir, QStringLiteral("multi.dll"), recipe));
        ASSERT_TRUE(l.ok());
        const VS_FIXEDFILEINFO* info = fixedInfo(l);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->dwFileVersionMS >> 16, c.chosen);
        EXPECT_EQ(text(l, QStringLiteral("\\StringFileInfo\\040904B0\\ProductName")),
                  QString::number(c.chosen, 16));
    }
}

TEST(VersionInfo, FilesWithoutAVersionResource)
{
    TempDir dir;
    const QString noVersion = build(dir, QStringLiteral("none.dll"), pefix::PeSpec{});
    const QString textFile = dir.write(QStringLiteral("text.dll"), "just some text, no MZ");
    const QString mzOnly =
        dir.write(QStringLiteral("mz.dll"), QByteArray("MZ") + QByteArray(62, '\0'));
    struct Case {
        QString path;
        DWORD error;
    } cases[] = {
        {noVersion, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {textFile, ERROR_BAD_FORMAT},
        {mzOnly, ERROR_BAD_FORMAT},
        {dir.write(QStringLiteral("empty.dll"), QByteArray()), ERROR_BAD_FORMAT},
        {dir.file(QStringLiteral("missing.dll")), ERROR_FILE_NOT_FOUND},
        {dir.file(QStringLiteral("missing/k.dll")), ERROR_PATH_NOT_FOUND},
        {dir.mkdir(QStringLiteral("Kernel32.dll")), ERROR_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        DWORD handle = 77;
        SetLastError(0);
        EXPECT_EQ(GetFileVersionInfoSizeW(wide(c.path), &handle), 0u);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(handle, 0u);
        BYTE buffer[64];
        EXPECT_FALSE(GetFileVersionInfoW(wide(c.path), 0, sizeof buffer, buffer));
    }

    // A buffer smaller than the resource is refused rather than cut.
    const QString good = build(dir, QStringLiteral("good.dll"), pefix::kernelSpec(kChinese));
    const DWORD size = GetFileVersionInfoSizeW(wide(good), nullptr);
    ASSERT_GT(size, 8u);
    std::vector<BYTE> small(size - 1);
    EXPECT_FALSE(GetFileVersionInfoW(wide(good), 0, size - 1, small.data()));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

// Damaged copies of a good DLL. Each must load as "no version resource" or give a block
// whose damaged part cannot be queried; nothing may be read outside the file or the block
// (the sanitizer build and the fuzz target check that part).
TEST(VersionInfo, DamagedFilesYieldNoVersionResource)
{
    TempDir dir;
    const QString good = build(dir, QStringLiteral("good.dll"), pefix::kernelSpec(kChinese));
    const QByteArray bytes = readFileBytes(good);
    const pefix::PeLayout layout = pefix::peLayout(bytes);
    ASSERT_TRUE(layout.valid);

    struct Case {
        const char* what;
        QByteArray bytes;
    };
    std::vector<Case> cases;
    auto damaged = [&](const char* what, auto change) {
        QByteArray b = bytes;
        change(b);
        cases.push_back({what, b});
    };
    damaged("PE header offset beyond the file",
            [&](QByteArray& b) { pefix::write32(b, 0x3C, 0x7FFFFFF0); });
    damaged("PE header offset near 4 GiB",
            [&](QByteArray& b) { pefix::write32(b, 0x3C, 0xFFFFFFFE); });
    damaged("unknown optional header magic",
            [&](QByteArray& b) { pefix::write16(b, layout.peHeader + 24, 0x10C); });
    damaged("resource directory not in any section",
            [&](QByteArray& b) { pefix::write32(b, layout.resourceDirectoryEntry, 0x7FFF0000); });
    damaged("section raw data beyond the file", [&](QByteArray& b) {
        for (int i = 0; i < layout.sectionCount; ++i)
            pefix::write32(b, layout.sectionTable + i * 40 + 20, 0xFFFFF000);
    });
    damaged("section count huge",
            [&](QByteArray& b) { pefix::write16(b, layout.peHeader + 6, 0xFFFF); });
    damaged("resource root claims 65535 + 65535 entries", [&](QByteArray& b) {
        pefix::write16(b, layout.resourceSection + 12, 0xFFFF);
        pefix::write16(b, layout.resourceSection + 14, 0xFFFF);
    });
    damaged("type directory points back at the root (a loop)", [&](QByteArray& b) {
        // Every entry of the root now leads to the root itself.
        const int count = pefix::read32(b, layout.resourceSection + 12) >> 16;
        for (int i = 0; i < count; ++i)
            pefix::write32(b, layout.resourceSection + 16 + i * 8 + 4, 0x80000000);
    });
    damaged("data entry RVA outside",
            [&](QByteArray& b) { pefix::write32(b, layout.versionDataEntry, 0xFFFFFFF0); });
    damaged("data entry size smaller than the block",
            [&](QByteArray& b) { pefix::write32(b, layout.versionDataEntry + 4, 8); });
    damaged("root block longer than its resource",
            [&](QByteArray& b) { pefix::write16(b, layout.versionData, 0xFFFF); });
    damaged("root block shorter than a node header",
            [&](QByteArray& b) { pefix::write16(b, layout.versionData, 3); });
    damaged("root key without terminator", [&](QByteArray& b) {
        const int length = pefix::read32(b, layout.versionData) & 0xFFFF;
        for (int i = 6; i < length; i += 2)
            pefix::write16(b, layout.versionData + i, u'X');
    });
    for (int cut :
         {0x40, 0x80, 0x100, int(layout.resourceSection) + 8, int(layout.versionData) + 40})
        cases.push_back({"truncated", bytes.left(cut)});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Loaded l = load(dir.write(QStringLiteral("bad.dll"), c.bytes));
        if (!l.ok()) {
            EXPECT_TRUE(l.error == ERROR_RESOURCE_TYPE_NOT_FOUND || l.error == ERROR_BAD_FORMAT)
                << l.error;
            continue;
        }
        ADD_FAILURE() << "damaged file still gave a version resource";
    }
}

// Damage inside the VS_VERSIONINFO tree: the block loads, the damaged nodes are not found,
// and queries never leave the block.
TEST(VersionInfo, DamagedNodesAreNotFound)
{
    TempDir dir;
    const QString good = build(dir, QStringLiteral("good.dll"), pefix::kernelSpec(kChinese));
    const Loaded intact = load(good);
    ASSERT_TRUE(intact.ok());

    // First child of the root (StringFileInfo): its offset after the fixed information.
    const std::size_t firstChild = 0x5C; // 6 + "VS_VERSION_INFO" (32) + pad = 40, + 52
    ASSERT_EQ(text(intact, QStringLiteral("\\StringFileInfo\\080404B0\\ProductName")), kChinese);
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint16_t value;
    } cases[] = {
        {"child with zero length", firstChild, 0},
        {"child longer than its parent", firstChild, 0xFFF0},
        {"child shorter than its header", firstChild, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Loaded l = intact;
        ASSERT_LT(c.offset + 2, l.block.size());
        l.block[c.offset] = BYTE(c.value & 0xFF);
        l.block[c.offset + 1] = BYTE(c.value >> 8);
        EXPECT_EQ(text(l, QStringLiteral("\\StringFileInfo\\080404B0\\ProductName")), std::nullopt);
        EXPECT_NE(fixedInfo(l), nullptr) << "the root's own value is still there";
    }

    // A string node that claims to be binary, with an odd length: the answer still counts
    // characters that lie inside the block.
    {
        Loaded l = intact;
        const QByteArray key = QByteArray::fromRawData("P\0r\0o\0d\0u\0c\0t\0N\0", 16);
        const auto at = std::search(l.block.begin(), l.block.end(), key.begin(), key.end());
        ASSERT_NE(at, l.block.end());
        const std::size_t node = std::size_t(at - l.block.begin()) - 6;
        l.block[node + 2] = 0xFF; // value length, now in bytes, far beyond the node
        l.block[node + 4] = 0;    // type: binary
        void* value = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(l.block.data(), u"\\StringFileInfo\\080404B0\\ProductName",
                                   &value, &length));
        const std::size_t offset = std::size_t(static_cast<BYTE*>(value) - l.block.data());
        EXPECT_LE(offset + std::size_t(length) * 2, l.block.size());
    }

    // A bad signature hides the fixed information only.
    Loaded l = intact;
    l.block[40] ^= 0xFF;
    EXPECT_EQ(fixedInfo(l), nullptr);
    EXPECT_EQ(text(l, QStringLiteral("\\StringFileInfo\\080404B0\\ProductName")), kChinese);
}

} // namespace
