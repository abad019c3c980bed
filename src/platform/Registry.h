// The registry calls the program makes, over hivex. There is no live registry on Linux:
// HKEY_LOCAL_MACHINE holds only the hive files loaded below it with RegLoadKeyW, each opened
// read-only and kept in memory until RegUnLoadKeyW. Values are returned as the hive stores
// them (strings as UTF-16 bytes, terminators included when the hive has them).
//
// Every call returns an LSTATUS (ERROR_SUCCESS or an error code) and leaves the thread's
// last-error code alone, as the platform's registry calls do. All calls are thread-safe.
// A corrupt or hostile hive file makes the call that meets the damage fail (ERROR_BADDB when
// loading, ERROR_REGISTRY_CORRUPT later); it never crashes the program.
#pragma once

#include "WinTypes.h"

struct RegistryKey;
using HKEY = RegistryKey*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

// Predefined root keys. Only HKEY_LOCAL_MACHINE can hold loaded hives; the others exist
// and are empty.
inline HKEY const HKEY_CLASSES_ROOT =
    reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000));
inline HKEY const HKEY_CURRENT_USER =
    reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001));
inline HKEY const HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002));
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000003));

// Access rights (recorded, not enforced: every loaded hive is read-only).
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x20019;

// Value types, as stored in a hive.
enum : DWORD {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_DWORD_BIG_ENDIAN = 5,
    REG_LINK = 6,
    REG_MULTI_SZ = 7,
    REG_RESOURCE_LIST = 8,
    REG_FULL_RESOURCE_DESCRIPTOR = 9,
    REG_RESOURCE_REQUIREMENTS_LIST = 10,
    REG_QWORD = 11,
};

// Loads the hive file `file` below `key` (HKEY_LOCAL_MACHINE or HKEY_USERS) under the name
// `subKey` (one path component, no backslash). The file is read whole and checked; later
// changes to it are not seen. A name can be loaded once at a time (letters compared without
// case): a second load of a loaded name fails with ERROR_ALREADY_EXISTS.
// Errors: ERROR_INVALID_PARAMETER (bad root or name), ERROR_FILE_NOT_FOUND /
// ERROR_PATH_NOT_FOUND / ERROR_ACCESS_DENIED (file cannot be opened), ERROR_BADDB (not a
// hive, or corrupt), ERROR_NOT_ENOUGH_MEMORY.
LSTATUS RegLoadKeyW(HKEY key, LPCWSTR subKey, LPCWSTR file);
// Unloads the hive loaded under `subKey`; the name is free again at once. Key handles still
// open on it stay valid (they keep the hive's data alive) until closed.
// ERROR_INVALID_PARAMETER when no hive of that name is loaded.
LSTATUS RegUnLoadKeyW(HKEY key, LPCWSTR subKey);

// Opens `subKey` below `key`. The path is split at backslashes; each component is matched
// without letter case. Below a root key the first component names a loaded hive. An empty
// or null subKey opens `key` itself again. ERROR_FILE_NOT_FOUND when a component does not
// exist, ERROR_INVALID_HANDLE for a handle that is not open.
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM samDesired, PHKEY result);
// Closes a handle from RegOpenKeyExW; closing a root key does nothing.
LSTATUS RegCloseKey(HKEY key);

// Reads value `valueName` (null or empty: the key's default value; letters compared without
// case). type receives the stored type when not null. With data null, *cbData receives the
// size in bytes. With data, *cbData gives the buffer size: when it is too small the call
// fails with ERROR_MORE_DATA and *cbData receives the size needed; otherwise the bytes are
// copied as stored and *cbData receives their count. Data without cbData is
// ERROR_INVALID_PARAMETER. A missing value is ERROR_FILE_NOT_FOUND.
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* data,
                         LPDWORD cbData);

// Names the subkey at `index` (0-based, in the hive's order). *cchName gives the buffer size
// in characters including the terminator and receives the length without it. Errors:
// ERROR_NO_MORE_ITEMS past the last subkey, ERROR_MORE_DATA when the name does not fit
// (*cchName unchanged). Class names are always empty; lastWriteTime receives the key's time.
// Below a root key the loaded hive names are listed.
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD cchName, LPDWORD reserved,
                      LPWSTR className, LPDWORD cchClass, FILETIME* lastWriteTime);
