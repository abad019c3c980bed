// Registry over hivex: a process-wide table of loaded hives below the root keys and a set
// of open key handles, both guarded by one mutex that also serialises every hivex call.

#include "platform/Registry.h"

#include "platform/Errors.h"
#include "platform/FileAccess.h"
#include "platform/Kernel.h"

#include <QString>
#include <QStringList>

#include <hivex.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

// Hive cell offsets are 32-bit, so no valid hive file is larger than this; refusing bigger
// files keeps a hostile file from making us read gigabytes into memory.
constexpr off_t kMaxHiveFileSize = off_t(0x80000000) + 0x1000;

// A loaded hive: owns its hivex handle.
struct Hive {
    Hive(hive_h* h, const QString& hiveName) : handle(h), name(hiveName) {}
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;
    ~Hive() { hivex_close(handle); }

    hive_h* const handle;
    const QString name;
};

enum class RootKind { None, LocalMachine, Users, Other };

RootKind rootKind(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE)
        return RootKind::LocalMachine;
    if (key == HKEY_USERS)
        return RootKind::Users;
    if (key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER)
        return RootKind::Other;
    return RootKind::None;
}

} // namespace

struct RegistryKey {
    std::shared_ptr<Hive> hive;
    hive_node_h node = 0;
    std::optional<std::vector<hive_node_h>> children; // filled by the first enumeration
};

namespace {

struct RegistryState {
    std::mutex mutex;
    std::vector<std::shared_ptr<Hive>> localMachine; // in load order
    std::vector<std::shared_ptr<Hive>> users;
    std::unordered_set<RegistryKey*> openKeys;
};

RegistryState& state()
{
    static RegistryState s;
    return s;
}

std::vector<std::shared_ptr<Hive>>* hiveTable(RegistryState& s, RootKind kind)
{
    switch (kind) {
    case RootKind::LocalMachine:
        return &s.localMachine;
    case RootKind::Users:
        return &s.users;
    default:
        return nullptr;
    }
}

bool sameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString fromWide(LPCWSTR text)
{
    if (!text)
        return {};
    return QString::fromUtf16(text);
}

// hivex hands out malloc'ed memory.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using CPtr = std::unique_ptr<T, FreeDeleter>;

QString nodeName(hive_h* h, hive_node_h node)
{
    CPtr<char> name(hivex_node_name(h, node));
    return name ? QString::fromUtf8(name.get()) : QString();
}

// The children of a node in the hive's order; nullopt when the hive is damaged there.
std::optional<std::vector<hive_node_h>> nodeChildren(hive_h* h, hive_node_h node)
{
    CPtr<hive_node_h> list(hivex_node_children(h, node));
    if (!list)
        return std::nullopt;
    std::vector<hive_node_h> result;
    for (hive_node_h* p = list.get(); *p; ++p)
        result.push_back(*p);
    return result;
}

// Resolves `key` to a RegistryKey view: either a root (kind set) or a node of a hive.
// Returns false for a handle that is neither a root key nor open.
bool lookupHandle(RegistryState& s, HKEY key, RootKind& root, RegistryKey*& open)
{
    root = rootKind(key);
    open = nullptr;
    if (root != RootKind::None)
        return true;
    if (!key || !s.openKeys.count(key))
        return false;
    open = key;
    return true;
}

std::vector<QString> splitPath(const QString& path)
{
    std::vector<QString> parts;
    if (path.isEmpty())
        return parts;
    QString p = path;
    if (p.endsWith(u'\\'))
        p.chop(1);
    for (const QString& part : p.split(u'\\'))
        parts.push_back(part);
    return parts;
}

} // namespace

LSTATUS RegLoadKeyW(HKEY key, LPCWSTR subKey, LPCWSTR file)
{
    RegistryState& s = state();
    const RootKind kind = rootKind(key);
    const QString name = fromWide(subKey);
    if ((kind != RootKind::LocalMachine && kind != RootKind::Users) || name.isEmpty() ||
        name.contains(u'\\') || !file || !*file)
        return ERROR_INVALID_PARAMETER;

    {
        std::lock_guard lock(s.mutex);
        for (const auto& hive : *hiveTable(s, kind))
            if (sameName(hive->name, name))
                return ERROR_ALREADY_EXISTS;
    }

    // Open the file ourselves first: a FIFO or device planted in place of a hive must not
    // block or be read, and hivex then reads exactly the file we checked.
    const std::string path = toUtf8(file);
    int openErr = 0;
    struct stat st {};
    const UniqueFd fd = openRegularFile(path, O_RDONLY, openErr, &st);
    if (!fd) {
        if (openErr == EISDIR)
            return ERROR_ACCESS_DENIED;
        return static_cast<LSTATUS>(openErr == ENXIO ? ERROR_BADDB
                                                     : ErrorFromErrnoForFile(openErr, path));
    }
    if (st.st_size > kMaxHiveFileSize)
        return ERROR_BADDB;
    const std::string fdPath = "/proc/self/fd/" + std::to_string(fd.get());
    const std::string& openPath = ::access(fdPath.c_str(), F_OK) == 0 ? fdPath : path;

    // HIVEX_OPEN_WRITE makes hivex read the whole file into memory instead of mapping it, so
    // a file truncated behind our back cannot fault the process; nothing is ever committed.
    hive_h* h = hivex_open(openPath.c_str(), HIVEX_OPEN_WRITE);
    if (!h)
        return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BADDB;
    auto hive = std::make_shared<Hive>(h, name);
    if (hivex_root(h) == 0)
        return ERROR_BADDB;

    std::lock_guard lock(s.mutex);
    auto* table = hiveTable(s, kind);
    for (const auto& other : *table)
        if (sameName(other->name, name))
            return ERROR_ALREADY_EXISTS; // loaded by another thread meanwhile
    table->push_back(std::move(hive));
    return ERROR_SUCCESS;
}

LSTATUS RegUnLoadKeyW(HKEY key, LPCWSTR subKey)
{
    RegistryState& s = state();
    const QString name = fromWide(subKey);
    std::lock_guard lock(s.mutex);
    auto* table = hiveTable(s, rootKind(key));
    if (!table)
        return ERROR_INVALID_PARAMETER;
    for (auto it = table->begin(); it != table->end(); ++it) {
        if (sameName((*it)->name, name)) {
            // Open handles may still share the hive; whichever holder goes last closes it,
            // always under the lock.
            table->erase(it);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_INVALID_PARAMETER;
}

namespace {

// A key handle for `node` of `hive`, counted among the open keys (s.mutex held).
HKEY openKeyHandle(RegistryState& s, std::shared_ptr<Hive> hive, hive_node_h node)
{
    auto opened = std::make_unique<RegistryKey>();
    opened->hive = std::move(hive);
    opened->node = node;
    s.openKeys.insert(opened.get());
    return opened.release();
}

// Follows `parts` from `next` on below `node`, names compared without letter case.
LSTATUS walkDown(hive_h* hive, hive_node_h& node, const std::vector<QString>& parts,
                 std::size_t next)
{
    for (; next < parts.size(); ++next) {
        if (parts[next].isEmpty())
            return ERROR_FILE_NOT_FOUND;
        const auto children = nodeChildren(hive, node);
        if (!children)
            return ERROR_REGISTRY_CORRUPT;
        hive_node_h found = 0;
        for (hive_node_h child : *children) {
            if (sameName(nodeName(hive, child), parts[next])) {
                found = child;
                break;
            }
        }
        if (!found)
            return ERROR_FILE_NOT_FOUND;
        node = found;
    }
    return ERROR_SUCCESS;
}

} // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM samDesired, PHKEY result)
{
    (void)options;
    (void)samDesired;
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    RegistryState& s = state();
    std::lock_guard lock(s.mutex);

    RootKind root;
    RegistryKey* base;
    if (!lookupHandle(s, key, root, base))
        return ERROR_INVALID_HANDLE;

    const std::vector<QString> parts = splitPath(fromWide(subKey));
    if (parts.empty()) {
        // A root key opened again is the root key itself.
        *result = base ? openKeyHandle(s, base->hive, base->node) : key;
        return ERROR_SUCCESS;
    }
    std::shared_ptr<Hive> hive;
    hive_node_h node = 0;
    std::size_t next = 0;
    if (!base) {
        auto* table = hiveTable(s, root);
        if (!table)
            return ERROR_FILE_NOT_FOUND;
        for (const auto& loaded : *table)
            if (sameName(loaded->name, parts[0]))
                hive = loaded;
        if (!hive)
            return ERROR_FILE_NOT_FOUND;
        node = hivex_root(hive->handle);
        next = 1;
    } else {
        hive = base->hive;
        node = base->node;
    }
    if (const LSTATUS status = walkDown(hive->handle, node, parts, next))
        return status;
    *result = openKeyHandle(s, std::move(hive), node);
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key)
{
    if (rootKind(key) != RootKind::None)
        return ERROR_SUCCESS;
    RegistryState& s = state();
    std::lock_guard lock(s.mutex);
    if (!key || !s.openKeys.erase(key))
        return ERROR_INVALID_HANDLE;
    delete key; // the hive goes with its last holder, under the lock like every hivex call
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                         LPDWORD cbData)
{
    (void)reserved;
    if (data && !cbData)
        return ERROR_INVALID_PARAMETER;
    RegistryState& s = state();
    std::lock_guard lock(s.mutex);
    RootKind root;
    RegistryKey* open;
    if (!lookupHandle(s, key, root, open))
        return ERROR_INVALID_HANDLE;
    if (!open || !open->hive)
        return ERROR_FILE_NOT_FOUND; // root keys hold no values here

    hive_h* h = open->hive->handle;
    const QString wanted = fromWide(valueName);
    CPtr<hive_value_h> values(hivex_node_values(h, open->node));
    if (!values)
        return ERROR_REGISTRY_CORRUPT;
    hive_value_h found = 0;
    for (hive_value_h* v = values.get(); *v; ++v) {
        CPtr<char> name(hivex_value_key(h, *v));
        if (!name)
            continue; // an unreadable name matches nothing
        if (sameName(QString::fromUtf8(name.get()), wanted)) {
            found = *v;
            break;
        }
    }
    if (!found)
        return ERROR_FILE_NOT_FOUND;

    hive_type storedType = hive_t_REG_NONE;
    std::size_t length = 0;
    // A value without data comes back as null too: only errno, read right after the call,
    // tells it from a failure.
    errno = 0;
    CPtr<char> bytes(hivex_value_value(h, found, &storedType, &length));
    const int err = errno;
    if (!bytes && (length != 0 || err != 0))
        return ERROR_REGISTRY_CORRUPT;
    if (length > 0xFFFFFFFFu)
        return ERROR_REGISTRY_CORRUPT;

    if (type)
        *type = static_cast<DWORD>(storedType);
    if (!data) {
        if (cbData)
            *cbData = static_cast<DWORD>(length);
        return ERROR_SUCCESS;
    }
    if (*cbData < length) {
        *cbData = static_cast<DWORD>(length);
        return ERROR_MORE_DATA;
    }
    if (length)
        std::memcpy(data, bytes.get(), length);
    *cbData = static_cast<DWORD>(length);
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cchName, LPDWORD reserved,
                      LPWSTR className, LPDWORD cchClass, FILETIME* lastWriteTime)
{
    (void)reserved;
    if (!name || !cchName)
        return ERROR_INVALID_PARAMETER;
    RegistryState& s = state();
    std::lock_guard lock(s.mutex);
    RootKind root;
    RegistryKey* open;
    if (!lookupHandle(s, key, root, open))
        return ERROR_INVALID_HANDLE;

    QString childName;
    std::int64_t time = 0;
    if (!open || !open->hive) {
        auto* table = hiveTable(s, root);
        if (!table || index >= table->size())
            return ERROR_NO_MORE_ITEMS;
        childName = (*table)[index]->name;
    } else {
        hive_h* h = open->hive->handle;
        if (!open->children) {
            open->children = nodeChildren(h, open->node);
            if (!open->children)
                return ERROR_REGISTRY_CORRUPT;
        }
        if (index >= open->children->size())
            return ERROR_NO_MORE_ITEMS;
        const hive_node_h child = (*open->children)[index];
        CPtr<char> raw(hivex_node_name(h, child));
        if (!raw)
            return ERROR_REGISTRY_CORRUPT;
        childName = QString::fromUtf8(raw.get());
        time = hivex_node_timestamp(h, child);
    }

    if (static_cast<std::size_t>(childName.size()) + 1 > *cchName)
        return ERROR_MORE_DATA;
    std::memcpy(name, childName.utf16(), childName.size() * sizeof(WCHAR));
    name[childName.size()] = 0;
    *cchName = static_cast<DWORD>(childName.size());
    if (className && cchClass && *cchClass > 0)
        className[0] = 0;
    if (cchClass)
        *cchClass = 0;
    if (lastWriteTime) {
        const auto t = static_cast<std::uint64_t>(time < 0 ? 0 : time);
        lastWriteTime->dwLowDateTime = static_cast<DWORD>(t);
        lastWriteTime->dwHighDateTime = static_cast<DWORD>(t >> 32);
    }
    return ERROR_SUCCESS;
}
