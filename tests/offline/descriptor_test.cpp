// Reading the installation's description from real hives (made through hivex) and a real
// Kernel32.dll (made with binutils), loaded as the detection run loads them.

#include "offline/OfflineWindows.h"

#include "platform/Kernel.h"
#include "platform/Registry.h"

#include "support/HiveFixture.h"
#include "support/OfflineTree.h"
#include "support/PeFixture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace {

using offlinefix::Installation;

// Loads the installation's hives under OFL_SOFTWARE and OFL_SYSTEM for the life of the
// object, and builds its kernel file.
class LoadedInstallation {
public:
    explicit LoadedInstallation(const Installation& installation)
    {
        EXPECT_TRUE(offlinefix::writeSoftwareHive(dir.file("SOFTWARE"), installation));
        EXPECT_TRUE(offlinefix::writeSystemHive(dir.file("SYSTEM"), installation));
        EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"OFL_SOFTWARE", wide(dir.file("SOFTWARE"))),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"OFL_SYSTEM", wide(dir.file("SYSTEM"))),
                  ERROR_SUCCESS);
        kernel = dir.file("kernel32.dll");
        if (installation.kernel) {
            QString error;
            EXPECT_TRUE(pefix::buildPeFile(kernel, *installation.kernel, &error))
                << error.toStdString();
        }
    }
    ~LoadedInstallation()
    {
        RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"OFL_SYSTEM");
        RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"OFL_SOFTWARE");
    }
    WindowsDescriptor read() const
    {
        WindowsDescriptor d;
        ReadWindowsDescriptor(d, kernel);
        return d;
    }

    TempDir dir;
    QString kernel;
};

TEST(ReadWindowsDescriptor, AFullInstallation)
{
    const LoadedInstallation loaded{Installation{}};
    const WindowsDescriptor d = loaded.read();
    EXPECT_EQ(d.editionId, "ULTIMATE");
    EXPECT_EQ(d.arch, "9");
    EXPECT_EQ(d.productName, Installation::defaultProductName());
    EXPECT_EQ(d.hal, "acpiapic_up") << "first identifier of the multi-string only";
    EXPECT_EQ(d.productType, "WinNT");
    EXPECT_EQ(d.productSuite, "Terminal Server");
    ASSERT_EQ(d.languages.size(), 2u);
    EXPECT_EQ(d.languages[0].languageName, "en-US");
    EXPECT_EQ(d.languages[0].lcid, 0x409u);
    EXPECT_EQ(d.languages[1].languageName, "zh-CN");
    EXPECT_EQ(d.languages[1].lcid, 0x804u);
    EXPECT_EQ(d.defaultLanguage, "zh-CN");
    EXPECT_EQ(d.major, "1");
    EXPECT_EQ(d.minor, "2");
    EXPECT_EQ(d.build, "3");
    EXPECT_EQ(d.spBuild, "4");
    EXPECT_EQ(d.systemRoot, "WINDOWS");
}

struct FieldCase {
    const char* what;
    std::function<void(Installation&)> change;
    std::function<void(const WindowsDescriptor&)> check;
};

void runCases(const std::vector<FieldCase>& cases)
{
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(c.what);
        Installation installation;
        c.change(installation);
        const LoadedInstallation loaded(installation);
        c.check(loaded.read());
    }
}

TEST(ReadWindowsDescriptor, ArchitectureEditionAndSystemRoot)
{
    auto arch = [](std::optional<QString> value, const char* expected) {
        return FieldCase{"PROCESSOR_ARCHITECTURE",
                         [value](Installation& i) { i.processorArchitecture = value; },
                         [expected](const WindowsDescriptor& d) { EXPECT_EQ(d.arch, expected); }};
    };
    auto root = [](std::optional<QString> value, const char* expected) {
        return FieldCase{"SystemRoot", [value](Installation& i) { i.systemRoot = value; },
                         [expected](const WindowsDescriptor& d) {
                             EXPECT_EQ(d.systemRoot, QString::fromUtf8(expected));
                         }};
    };
    runCases({
        arch(QStringLiteral("amd64"), "9"),
        arch(QStringLiteral("AMD64"), "9"),
        arch(QStringLiteral("ia64"), "6"),
        arch(QStringLiteral("IA64"), "6"),
        arch(QStringLiteral("x86"), "0"),
        arch(QStringLiteral("ARM64"), "0"),
        arch(QString(), "0"),
        arch(std::nullopt, "0"),
        root(QStringLiteral("C:\\Windows"), "WINDOWS"),
        root(QStringLiteral("D:\\WinNT"), "WINNT"),
        root(QStringLiteral("C:\\"), "C:\\"),
        root(QStringLiteral("C:\\Windows\\系统"), "WINDOWS\\系统"),
        root(std::nullopt, ""),
        {"EditionID is upper-cased", [](Installation& i) { i.editionId = "Professional"; },
         [](const WindowsDescriptor& d) { EXPECT_EQ(d.editionId, "PROFESSIONAL"); }},
        {"no EditionID", [](Installation& i) { i.editionId.reset(); },
         [](const WindowsDescriptor& d) { EXPECT_TRUE(d.editionId.isEmpty()); }},
        {"no HardwareID, ProductType or ProductSuite",
         [](Installation& i) {
             i.hardwareIds.clear();
             i.productType.reset();
             i.productSuite.clear();
         },
         [](const WindowsDescriptor& d) {
             EXPECT_TRUE(d.hal.isEmpty());
             EXPECT_TRUE(d.productType.isEmpty());
             EXPECT_TRUE(d.productSuite.isEmpty());
         }},
    });
}

// A value holding a character XML 1.0 cannot carry would make the image information
// unwritable: it counts as unreadable and its field stays empty. Others stay as they are.
TEST(ReadWindowsDescriptor, ValuesXmlCannotCarryCountAsUnreadable)
{
    const QString currentVersion = QStringLiteral("Microsoft\\Windows NT\\CurrentVersion");
    const QString options = QStringLiteral("ControlSet001\\Control\\ProductOptions");
    const QByteArray dwordOne("\x01\0\0\0", 4);
    const auto text = [](std::initializer_list<char16_t> units) {
        return QString(reinterpret_cast<const QChar*>(units.begin()), qsizetype(units.size()));
    };
    const auto field = [](const char* what, Installation::RawValue value,
                          QString WindowsDescriptor::*member, QString expected) {
        return FieldCase{
            what, [value](Installation& i) { i.rawValues.push_back(value); },
            [member, expected](const WindowsDescriptor& d) { EXPECT_EQ(d.*member, expected); }};
    };
    using D = WindowsDescriptor;
    runCases({
        field("EditionID a DWORD of 1", {"SOFTWARE", currentVersion, "EditionID", 4, dwordOne},
              &D::editionId, ""),
        field("ProductType a DWORD of 1", {"SYSTEM", options, "ProductType", 4, dwordOne},
              &D::productType, ""),
        field("ProductType with ESC",
              {"SYSTEM", options, "ProductType", 1, hivefix::utf16Bytes(text({'W', 0x1B, 'N'}))},
              &D::productType, ""),
        field("ProductSuite with a lone surrogate",
              {"SYSTEM", options, "ProductSuite", 7,
               hivefix::utf16Bytes(text({'T', 0xD800, 'S'}), 2)},
              &D::productSuite, ""),
        field("HardwareID with U+FFFF",
              {"SYSTEM", "ControlSet001\\Enum\\Root\\ACPI_HAL\\0000", "HardwareID", 7,
               hivefix::utf16Bytes(text({'a', 0xFFFF}), 2)},
              &D::hal, ""),
        field("SystemRoot with U+FFFE",
              {"SOFTWARE", currentVersion, "SystemRoot", 1,
               hivefix::utf16Bytes(text({'C', ':', '\\', 'W', 0xFFFE}))},
              &D::systemRoot, ""),
        field("TAB, a surrogate pair and U+FFFD are carried",
              {"SYSTEM", options, "ProductType", 1,
               hivefix::utf16Bytes(text({'W', '\t', 0xD83D, 0xDE00, 0xFFFD}))},
              &D::productType, text({'W', '\t', 0xD83D, 0xDE00, 0xFFFD})),
        {"a language name with a control character",
         [text](Installation& i) {
             i.languages = {{text({'e', 'n', 0x01}), 0x409}, {"zh-CN", 0x804}};
             i.installLanguage = "0409";
         },
         [](const WindowsDescriptor& d) {
             ASSERT_EQ(d.languages.size(), 2u);
             EXPECT_EQ(d.languages[0].languageName, "");
             EXPECT_EQ(d.languages[0].lcid, 0x409u);
             EXPECT_EQ(d.languages[1].languageName, "zh-CN");
             EXPECT_EQ(d.defaultLanguage, "");
         }},
    });
}

TEST(ReadLanguages, DefaultFromTheInstallLanguage)
{
    auto install = [](std::optional<QString> value, const char* expected) {
        return FieldCase{"InstallLanguage", [value](Installation& i) { i.installLanguage = value; },
                         [expected, value](const WindowsDescriptor& d) {
                             SCOPED_TRACE(value ? value->toStdString() : "missing");
                             EXPECT_EQ(d.languages.size(), 2u);
                             EXPECT_EQ(d.defaultLanguage, expected);
                         }};
    };
    runCases({
        install(QStringLiteral("0804"), "zh-CN"),
        install(QStringLiteral("0409"), "en-US"),
        install(QStringLiteral("804"), "zh-CN"),
        install(QStringLiteral("0x0804"), "zh-CN"),
        install(QStringLiteral(" 0804"), "zh-CN"),
        install(QStringLiteral("0804 trailing"), "zh-CN"),
        install(QStringLiteral("0407"), ""),
        install(QStringLiteral(""), ""),
        install(QStringLiteral("zh-CN"), ""),
        install(QStringLiteral("0"), ""),
        install(QStringLiteral("FFFFFFFFF"), ""),
        install(std::nullopt, ""),
    });
    runCases({
        {"no UILanguages key", [](Installation& i) { i.uiLanguagesKey = false; },
         [](const WindowsDescriptor& d) {
             EXPECT_TRUE(d.languages.empty());
             EXPECT_TRUE(d.defaultLanguage.isEmpty());
         }},
        {"a language without LCID is listed with 0",
         [](Installation& i) {
             i.languages = {{"de-DE", std::nullopt}, {"zh-CN", 0x804}};
         },
         [](const WindowsDescriptor& d) {
             ASSERT_EQ(d.languages.size(), 2u);
             EXPECT_EQ(d.languages[0].languageName, "de-DE");
             EXPECT_EQ(d.languages[0].lcid, 0u);
             EXPECT_EQ(d.defaultLanguage, "zh-CN");
         }},
        {"two entries with the install language: the first wins",
         [](Installation& i) {
             i.languages = {{"zh-CN", 0x804}, {"zh-Hans", 0x804}};
         },
         [](const WindowsDescriptor& d) { EXPECT_EQ(d.defaultLanguage, "zh-CN"); }},
    });
}

TEST(ReadWindowsDescriptor, KernelFileVariants)
{
    runCases({
        {"PE32 kernel",
         [](Installation& i) { i.kernel = pefix::kernelSpec(QStringLiteral("Windows XP"), false); },
         [](const WindowsDescriptor& d) {
             EXPECT_EQ(d.productName, "Windows XP");
             EXPECT_EQ(d.major + '.' + d.minor + '.' + d.build + '.' + d.spBuild, "1.2.3.4");
         }},
        {"no translation table: 04090000 is asked",
         [](Installation& i) {
             pefix::PeSpec recipe = pefix::kernelSpec(QStringLiteral("ignored"));
             recipe.versions[0].translations.clear();
             recipe.versions[0].stringTables = {{"080404B0", {{"ProductName", "not this one"}}},
                                              {"04090000", {{"ProductName", "English neutral"}}}};
             i.kernel = recipe;
         },
         [](const WindowsDescriptor& d) { EXPECT_EQ(d.productName, "English neutral"); }},
        {"no ProductName string: empty name, version still read",
         [](Installation& i) {
             pefix::PeSpec recipe = pefix::kernelSpec(QStringLiteral("x"));
             recipe.versions[0].stringTables = {{"080404B0", {{"CompanyName", "Microsoft"}}}};
             recipe.versions[0].fileVersion = {6, 1, 7601, 17514};
             i.kernel = recipe;
         },
         [](const WindowsDescriptor& d) {
             EXPECT_TRUE(d.productName.isEmpty());
             EXPECT_EQ(d.major + '.' + d.minor + '.' + d.build + '.' + d.spBuild, "6.1.7601.17514");
         }},
        {"no version resource: name and version empty",
         [](Installation& i) { i.kernel = pefix::PeSpec{}; },
         [](const WindowsDescriptor& d) {
             EXPECT_TRUE(d.productName.isEmpty());
             EXPECT_TRUE(d.major.isEmpty());
             EXPECT_TRUE(d.spBuild.isEmpty());
         }},
        {"not a PE file at all", [](Installation& i) { i.kernel.reset(); },
         [](const WindowsDescriptor& d) {
             EXPECT_TRUE(d.productName.isEmpty());
             EXPECT_TRUE(d.build.isEmpty());
             EXPECT_EQ(d.editionId, "ULTIMATE") << "the registry values are still read";
         }},
    });
}

TEST(ReadVersionString, OutputsOnEachPath)
{
    TempDir dir;
    const QString good = dir.file("good.dll");
    ASSERT_TRUE(pefix::buildPeFile(good, pefix::kernelSpec(QStringLiteral("产品"))));

    QString text = QStringLiteral("before");
    EXPECT_FALSE(ReadVersionString(dir.file("missing.dll"), text));
    EXPECT_EQ(text, "before") << "no version resource leaves the output untouched";
    EXPECT_TRUE(ReadVersionString(good, text));
    EXPECT_EQ(text, "产品");

    // A resource without fixed file information: the four parts are "0".
    QByteArray bytes = readFileBytes(good);
    const pefix::PeLayout layout = pefix::peLayout(bytes);
    ASSERT_TRUE(layout.valid);
    pefix::write32(bytes, layout.versionData + 40, 0x12345678); // the signature
    const QString noFixed = dir.write("nofixed.dll", bytes);
    QString major = "m", minor = "n", build = "b", sp = "s";
    EXPECT_FALSE(ReadFileVersion(noFixed, major, minor, build, sp));
    EXPECT_EQ(major + minor + build + sp, "0000");
    EXPECT_TRUE(ReadVersionString(noFixed, text));
    EXPECT_EQ(text, "产品");

    major = "m";
    EXPECT_FALSE(ReadFileVersion(dir.file("missing.dll"), major, minor, build, sp));
    EXPECT_EQ(major, "m");
}

TEST(ReadRegistryString, FirstStringUpToItsTerminator)
{
    TempDir dir;
    {
        hivefix::HiveWriter hive(dir.file("hive"));
        hive.setMultiString("K", "Multi", {"first", "second"});
        hive.setString("K", "Expand", "%SystemRoot%\\x", 2);
        hive.setRaw("K", "NoTerminator", 1, QByteArray("a\0b\0", 4));
        hive.setRaw("K", "OddSize", 1, QByteArray("a\0b", 3));
        hive.setRaw("K", "Empty", 1, QByteArray());
        hive.setDword("K", "Number", 0x41);
        ASSERT_TRUE(hive.commit());
    }
    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"OFL_TEST", wide(dir.file("hive"))), ERROR_SUCCESS);
    struct Case {
        const char* key;
        const char* name;
        const char* expected;
    } cases[] = {
        {"OFL_TEST\\K", "Multi", "first"},
        {"OFL_TEST\\K", "Expand", "%SystemRoot%\\x"},
        {"OFL_TEST\\K", "NoTerminator", "ab"},
        {"OFL_TEST\\K", "OddSize", "ab"}, // the odd byte is a character of its own
        {"OFL_TEST\\K", "Empty", ""},
        {"OFL_TEST\\K", "Number", "A"},
        {"OFL_TEST\\K", "Missing", ""},
        {"OFL_TEST\\Missing", "Multi", ""},
        {"OFL_ABSENT\\K", "Multi", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.name);
        QString value = QStringLiteral("stale");
        ReadRegistryString(QLatin1String(c.key), QLatin1String(c.name), value);
        EXPECT_EQ(value, c.expected);
    }
    RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"OFL_TEST");
}

} // namespace
