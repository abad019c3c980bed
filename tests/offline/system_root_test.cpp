// Finding the system folder of an offline installation: candidate order, presence of the
// three files, letter case, and the privilege step.

#include "offline/OfflineWindows.h"

#include "platform/Kernel.h"
#include "platform/Privileges.h"

#include "support/TempDir.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <functional>

namespace {

// Only presence counts here, so the three files are empty.
void makeSystemFolder(const TempDir& dir, const QString& folder, const QStringList& skip = {},
                      const QString& kernel = "System32/Kernel32.dll")
{
    for (const QString& file : {QStringLiteral("System32/config/SOFTWARE"),
                                QStringLiteral("System32/config/SYSTEM"), kernel}) {
        if (!skip.contains(file))
            dir.write(folder + u'/' + file, QByteArray());
        else
            dir.mkdir(folder + u'/' + file.section(u'/', 0, -2));
    }
}

struct RootCase {
    const char* what;
    std::function<void(const TempDir&)> build;
    const char* captured; // relative to the test folder
    const char* expected; // relative root, or nullptr for none
};

TEST(FindSystemRoot, CandidatesAndTheirFiles)
{
    const RootCase cases[] = {
        {"WINDOWS before WINNT",
         [](const TempDir& d) {
             makeSystemFolder(d, "src/WINNT");
             makeSystemFolder(d, "src/WINDOWS");
         },
         "src", "src/WINDOWS"},
        {"one trailing slash is dropped",
         [](const TempDir& d) { makeSystemFolder(d, "src/WINDOWS"); }, "src/", "src/WINDOWS"},
        {"candidate order WINNT, I386, AMD64, IA64",
         [](const TempDir& d) {
             makeSystemFolder(d, "src/IA64");
             makeSystemFolder(d, "src/AMD64");
             makeSystemFolder(d, "src/I386");
         },
         "src", "src/I386"},
        {"AMD64 before IA64",
         [](const TempDir& d) {
             makeSystemFolder(d, "src/IA64");
             makeSystemFolder(d, "src/AMD64");
         },
         "src", "src/AMD64"},
        {"WINDOWS without SOFTWARE is skipped",
         [](const TempDir& d) {
             makeSystemFolder(d, "src/WINDOWS", {"System32/config/SOFTWARE"});
             makeSystemFolder(d, "src/WINNT");
         },
         "src", "src/WINNT"},
        {"WINDOWS without SYSTEM is skipped",
         [](const TempDir& d) {
             makeSystemFolder(d, "src/WINDOWS", {"System32/config/SYSTEM"});
             makeSystemFolder(d, "src/WINNT");
         },
         "src", "src/WINNT"},
        {"WINDOWS without Kernel32.dll is skipped",
         [](const TempDir& d) {
             makeSystemFolder(d, "src/WINDOWS", {"System32/Kernel32.dll"});
             makeSystemFolder(d, "src/WINNT");
         },
         "src", "src/WINNT"},
        {"a folder named Kernel32.dll counts",
         [](const TempDir& d) {
             makeSystemFolder(d, "src/WINDOWS", {"System32/Kernel32.dll"});
             d.mkdir("src/WINDOWS/System32/Kernel32.dll");
         },
         "src", "src/WINDOWS"},
        {"the captured folder itself is never a candidate",
         [](const TempDir& d) { makeSystemFolder(d, "src/WINDOWS"); }, "src/WINDOWS", nullptr},
        {"other folder names are not candidates",
         [](const TempDir& d) { makeSystemFolder(d, "src/Win10"); }, "src", nullptr},
        {"nothing at all", [](const TempDir& d) { d.mkdir("src"); }, "src", nullptr},
        {"missing captured folder", [](const TempDir&) {}, "absent", nullptr},
        {"letter case as a real installation spells it",
         [](const TempDir& d) { makeSystemFolder(d, "src/Windows", {}, "System32/kernel32.dll"); },
         "src", "src/Windows"},
        {"an incomplete WINDOWS beside a complete Windows",
         [](const TempDir& d) {
             d.write("src/WINDOWS/System32/Kernel32.dll", {});
             makeSystemFolder(d, "src/Windows");
             makeSystemFolder(d, "src/WINNT");
         },
         "src", "src/Windows"},
        {"the three files in different spellings of System32",
         [](const TempDir& d) {
             d.write("src/WINDOWS/System32/Kernel32.dll", {});
             d.write("src/WINDOWS/SYSTEM32/config/SOFTWARE", {});
             d.write("src/WINDOWS/system32/CONFIG/SYSTEM", {});
             d.write("src/WINDOWS/system32/config/software", {});
         },
         "src", "src/WINDOWS"},
        {"every component in another case",
         [](const TempDir& d) {
             d.write("src/winnt/SYSTEM32/Config/software", {});
             d.write("src/winnt/SYSTEM32/Config/system", {});
             d.write("src/winnt/SYSTEM32/KERNEL32.DLL", {});
         },
         "src", "src/winnt"},
    };
    for (const RootCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        c.build(dir);
        QString root = QStringLiteral("unchanged?");
        const bool found = FindSystemRoot(dir.file(QLatin1String(c.captured)), root);
        EXPECT_EQ(found, c.expected != nullptr);
        if (c.expected) {
            EXPECT_EQ(root, dir.file(QLatin1String(c.expected)));
        }
    }
}

TEST(FindSystemRoot, AFolderThatIsTheDriveRoot)
{
    // "/" with its one slash dropped tries "/WINDOWS" and so on, not "//WINDOWS".
    QString root;
    const bool found = FindSystemRoot(QStringLiteral("/"), root);
    if (!found) {
        EXPECT_EQ(root, QStringLiteral("/IA64")) << "the last candidate tried";
    }
}

TEST(PathLookup, EveryLetterCaseVariantExactFirstThenByteOrder)
{
    TempDir dir;
    dir.write("Windows/System32/kernel32.dll", "MZ");
    dir.write("Windows/System32/config/SOFTWARE", "regf");
    // Several spellings of one folder, each holding a different file.
    dir.write("Both/windows/a", "lower");
    dir.write("Both/WINDOWS/b", "upper");
    dir.write("Both/Windows/c", "mixed");
    dir.write("Both/wINDOWS/b", "odd");
    dir.mkdir("Both/WINDOWS/Kernel32.dll");

    const QString base = dir.file("");
    const struct {
        const char* relative;
        const char* expected; // nullptr: not found
    } cases[] = {
        {"WINDOWS/SYSTEM32/Kernel32.dll", "Windows/System32/kernel32.dll"},
        {"Windows/System32/config/SOFTWARE", "Windows/System32/config/SOFTWARE"},
        {"WINDOWS/SYSTEM32", "Windows/System32"},
        {"Windows/System32/config/SAM", nullptr},
        {"Windows/System32/*.dll", nullptr},  // a wildcard in a fixed name is not a search
        {"Both/WINDOWS", "Both/WINDOWS"},     // the exact name first
        {"Both/windows/b", "Both/WINDOWS/b"}, // then the others in byte order
        {"Both/WINDOWS/a", "Both/windows/a"}, // an exact folder without it is left
        {"Both/windows/c", "Both/Windows/c"},
        {"Both/Windows/KERNEL32.DLL", "Both/WINDOWS/Kernel32.dll"}, // a folder counts too
        {"Both/windows/d", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.relative);
        EXPECT_EQ(ResolvePathCase(base, QLatin1String(c.relative)),
                  c.expected ? dir.file(QLatin1String(c.expected)) : QString());
    }
    // The base is taken as it is, never in another letter case.
    EXPECT_EQ(ResolvePathCase(dir.file("BOTH"), QStringLiteral("windows/a")), QString());
}

TEST(EnablePrivilege, TheTwoNamesAreGrantedOthersNot)
{
    SetPrivilegesHeld(true);
    EXPECT_TRUE(EnablePrivilege(QStringLiteral("SeBackupPrivilege")));
    EXPECT_TRUE(EnablePrivilege(QStringLiteral("SeRestorePrivilege")));
    LUID backup{};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, u"sebackupprivilege", &backup));
    EXPECT_TRUE(IsPrivilegeEnabled(backup));
    EXPECT_FALSE(EnablePrivilege(QStringLiteral("SeDebugPrivilege")));
    EXPECT_FALSE(EnablePrivilege(QString()));

    // A process that does not hold them: the call succeeds, the last error says otherwise.
    SetPrivilegesHeld(false);
    EXPECT_FALSE(EnablePrivilege(QStringLiteral("SeBackupPrivilege")));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ALL_ASSIGNED);
    EXPECT_FALSE(IsPrivilegeEnabled(backup));
    SetPrivilegesHeld(true);

    // A token opened without the right to adjust is refused.
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES set{1, {{backup, SE_PRIVILEGE_ENABLED}}};
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &set, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(42), TOKEN_QUERY, &token));
}

} // namespace
