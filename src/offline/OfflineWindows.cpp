// The detection run: system folder, privileges, hive copies, loading and clean-up.

#include "offline/OfflineWindows.h"

#include "platform/Files.h"
#include "platform/Kernel.h"
#include "platform/Privileges.h"
#include "platform/Registry.h"

#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <vector>

namespace {

QString withoutTrailingSlash(QString path)
{
    if (!path.isEmpty() && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

const QString kKernelFile = QStringLiteral("System32/Kernel32.dll");
const QString kSoftwareHive = QStringLiteral("System32/config/SOFTWARE");
const QString kSystemHive = QStringLiteral("System32/config/SYSTEM");

// Whether the folder that `copyPath` is written to lies inside the captured folder once
// symbolic links are followed. A hostile tree (a config folder that links elsewhere) must not
// make detection create or delete files outside what was captured.
bool insideCapturedFolder(const QString& capturedFolder, const QString& copyPath)
{
    const QString folder = QFileInfo(QFileInfo(copyPath).absolutePath()).canonicalFilePath();
    QString base = QFileInfo(capturedFolder).canonicalFilePath();
    if (folder.isEmpty() || base.isEmpty())
        return false;
    if (!base.endsWith(u'/'))
        base += u'/';
    return folder.startsWith(base);
}

// Undoes whatever the run has done so far when it goes out of scope: unloads the keys it
// loaded (SYSTEM first) and, once copying has begun, deletes both copy paths (SOFTWARE
// first), so that neither a half-done copy nor one left by an interrupted earlier run
// remains.
class HiveCleanup {
public:
    explicit HiveCleanup(const OfflineHive& software, const OfflineHive& system)
        : software_(software), system_(system)
    {
    }
    ~HiveCleanup()
    {
        if (systemLoaded)
            RegUnLoadKeyW(HKEY_LOCAL_MACHINE, wide(system_.keyName));
        if (softwareLoaded)
            RegUnLoadKeyW(HKEY_LOCAL_MACHINE, wide(software_.keyName));
        if (copying) {
            DeleteFileW(wide(software_.copyPath));
            DeleteFileW(wide(system_.copyPath));
        }
    }
    HiveCleanup(const HiveCleanup&) = delete;
    HiveCleanup& operator=(const HiveCleanup&) = delete;

    bool copying = false;
    bool softwareLoaded = false;
    bool systemLoaded = false;

private:
    const OfflineHive& software_;
    const OfflineHive& system_;
};

// The entries of `folder` named `name` without regard to letter case, in a fixed order: the
// exact name first when it is present, then the others in byte order (the platform's search
// lists a folder in that order). A listed entry counts as present even when its attributes
// cannot be read.
QStringList caseVariants(const QString& folder, const QString& name)
{
    QStringList others;
    bool exactPresent = GetFileAttributesW(wide(folder + u'/' + name)) != INVALID_FILE_ATTRIBUTES;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide(folder + QStringLiteral("/*")), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const QString entry = QString::fromUtf16(found.cFileName);
            if (entry == name)
                exactPresent = true;
            else if (entry.compare(name, Qt::CaseInsensitive) == 0)
                others.append(entry);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    if (exactPresent)
        others.prepend(name);
    return others;
}

// parts[index], parts[index + 1], ... below `folder`, depth first over the letter-case
// variants of each component; empty when no variant leads to an existing entry.
QString findVariant(const QString& folder, const QStringList& parts, qsizetype index)
{
    if (index == parts.size())
        return folder;
    // The exact name is tried without listing the folder: System32 holds thousands of entries.
    const QString exact = folder + u'/' + parts[index];
    const bool exactPresent = GetFileAttributesW(wide(exact)) != INVALID_FILE_ATTRIBUTES;
    if (exactPresent) {
        QString found = findVariant(exact, parts, index + 1);
        if (!found.isEmpty())
            return found;
    }
    for (const QString& variant : caseVariants(folder, parts[index])) {
        if (exactPresent && variant == parts[index])
            continue;
        QString found = findVariant(folder + u'/' + variant, parts, index + 1);
        if (!found.isEmpty())
            return found;
    }
    return {};
}

} // namespace

QString ResolvePathCase(const QString& base, const QString& relative)
{
    return findVariant(withoutTrailingSlash(base), relative.split(u'/', Qt::SkipEmptyParts), 0);
}

bool IsSystemRoot(const QString& candidate)
{
    const QString root = withoutTrailingSlash(candidate);
    return !ResolvePathCase(root, kSoftwareHive).isEmpty() &&
           !ResolvePathCase(root, kSystemHive).isEmpty() &&
           !ResolvePathCase(root, kKernelFile).isEmpty();
}

bool FindSystemRoot(const QString& capturedFolder, QString& root)
{
    const QString folder = withoutTrailingSlash(capturedFolder);
    for (const char* name : {"WINDOWS", "WINNT", "I386", "AMD64", "IA64"}) {
        root = folder + u'/' + QLatin1String(name);
        for (const QString& variant : caseVariants(folder, QLatin1String(name))) {
            if (IsSystemRoot(folder + u'/' + variant)) {
                root = folder + u'/' + variant;
                return true;
            }
        }
    }
    return false;
}

bool EnablePrivilege(const QString& privilegeName)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    if (!LookupPrivilegeValueW(nullptr, wide(privilegeName), &privileges.Privileges[0].Luid))
        return false;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    return GetLastError() == ERROR_SUCCESS;
}

void ReadRegistryString(const QString& subKeyPath, const QString& valueName, QString& value)
{
    value.clear();
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(subKeyPath), 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return;
    DWORD size = 0;
    if (RegQueryValueExW(key, wide(valueName), nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        // Room for an odd last byte as well as the terminator: with size / 2 + 1 characters
        // an odd-sized value would overwrite the terminator and the text would run on.
        std::vector<WCHAR> buffer((size + 1) / 2 + 1, 0);
        DWORD bytes = size;
        if (RegQueryValueExW(key, wide(valueName), nullptr, nullptr,
                             reinterpret_cast<BYTE*>(buffer.data()), &bytes) == ERROR_SUCCESS) {
            const auto end = std::find(buffer.begin(), buffer.end(), WCHAR(0));
            value = QString::fromUtf16(buffer.data(), end - buffer.begin());
        }
    }
    RegCloseKey(key);
}

void DetectOfflineWindows(HANDLE image, const XmlErrorReport& onXmlError,
                          const QString& capturedFolder)
{
    // Nothing of detection may reach the capture's error reporting.
    const DWORD savedError = GetLastError();
    struct RestoreError {
        DWORD code;
        ~RestoreError() { SetLastError(code); }
    } restore{savedError};

    QString root;
    if (!FindSystemRoot(capturedFolder, root))
        return;
    const QString kernelPath = ResolvePathCase(root, kKernelFile);
    OfflineHive software{ResolvePathCase(root, kSoftwareHive), {}, QStringLiteral("OFL_SOFTWARE")};
    OfflineHive system{ResolvePathCase(root, kSystemHive), {}, QStringLiteral("OFL_SYSTEM")};
    if (kernelPath.isEmpty() || software.sourcePath.isEmpty() || system.sourcePath.isEmpty())
        return; // gone since the folder was found

    if (!EnablePrivilege(QStringLiteral("SeBackupPrivilege")) ||
        !EnablePrivilege(QStringLiteral("SeRestorePrivilege")))
        return;

    software.copyPath = software.sourcePath + QStringLiteral(".OFL");
    system.copyPath = system.sourcePath + QStringLiteral(".OFL");

    if (!insideCapturedFolder(capturedFolder, software.copyPath) ||
        !insideCapturedFolder(capturedFolder, system.copyPath))
        return;

    WindowsDescriptor descriptor;
    {
        HiveCleanup cleanup(software, system);
        cleanup.copying = true;
        if (!CopyFileW(wide(software.sourcePath), wide(software.copyPath), FALSE) ||
            !CopyFileW(wide(system.sourcePath), wide(system.copyPath), FALSE))
            return;
        if (RegLoadKeyW(HKEY_LOCAL_MACHINE, wide(software.keyName), wide(software.copyPath)) !=
            ERROR_SUCCESS)
            return;
        cleanup.softwareLoaded = true;
        if (RegLoadKeyW(HKEY_LOCAL_MACHINE, wide(system.keyName), wide(system.copyPath)) !=
            ERROR_SUCCESS)
            return;
        cleanup.systemLoaded = true;
        ReadWindowsDescriptor(descriptor, kernelPath);
    } // keys unloaded and copies deleted before the image information is touched

    WriteWindowsElement(onXmlError, image, descriptor);
}
