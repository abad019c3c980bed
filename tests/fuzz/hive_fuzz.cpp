// Feeds arbitrary bytes as a hive file to the registry layer and walks whatever it loads:
// every key (to a bounded depth and count), every subkey name and the values the program
// reads. Hostile hives must fail cleanly, never crash or leak the loaded name.
#include "platform/Registry.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

int visited = 0;

void walk(HKEY key, int depth)
{
    if (depth > 8 || ++visited > 2000)
        return;
    for (const char16_t* name : {u"", u"LCID", u"HardwareID", u"EditionID", u"SystemRoot"}) {
        DWORD size = 0;
        DWORD type = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
            std::basic_string<BYTE> data(size, 0);
            DWORD got = size;
            if (RegQueryValueExW(key, name, nullptr, nullptr, data.data(), &got) == ERROR_SUCCESS &&
                got != size)
                std::abort();
        }
    }
    for (DWORD index = 0; index < 64; ++index) {
        WCHAR name[260];
        DWORD length = 260;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        if (length >= 260 || name[length] != 0)
            std::abort();
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) == ERROR_SUCCESS) {
            walk(child, depth + 1);
            RegCloseKey(child);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // hivex reads files only; an anonymous memory file stands in for one.
    const int fd = memfd_create("hive", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::u16string widePath(path.begin(), path.end());
    if (RegLoadKeyW(HKEY_LOCAL_MACHINE, u"FUZZ", widePath.c_str()) == ERROR_SUCCESS) {
        HKEY root = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"FUZZ", 0, KEY_READ, &root) == ERROR_SUCCESS) {
            visited = 0;
            walk(root, 0);
            RegCloseKey(root);
        }
        if (RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"FUZZ") != ERROR_SUCCESS)
            std::abort();
    }
    close(fd);
    return 0;
}
