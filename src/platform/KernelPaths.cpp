// The path services of the platform: full paths, the temporary folder and its file names, the
// running executable's path.
#include "platform/Kernel.h"

#include "platform/Errors.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Writes text into buffer the way the path calls do: the length on success, the size
// needed (with terminator) when it does not fit.
DWORD putPath(const std::u16string& text, DWORD bufferLength, LPWSTR buffer)
{
    if (text.size() + 1 > bufferLength || !buffer)
        return static_cast<DWORD>(text.size() + 1);
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = 0;
    return static_cast<DWORD>(text.size());
}

} // namespace

DWORD GetFullPathNameW(LPCWSTR fileName, DWORD bufferLength, LPWSTR buffer, LPWSTR* filePart)
{
    if (!fileName || !*fileName) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    std::u16string input(fileName);
    std::u16string base;
    if (input[0] != u'/') {
        std::vector<char> cwd(PATH_MAX);
        while (!getcwd(cwd.data(), cwd.size())) {
            const int err = errno;
            if (err != ERANGE) {
                SetLastError(ErrorFromErrno(err));
                return 0;
            }
            cwd.resize(cwd.size() * 2);
        }
        base = fromUtf8(cwd.data());
        base.push_back(u'/');
    }
    const std::u16string whole = base + input;
    const bool trailingSlash = whole.size() > 1 && whole.back() == u'/';
    // Lexical clean-up: drop "." and empty parts, resolve ".." against the parts before it.
    std::vector<std::u16string> parts;
    std::size_t pos = 0;
    while (pos <= whole.size()) {
        std::size_t next = whole.find(u'/', pos);
        if (next == std::u16string::npos)
            next = whole.size();
        std::u16string part = whole.substr(pos, next - pos);
        if (part == u"..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(std::move(part));
        }
        pos = next + 1;
    }
    std::u16string result;
    for (const auto& part : parts) {
        result.push_back(u'/');
        result += part;
    }
    if (result.empty() || trailingSlash)
        result.push_back(u'/');
    const DWORD r = putPath(result, bufferLength, buffer);
    if (filePart && r == result.size()) {
        const auto slash = result.rfind(u'/');
        *filePart = (slash + 1 < result.size()) ? buffer + slash + 1 : nullptr;
    }
    return r;
}

DWORD GetTempPathW(DWORD bufferLength, LPWSTR buffer)
{
    std::u16string path = u"/tmp/";
    if (const char* tmp = std::getenv("TMPDIR"); tmp && tmp[0] == '/') {
        path = fromUtf8(tmp);
        if (path.back() != u'/')
            path.push_back(u'/');
    }
    return putPath(path, bufferLength, buffer);
}

UINT GetTempFileNameW(LPCWSTR pathName, LPCWSTR prefixString, UINT unique, LPWSTR tempFileName)
{
    if (!pathName || !tempFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string dir(pathName);
    if (dir.empty() || dir.back() != u'/')
        dir.push_back(u'/');
    std::u16string prefix = prefixString ? std::u16string(prefixString).substr(0, 3) : u"";
    auto makeName = [&](UINT n) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%X", n & 0xFFFF);
        std::u16string name = dir + prefix;
        appendUtf8(name, hex);
        name += u".tmp";
        return name;
    };
    if (unique != 0) {
        const std::u16string name = makeName(unique);
        if (name.size() + 1 > MAX_PATH) {
            SetLastError(ERROR_BUFFER_OVERFLOW);
            return 0;
        }
        wstrCopy(tempFileName, MAX_PATH, name.c_str());
        return unique;
    }
    UINT n = static_cast<UINT>((timeGetTime() ^ static_cast<UINT>(getpid())) & 0xFFFF);
    for (int attempt = 0; attempt < 0x10000; ++attempt, n = (n + 1) & 0xFFFF) {
        if (n == 0)
            continue;
        const std::u16string name = makeName(n);
        if (name.size() + 1 > MAX_PATH) {
            SetLastError(ERROR_BUFFER_OVERFLOW);
            return 0;
        }
        const UniqueFd created(
            open(toUtf8(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (created) {
            wstrCopy(tempFileName, MAX_PATH, name.c_str());
            return n;
        }
        if (const int err = errno; err != EEXIST) {
            SetLastError(ErrorFromErrnoForFolder(err));
            return 0;
        }
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
}

DWORD GetModuleFileNameW(HMODULE, LPWSTR fileName, DWORD size)
{
    std::vector<char> buf(PATH_MAX);
    ssize_t n;
    while ((n = readlink("/proc/self/exe", buf.data(), buf.size())) >= 0 &&
           static_cast<std::size_t>(n) == buf.size())
        buf.resize(buf.size() * 2);
    if (n < 0) {
        SetLastError(ErrorFromErrno(errno));
        return 0;
    }
    const std::u16string path = fromUtf8(std::string(buf.data(), static_cast<std::size_t>(n)));
    if (size == 0 || !fileName) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() + 1 > size) {
        wstrCopy(fileName, size, path.c_str());
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    wstrCopy(fileName, size, path.c_str());
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

QString fullPathOf(const QString& path)
{
    std::vector<WCHAR> buffer(MAX_PATH);
    DWORD n =
        GetFullPathNameW(wide(path), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n >= buffer.size()) {
        buffer.resize(n);
        n = GetFullPathNameW(wide(path), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    }
    if (n == 0 || n >= buffer.size())
        return path;
    return QString::fromUtf16(buffer.data(), static_cast<qsizetype>(n));
}

QString tempFolderPath()
{
    std::vector<WCHAR> buffer(MAX_PATH);
    DWORD n = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (n >= buffer.size()) {
        buffer.resize(n);
        n = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    return QString::fromUtf16(buffer.data(), static_cast<qsizetype>(n < buffer.size() ? n : 0));
}
