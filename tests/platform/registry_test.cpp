// Registry layer over hivex: loading, opening, reading values and listing keys of real hive
// files made at test time; hostile hive files.

#include "platform/Kernel.h"
#include "platform/Registry.h"

#include "support/HiveFixture.h"
#include "support/TempDir.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hivePath = dir.file(QStringLiteral("SYSTEM"));
        hivefix::HiveWriter hive(hivePath);
        hive.setString(QStringLiteral("Control\\Text"), QStringLiteral("Plain"),
                       QStringLiteral("zh-CN 中文"));
        hive.setString(QStringLiteral("Control\\Text"), QStringLiteral("Expand"),
                       QStringLiteral("%SystemRoot%\\system32"), REG_EXPAND_SZ);
        hive.setMultiString(
            QStringLiteral("Control\\Text"), QStringLiteral("HardwareID"),
            {QStringLiteral("acpiapic_up"), QStringLiteral("acpiapic"), QStringLiteral("mps")});
        hive.setDword(QStringLiteral("Control\\Text"), QStringLiteral("LCID"), 0x804);
        hive.setRaw(QStringLiteral("Control\\Text"), QStringLiteral("Blob"), REG_BINARY,
                    QByteArray("\x01\x02\x03\x00\xff", 5));
        hive.setRaw(QStringLiteral("Control\\Text"), QStringLiteral("Big"), REG_QWORD,
                    QByteArray("\x08\x07\x06\x05\x04\x03\x02\x01", 8));
        hive.setString(QStringLiteral("Control\\Text"), QString(), QStringLiteral("default"));
        for (const char* name : {"zh-CN", "en-US", "de-DE"})
            hive.addKey(QStringLiteral("Control\\MUI\\UILanguages\\") + QLatin1String(name));
        ASSERT_TRUE(hive.commit());
    }

    void TearDown() override
    {
        RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"T_SYSTEM");
        RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"T_OTHER");
    }

    // The value's bytes as RegQueryValueExW returns them, after a size query.
    QByteArray query(const QString& keyPath, const QString& name, DWORD* type = nullptr)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(keyPath), 0, KEY_QUERY_VALUE, &key),
                  ERROR_SUCCESS);
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExW(key, wide(name), nullptr, nullptr, nullptr, &size),
                  ERROR_SUCCESS);
        QByteArray data(qsizetype(size), '\x55');
        DWORD got = size;
        EXPECT_EQ(RegQueryValueExW(key, wide(name), nullptr, type,
                                   reinterpret_cast<BYTE*>(data.data()), &got),
                  ERROR_SUCCESS);
        EXPECT_EQ(got, size);
        RegCloseKey(key);
        return data;
    }

    TempDir dir;
    QString hivePath;
};

TEST_F(RegistryTest, ValuesComeBackAsStoredWithTheirTypes)
{
    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_SYSTEM", wide(hivePath)), ERROR_SUCCESS);
    struct Case {
        const char* name;
        DWORD type;
        QByteArray bytes;
    } cases[] = {
        {"Plain", REG_SZ, hivefix::utf16Bytes(QStringLiteral("zh-CN 中文"))},
        {"Expand", REG_EXPAND_SZ, hivefix::utf16Bytes(QStringLiteral("%SystemRoot%\\system32"))},
        // Each string terminated and one closing terminator: no extra empty string.
        {"HardwareID", REG_MULTI_SZ,
         hivefix::utf16Bytes(QStringLiteral("acpiapic_up")) +
             hivefix::utf16Bytes(QStringLiteral("acpiapic")) +
             hivefix::utf16Bytes(QStringLiteral("mps"), 2)},
        {"LCID", REG_DWORD, QByteArray("\x04\x08\x00\x00", 4)},
        {"Blob", REG_BINARY, QByteArray("\x01\x02\x03\x00\xff", 5)},
        {"Big", REG_QWORD, QByteArray("\x08\x07\x06\x05\x04\x03\x02\x01", 8)},
        {"", REG_SZ, hivefix::utf16Bytes(QStringLiteral("default"))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DWORD type = 0xFFFF;
        EXPECT_EQ(query(QStringLiteral("T_SYSTEM\\Control\\Text"), QLatin1String(c.name), &type),
                  c.bytes);
        EXPECT_EQ(type, c.type);
    }
}

TEST_F(RegistryTest, NamesAreMatchedWithoutLetterCase)
{
    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_SYSTEM", wide(hivePath)), ERROR_SUCCESS);
    EXPECT_EQ(query(QStringLiteral("t_system\\CONTROL\\text"), QStringLiteral("lcid")),
              QByteArray("\x04\x08\x00\x00", 4));
    // A trailing backslash names the same key.
    EXPECT_EQ(query(QStringLiteral("T_SYSTEM\\Control\\Text\\"), QStringLiteral("LCID")).size(), 4);
}

TEST_F(RegistryTest, BufferSizesAndMissingThings)
{
    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_SYSTEM", wide(hivePath)), ERROR_SUCCESS);
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"T_SYSTEM\\Control\\Text", 0, KEY_QUERY_VALUE, &key),
        ERROR_SUCCESS);
    BYTE small[3] = {0xAA, 0xAA, 0xAA};
    DWORD size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, u"Plain", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, DWORD(hivefix::utf16Bytes(QStringLiteral("zh-CN 中文")).size()));
    EXPECT_EQ(small[0], 0xAA) << "nothing is copied into a buffer that is too small";
    EXPECT_EQ(RegQueryValueExW(key, u"Plain", nullptr, nullptr, small, nullptr),
              ERROR_INVALID_PARAMETER);
    size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "a closed handle is refused";

    for (const char16_t* path : {u"T_SYSTEM\\Control\\Nothing", u"T_NOTLOADED\\Control",
                                 u"T_SYSTEM\\\\Control", u"T_SYSTEM\\Control\\Text\\Plain"}) {
        HKEY none = reinterpret_cast<HKEY>(1);
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &none),
                  ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(none, nullptr);
    }
    HKEY bogus = reinterpret_cast<HKEY>(&size);
    EXPECT_EQ(RegOpenKeyExW(bogus, u"x", 0, KEY_QUERY_VALUE, &key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, SubkeysAreListedInHiveOrder)
{
    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_SYSTEM", wide(hivePath)), ERROR_SUCCESS);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"T_SYSTEM\\Control\\MUI\\UILanguages", 0,
                            KEY_ENUMERATE_SUB_KEYS, &key),
              ERROR_SUCCESS);
    QStringList names;
    DWORD index = 0;
    LSTATUS status;
    for (;; ++index) {
        WCHAR name[260];
        DWORD length = 260;
        status = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS)
            break;
        names << QString::fromUtf16(name, length);
        EXPECT_EQ(name[length], 0);
    }
    EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
    // hivex keeps subkey lists sorted, as the platform does.
    EXPECT_EQ(names, (QStringList{"de-DE", "en-US", "zh-CN"}));

    WCHAR tiny[5];
    DWORD length = 5; // "de-DE" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExW(key, 0, tiny, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(length, 5u);
    RegCloseKey(key);
}

TEST_F(RegistryTest, ANameIsLoadedOnceAtATime)
{
    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_SYSTEM", wide(hivePath)), ERROR_SUCCESS);
    EXPECT_NE(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_SYSTEM", wide(hivePath)), ERROR_SUCCESS);
    EXPECT_NE(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"t_system", wide(hivePath)), ERROR_SUCCESS);
    EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_OTHER", wide(hivePath)), ERROR_SUCCESS)
        << "the same file under another name";

    // A handle opened before the unload keeps working until it is closed.
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"T_SYSTEM\\Control\\Text", 0, KEY_QUERY_VALUE, &key),
        ERROR_SUCCESS);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"t_SYSTEM"), ERROR_SUCCESS);
    EXPECT_NE(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"T_SYSTEM"), ERROR_SUCCESS);
    DWORD lcid = 0;
    DWORD size = sizeof lcid;
    EXPECT_EQ(
        RegQueryValueExW(key, u"LCID", nullptr, nullptr, reinterpret_cast<BYTE*>(&lcid), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(lcid, 0x804u);
    RegCloseKey(key);

    HKEY gone = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"T_SYSTEM", 0, KEY_QUERY_VALUE, &gone),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_SYSTEM", wide(hivePath)), ERROR_SUCCESS)
        << "the name is free again after the unload";

    // Only the machine and users roots take hives, under a one-component name.
    EXPECT_EQ(RegLoadKeyW(HKEY_CURRENT_USER, u"T_X", wide(hivePath)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"A\\B", wide(hivePath)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"", wide(hivePath)), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, TheFileIsReadWholeAtLoad)
{
    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_SYSTEM", wide(hivePath)), ERROR_SUCCESS);
    // Truncating or removing the file afterwards changes nothing for the loaded hive.
    ASSERT_TRUE(QFile::resize(hivePath, 0));
    ASSERT_TRUE(QFile::remove(hivePath));
    EXPECT_EQ(query(QStringLiteral("T_SYSTEM\\Control\\Text"), QStringLiteral("LCID")).size(), 4);
}

// Reads on one hive from several threads while another name is loaded and unloaded.
TEST_F(RegistryTest, CallsFromSeveralThreads)
{
    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_SYSTEM", wide(hivePath)), ERROR_SUCCESS);
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                HKEY key = nullptr;
                DWORD lcid = 0;
                DWORD size = sizeof lcid;
                if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"T_SYSTEM\\Control\\Text", 0,
                                  KEY_QUERY_VALUE, &key) != ERROR_SUCCESS ||
                    RegQueryValueExW(key, u"LCID", nullptr, nullptr, reinterpret_cast<BYTE*>(&lcid),
                                     &size) != ERROR_SUCCESS ||
                    lcid != 0x804)
                    ++failures;
                RegCloseKey(key);
            }
        });
    }
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_OTHER", wide(hivePath)), ERROR_SUCCESS);
        EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"T_OTHER"), ERROR_SUCCESS);
    }
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(failures, 0);
}

// Hostile and broken hive files: the load fails with a registry error, nothing crashes, and
// the name stays free.
TEST_F(RegistryTest, BrokenHiveFilesAreRefused)
{
    const QByteArray good = readFileBytes(hivePath);
    ASSERT_GT(good.size(), 0x2000);
    struct Case {
        const char* what;
        QByteArray bytes;
        LSTATUS expected;
    };
    std::vector<Case> cases = {
        {"empty file", QByteArray(), ERROR_BADDB},
        {"text file", QByteArray("[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n"), ERROR_BADDB},
        {"header only", good.left(0x1000), ERROR_BADDB},
        {"cut inside the first page", good.left(0x1800), ERROR_BADDB},
        {"zero bytes of hive size", QByteArray(0x3000, '\0'), ERROR_BADDB},
    };
    QByteArray badChecksum = good;
    badChecksum[0x30] = 'X';
    cases.push_back({"header checksum wrong", badChecksum, ERROR_BADDB});
    QByteArray rootOutside = good;
    rootOutside[0x24] = char(0xF0);
    rootOutside[0x27] = char(0x7F);
    hivefix::fixHeaderChecksum(rootOutside);
    cases.push_back({"root cell outside the file", rootOutside, ERROR_BADDB});
    QByteArray pageSizeHuge = good;
    pageSizeHuge[0x1000 + 8] = char(0x00);
    pageSizeHuge[0x1000 + 11] = char(0x7F);
    cases.push_back({"hbin page larger than the file", pageSizeHuge, ERROR_BADDB});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString path = dir.write(QStringLiteral("broken"), c.bytes);
        EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_OTHER", wide(path)), c.expected);
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"T_OTHER", 0, KEY_QUERY_VALUE, &key),
                  ERROR_FILE_NOT_FOUND);
    }

    EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_OTHER", wide(dir.file("missing"))),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_OTHER", wide(dir.file("missing/SYSTEM"))),
              ERROR_PATH_NOT_FOUND);
    EXPECT_NE(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_OTHER", wide(dir.path())), ERROR_SUCCESS);
    // A FIFO in place of the file must neither block nor be read.
    const QString fifo = dir.file(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_OTHER", wide(fifo)), ERROR_BADDB);
}

// A hive that opens but whose key list points into nowhere: opening below the damage fails
// with a registry error.
TEST_F(RegistryTest, DamageFoundAfterLoadingFailsTheCallThatMeetsIt)
{
    QByteArray hive = readFileBytes(hivePath);
    const hivefix::HiveLayout layout = hivefix::hiveLayout(hive);
    ASSERT_GT(layout.rootSubkeyListField, 0u);
    for (int i = 0; i < 4; ++i)
        hive[qsizetype(layout.rootSubkeyListField + i)] = char(0x7F); // far beyond the file
    const QString path = dir.write(QStringLiteral("damaged"), hive);
    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"T_OTHER", wide(path)), ERROR_SUCCESS);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"T_OTHER\\Control", 0, KEY_QUERY_VALUE, &key),
              ERROR_REGISTRY_CORRUPT);
    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"T_OTHER", 0, KEY_ENUMERATE_SUB_KEYS, &root),
              ERROR_SUCCESS);
    WCHAR name[260];
    DWORD length = 260;
    EXPECT_EQ(RegEnumKeyExW(root, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_REGISTRY_CORRUPT);
    RegCloseKey(root);
}

} // namespace
