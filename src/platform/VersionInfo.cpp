// Version resources over our PE reader.

#include "platform/VersionInfo.h"

#include "platform/FileAccess.h"
#include "platform/Kernel.h"
#include "platform/PeReader.h"

#include <QStringView>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

namespace {

// Reads the version resource of a file on disk; nullopt with the last error set.
std::optional<std::vector<BYTE>> loadVersionResource(LPCWSTR fileName)
{
    if (!fileName || !*fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    const std::string path = toUtf8(fileName);
    // A FIFO in place of the file must not block the caller; only a regular file is read.
    int openErr = 0;
    struct stat st {};
    const UniqueFd fd = openRegularFile(path, O_RDONLY, openErr, &st);
    if (!fd) {
        SetLastError(ErrorFromOpenRegularFile(openErr, path));
        return std::nullopt;
    }
    DWORD error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    auto block =
        readVersionResource(PeSource(fd.get(), static_cast<std::uint64_t>(st.st_size)), &error);
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
