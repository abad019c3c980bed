// The detection run: system folder, privileges, hive copies, loading and clean-up.

#include "offline/OfflineWindows.h"

#include "platform/Kernel.h"
#include "platform/Privileges.h"
#include "platform/Registry.h"

#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <vector>

namespace {

LPCWSTR wide(const QString& text)
{
    return reinterpret_cast<LPCWSTR>(text.utf16());
}

QString withoutTrailingSlash(QString path)
{
    if (!path.isEmpty() && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

const QString kKernelFile = QStringLiteral("/System32/Kernel32.dll");
const QString kSoftwareHive = QStringLiteral("/System32/config/SOFTWARE");
const QString kSystemHive = QStringLiteral("/System32/config/SYSTEM");

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

bool hasWildcard(const QString& name)
{
    return name.contains(u'*') || name.contains(u'?');
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

} // namespace

QString ResolvePathCase(const QString& path)
{
    if (path.isEmpty() || GetFileAttributesW(wide(path)) != INVALID_FILE_ATTRIBUTES)
        return path;
    const QStringList parts = path.split(u'/');
    QString current = parts.front(); // empty for an absolute path
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const QString& part = parts[i];
        const QString exact = current + u'/' + part;
        if (part.isEmpty() || GetFileAttributesW(wide(exact)) != INVALID_FILE_ATTRIBUTES ||
            hasWildcard(part)) {
            current = exact;
            continue;
        }
        // The directory search matches the last component without letter case.
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW(wide(exact), &found);
        if (search == INVALID_HANDLE_VALUE)
            return path;
        FindClose(search);
        current += u'/' + QString::fromUtf16(found.cFileName);
    }
    return current;
}

DWORD GetPathAttributes(const QString& path)
{
    const DWORD attributes = GetFileAttributesW(wide(path));
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return attributes;
    WIN32_FIND_DATAW found;
    if (!hasWildcard(path.section(u'/', -1))) {
        HANDLE search = FindFirstFileW(wide(path), &found);
        if (search != INVALID_HANDLE_VALUE) {
            FindClose(search);
            return found.dwFileAttributes;
        }
    }
    const QString resolved = ResolvePathCase(path);
    if (resolved == path)
        return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(wide(resolved));
}

bool IsSystemRoot(const QString& candidate)
{
    const QString root = withoutTrailingSlash(candidate);
    return GetPathAttributes(root + kSoftwareHive) != INVALID_FILE_ATTRIBUTES &&
           GetPathAttributes(root + kSystemHive) != INVALID_FILE_ATTRIBUTES &&
           GetPathAttributes(root + kKernelFile) != INVALID_FILE_ATTRIBUTES;
}

bool FindSystemRoot(const QString& capturedFolder, QString& root)
{
    const QString folder = withoutTrailingSlash(capturedFolder);
    for (const char* name : {"/WINDOWS", "/WINNT", "/I386", "/AMD64", "/IA64"}) {
        root = folder + QLatin1String(name);
        if (IsSystemRoot(root)) {
            root = ResolvePathCase(root);
            return true;
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
    const QString kernelPath = ResolvePathCase(root + kKernelFile);
    OfflineHive software{ResolvePathCase(root + kSoftwareHive), {}, QStringLiteral("OFL_SOFTWARE")};
    OfflineHive system{ResolvePathCase(root + kSystemHive), {}, QStringLiteral("OFL_SYSTEM")};

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
