// Version resources over our PE reader.

#include "platform/VersionInfo.h"

#include "platform/Kernel.h"
#include "platform/PeReader.h"

#include <QStringView>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// A missing file is ERROR_FILE_NOT_FOUND when its folder exists, else ERROR_PATH_NOT_FOUND.
DWORD openError(int err, const std::string& path)
{
    if (err != ENOENT)
        return ErrorFromErrno(err);
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat st {};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                   : ERROR_PATH_NOT_FOUND;
}

// Reads the version resource of a file on disk; nullopt with the last error set.
std::optional<std::vector<BYTE>> loadVersionResource(LPCWSTR fileName)
{
    if (!fileName || !*fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    const std::string path = toUtf8(fileName);
    // O_NONBLOCK: a FIFO in place of the file must not block the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(openError(errno, path));
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return std::nullopt;
    }
    DWORD error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    auto block = readVersionResource(PeSource(fd, static_cast<std::uint64_t>(st.st_size)), &error);
    ::close(fd);
    if (!block)
        SetLastError(error);
    return block;
}

std::vector<std::u16string> splitKeys(LPCWSTR subBlock)
{
    std::vector<std::u16string> keys;
    std::u16string current;
    for (LPCWSTR p = subBlock; p && *p; ++p) {
        if (*p == u'\\') {
            if (!current.empty())
                keys.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(*p);
        }
    }
    if (!current.empty())
        keys.push_back(std::move(current));
    return keys;
}

} // namespace

DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle)
{
    if (handle)
        *handle = 0;
    const auto block = loadVersionResource(fileName);
    if (!block)
        return 0;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(block->size());
}

BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD len, LPVOID data)
{
    (void)handle;
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto block = loadVersionResource(fileName);
    if (!block)
        return FALSE;
    if (len < block->size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(data, block->data(), block->size());
    std::memset(static_cast<BYTE*>(data) + block->size(), 0, len - block->size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* len)
{
    if (!block || !subBlock || !buffer || !len)
        return FALSE;
    const auto* bytes = static_cast<const BYTE*>(block);
    // The block is trusted only as far as its root's declared length, which
    // GetFileVersionInfoW guarantees lies inside the caller's buffer.
    const std::size_t length = static_cast<std::size_t>(bytes[0] | (bytes[1] << 8));
    const std::span<const BYTE> span(bytes, length);
    const std::vector<std::u16string> keys = splitKeys(subBlock);

    VersionNode node;
    if (!findVersionNode(span, keys, node))
        return FALSE;
    if (keys.empty()) {
        if (node.valueBytes < sizeof(VS_FIXEDFILEINFO))
            return FALSE;
        DWORD signature;
        std::memcpy(&signature, bytes + node.valueOffset, sizeof signature);
        if (signature != VS_FFI_SIGNATURE)
            return FALSE;
        *buffer = const_cast<BYTE*>(bytes + node.valueOffset);
        *len = sizeof(VS_FIXEDFILEINFO);
        return TRUE;
    }
    // Values below StringFileInfo are strings whatever type their node claims, so a caller
    // that reads *len characters stays inside the value.
    const bool text =
        node.type == 1 ||
        QStringView(keys.front()).compare(u"StringFileInfo", Qt::CaseInsensitive) == 0;
    if (text) {
        *buffer = const_cast<BYTE*>(bytes + node.valueOffset);
        *len = static_cast<UINT>(node.valueBytes / 2);
        return TRUE;
    }
    if (node.valueBytes == 0)
        return FALSE;
    *buffer = const_cast<BYTE*>(bytes + node.valueOffset);
    *len = static_cast<UINT>(node.valueBytes);
    return TRUE;
}
