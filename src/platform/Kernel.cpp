#include "platform/Kernel.h"

#include "platform/Errors.h"
#include "platform/UniqueFd.h"

#include <QChar>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

thread_local DWORD tLastError = ERROR_SUCCESS;

// An entry of the string table, or of the system texts: the Chinese text and its English
// text (null until it is written).
struct StringEntry {
    UINT id;
    const char16_t* text;
    const char16_t* english = nullptr;
};

constexpr StringEntry kStringTable[] = {
#define TEXT_ROW(id, name, chinese, english) {id, chinese, english},
#include "StringTable.inc"
#undef TEXT_ROW
};

// System message texts of the codes the platform layers set, in Chinese and English. Each ends
// in a line feed, as the platform's texts end in a line break.
constexpr StringEntry kSystemMessages[] = {
    {ERROR_SUCCESS, u"操作成功完成。\n", u"The operation completed successfully.\n"},
    {ERROR_INVALID_FUNCTION, u"函数不正确。\n", u"Incorrect function.\n"},
    {ERROR_FILE_NOT_FOUND, u"系统找不到指定的文件。\n",
     u"The system cannot find the file specified.\n"},
    {ERROR_PATH_NOT_FOUND, u"系统找不到指定的路径。\n",
     u"The system cannot find the path specified.\n"},
    {ERROR_TOO_MANY_OPEN_FILES, u"系统无法打开文件。\n", u"The system cannot open the file.\n"},
    {ERROR_ACCESS_DENIED, u"拒绝访问。\n", u"Access is denied.\n"},
    {ERROR_INVALID_HANDLE, u"句柄无效。\n", u"The handle is invalid.\n"},
    {ERROR_NOT_ENOUGH_MEMORY, u"存储空间不足，无法处理此命令。\n",
     u"Not enough memory resources are available to process this command.\n"},
    {ERROR_BAD_FORMAT, u"试图加载格式不正确的程序。\n",
     u"An attempt was made to load a program with an incorrect format.\n"},
    {ERROR_INVALID_DATA, u"数据无效。\n", u"The data is invalid.\n"},
    {ERROR_OUTOFMEMORY, u"存储空间不足，无法完成此操作。\n",
     u"Not enough memory resources are available to complete this operation.\n"},
    {ERROR_WRITE_PROTECT, u"介质受写入保护。\n", u"The media is write protected.\n"},
    {ERROR_NOT_READY, u"设备未就绪。\n", u"The device is not ready.\n"},
    {ERROR_NO_MORE_FILES, u"没有更多文件。\n", u"There are no more files.\n"},
    {ERROR_CRC, u"数据错误(循环冗余检查)。\n", u"Data error (cyclic redundancy check).\n"},
    {ERROR_SEEK, u"驱动器无法找出磁盘上特定区域或磁道的位置。\n",
     u"The drive cannot locate a specific area or track on the disk.\n"},
    {ERROR_WRITE_FAULT, u"系统无法写入指定的设备。\n",
     u"The system cannot write to the specified device.\n"},
    {ERROR_READ_FAULT, u"系统无法从指定的设备上读取。\n",
     u"The system cannot read from the specified device.\n"},
    {ERROR_GEN_FAILURE, u"连到系统上的设备没有发挥作用。\n",
     u"A device attached to the system is not functioning.\n"},
    {ERROR_SHARING_VIOLATION, u"另一个程序正在使用此文件，进程无法访问。\n",
     u"The process cannot access the file because it is being used by another process.\n"},
    {ERROR_LOCK_VIOLATION, u"进程无法访问文件，因为另一个程序已锁定文件的一部分。\n",
     u"The process cannot access the file because another process has locked a portion of the "
     u"file.\n"},
    {ERROR_HANDLE_EOF, u"已到文件结尾。\n", u"Reached the end of the file.\n"},
    {ERROR_HANDLE_DISK_FULL, u"磁盘已满。\n", u"The disk is full.\n"},
    {ERROR_NOT_SUPPORTED, u"不支持该请求。\n", u"The request is not supported.\n"},
    {ERROR_DEV_NOT_EXIST, u"指定的网络资源或设备不再可用。\n",
     u"The specified network resource or device is no longer available.\n"},
    {ERROR_FILE_EXISTS, u"文件存在。\n", u"The file exists.\n"},
    {ERROR_CANNOT_MAKE, u"无法创建目录或文件。\n", u"The directory or file cannot be created.\n"},
    {ERROR_INVALID_PARAMETER, u"参数错误。\n", u"The parameter is incorrect.\n"},
    {ERROR_OPEN_FAILED, u"系统无法打开设备或指定的文件。\n",
     u"The system cannot open the device or file specified.\n"},
    {ERROR_BUFFER_OVERFLOW, u"文件名太长。\n", u"The file name is too long.\n"},
    {ERROR_DISK_FULL, u"磁盘空间不足。\n", u"There is not enough space on the disk.\n"},
    {ERROR_CALL_NOT_IMPLEMENTED, u"这个系统不支持该功能。\n",
     u"This function is not supported on this system.\n"},
    {ERROR_INSUFFICIENT_BUFFER, u"传递给系统调用的数据区域太小。\n",
     u"The data area passed to a system call is too small.\n"},
    {ERROR_INVALID_NAME, u"文件名、目录名或卷标语法不正确。\n",
     u"The filename, directory name, or volume label syntax is incorrect.\n"},
    {ERROR_MOD_NOT_FOUND, u"找不到指定的模块。\n", u"The specified module could not be found.\n"},
    {ERROR_DIR_NOT_EMPTY, u"目录不是空的。\n", u"The directory is not empty.\n"},
    {ERROR_BUSY, u"请求的资源在使用中。\n", u"The requested resource is in use.\n"},
    {ERROR_ALREADY_EXISTS, u"当文件已存在时，无法创建该文件。\n",
     u"Cannot create a file when that file already exists.\n"},
    {ERROR_FILENAME_EXCED_RANGE, u"文件名或扩展名太长。\n",
     u"The filename or extension is too long.\n"},
    {ERROR_MORE_DATA, u"更多数据可用。\n", u"More data is available.\n"},
    {ERROR_NO_MORE_ITEMS, u"没有可用的数据了。\n", u"No more data is available.\n"},
    {ERROR_DIRECTORY, u"目录名称无效。\n", u"The directory name is invalid.\n"},
    {ERROR_OPERATION_ABORTED, u"由于线程退出或应用程序请求，已中止 I/O 操作。\n",
     u"The I/O operation has been aborted because of either a thread exit or an application "
     u"request.\n"},
    {ERROR_BADDB, u"配置注册表数据库损坏。\n",
     u"The configuration registry database is corrupt.\n"},
    {ERROR_BADKEY, u"配置注册表项无效。\n", u"The configuration registry key is invalid.\n"},
    {ERROR_CANTOPEN, u"无法打开配置注册表项。\n",
     u"The configuration registry key could not be opened.\n"},
    {ERROR_CANTREAD, u"无法读取配置注册表项。\n",
     u"The configuration registry key could not be read.\n"},
    {ERROR_CANTWRITE, u"无法写入配置注册表项。\n",
     u"The configuration registry key could not be written.\n"},
    {ERROR_REGISTRY_CORRUPT, u"注册表已损坏。\n", u"The registry is corrupted.\n"},
    {ERROR_KEY_DELETED, u"试图在标记为删除的注册表项上进行非法操作。\n",
     u"Illegal operation attempted on a registry key that has been marked for deletion.\n"},
    {ERROR_IO_DEVICE, u"由于 I/O 设备错误，无法运行此项请求。\n",
     u"The request could not be performed because of an I/O device error.\n"},
    {ERROR_PROCESS_ABORTED, u"进程意外终止。\n", u"The process terminated unexpectedly.\n"},
    {ERROR_NOT_FOUND, u"找不到元素。\n", u"Element not found.\n"},
    {ERROR_CANCELLED, u"操作已被用户取消。\n", u"The operation was canceled by the user.\n"},
    {ERROR_REQUEST_ABORTED, u"请求已被中止。\n", u"The request was aborted.\n"},
    {ERROR_NOT_ALL_ASSIGNED, u"并非所有被引用的特权或组都分配给呼叫方。\n",
     u"Not all privileges or groups referenced are assigned to the caller.\n"},
    {ERROR_NO_SUCH_PRIVILEGE, u"指定的特权不存在。\n", u"A specified privilege does not exist.\n"},
    {ERROR_PRIVILEGE_NOT_HELD, u"客户端没有所需的特权。\n",
     u"A required privilege is not held by the client.\n"},
    {ERROR_INTERNAL_ERROR, u"发生内部错误。\n", u"An internal error occurred.\n"},
    {ERROR_FILE_CORRUPT, u"文件或目录损坏且无法读取。\n",
     u"The file or directory is corrupted and unreadable.\n"},
    {ERROR_DISK_CORRUPT, u"磁盘结构损坏且无法读取。\n",
     u"The disk structure is corrupted and unreadable.\n"},
    {ERROR_RESOURCE_DATA_NOT_FOUND, u"指定的映像文件不包含资源部分。\n",
     u"The specified image file did not contain a resource section.\n"},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, u"找不到映像文件中指定的资源类型。\n",
     u"The specified resource type cannot be found in the image file.\n"},
    {ERROR_RESOURCE_NAME_NOT_FOUND, u"找不到映像文件中指定的资源名。\n",
     u"The specified resource name cannot be found in the image file.\n"},
    {ERROR_RESOURCE_LANG_NOT_FOUND, u"找不到映像文件中指定的资源语言 ID。\n",
     u"The specified resource language ID cannot be found in the image file.\n"},
    {ERROR_NOT_A_REPARSE_POINT, u"文件或目录不是一个重分析点。\n",
     u"The file or directory is not a reparse point.\n"},
    {ERROR_INVALID_STATE, u"组或资源的状态不是执行请求操作的正确状态。\n",
     u"The group or resource is not in the correct state to perform the requested operation.\n"},
};

bool isEnglish(LANGID language)
{
    return (language & 0x3FF) == (LANGID_ENGLISH_US & 0x3FF);
}

// The text of `id` in `language`. With fallback, a text that has no English yet is the
// Chinese one, as the platform falls back to its neutral resources.
template <std::size_t N>
const char16_t* findText(const StringEntry (&table)[N], UINT id, LANGID language, bool fallback)
{
    for (const auto& e : table) {
        if (e.id != id)
            continue;
        if (!isEnglish(language))
            return e.text;
        return e.english ? e.english : fallback ? e.text : nullptr;
    }
    return nullptr;
}

int loadString(UINT id, LPWSTR buffer, int cchBufferMax, LANGID language, bool fallback)
{
    const char16_t* text = findText(kStringTable, id, language, fallback);
    if (!text || !buffer) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        if (buffer && cchBufferMax > 0)
            buffer[0] = 0;
        return 0;
    }
    const int len = static_cast<int>(wstrLength(text));
    if (cchBufferMax == 0) {
        *reinterpret_cast<const char16_t**>(buffer) = text;
        return len;
    }
    const int n = std::min(len, cchBufferMax - 1);
    std::copy(text, text + n, buffer);
    buffer[n] = 0;
    return n;
}

// A locale name's language part: "en" of "en_GB.UTF-8@euro".
std::string languageOf(const char* locale)
{
    std::string name(locale);
    return name.substr(0, name.find_first_of("_.@"));
}

std::atomic<LANGID> gProcessLanguage{0};

void appendAscii(std::u16string& out, const char* s)
{
    for (; *s; ++s)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s)));
}

// A printf conversion without its leading '%' ("d", "08X", "-10s", "I64u"), taken apart.
struct Conversion {
    std::string flags;
    std::string width;
    std::string precision; // with its '.'
    bool wide64 = false;
    char kind = 0;
};

bool parseConversion(const std::string& text, Conversion& c)
{
    std::size_t i = 0;
    const auto digits = [&](std::string& out) {
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
            out.push_back(text[i++]);
    };
    while (i < text.size() && std::strchr("-+ #0", text[i]))
        c.flags.push_back(text[i++]);
    digits(c.width);
    if (i < text.size() && text[i] == '.') {
        c.precision.push_back(text[i++]);
        digits(c.precision);
    }
    if (text.compare(i, 3, "I64") == 0) {
        c.wide64 = true;
        i += 3;
    } else if (text.compare(i, 2, "ll") == 0) {
        c.wide64 = true;
        i += 2;
    } else {
        while (i < text.size() && (text[i] == 'l' || text[i] == 'h' || text[i] == 'w'))
            ++i;
    }
    if (i + 1 != text.size() || c.width.size() > 4 || c.precision.size() > 5)
        return false;
    c.kind = text[i];
    return true;
}

void expandString(std::u16string& out, const Conversion& c, DWORD_PTR value)
{
    std::u16string text;
    if (value != 0)
        text = reinterpret_cast<LPCWSTR>(value);
    if (c.precision.size() > 1) {
        const auto maxLen = static_cast<std::size_t>(std::stoul(c.precision.substr(1)));
        if (text.size() > maxLen)
            text.resize(maxLen);
    }
    const std::size_t w = c.width.empty() ? 0 : std::stoul(c.width);
    const bool left = c.flags.find('-') != std::string::npos;
    if (!left && text.size() < w)
        out.append(w - text.size(), u' ');
    out += text;
    if (left && text.size() < w)
        out.append(w - text.size(), u' ');
}

void expandNumber(std::u16string& out, const Conversion& c, DWORD_PTR value)
{
    std::string fmt = "%" + c.flags + c.width + c.precision;
    char buf[64];
    if (c.kind == 'd' || c.kind == 'i') {
        fmt += "lld";
        const long long v = c.wide64 ? static_cast<long long>(static_cast<std::int64_t>(value))
                                     : static_cast<long long>(static_cast<std::int32_t>(value));
        std::snprintf(buf, sizeof buf, fmt.c_str(), v);
    } else {
        fmt += "ll";
        fmt.push_back(c.kind);
        const unsigned long long v =
            c.wide64 ? static_cast<unsigned long long>(value)
                     : static_cast<unsigned long long>(static_cast<std::uint32_t>(value));
        std::snprintf(buf, sizeof buf, fmt.c_str(), v);
    }
    appendAscii(out, buf);
}

// Expands one typed insert ("%1!X!") with its printf conversion.
bool expandInsert(std::u16string& out, const std::string& conversion, DWORD_PTR value)
{
    Conversion c;
    if (!parseConversion(conversion, c))
        return false;
    if (c.kind == 's' || c.kind == 'S') {
        expandString(out, c, value);
        return true;
    }
    if (c.kind == 'c' || c.kind == 'C') {
        out.push_back(static_cast<char16_t>(value));
        return true;
    }
    if (!std::strchr("diuxXo", c.kind))
        return false;
    expandNumber(out, c, value);
    return true;
}

// Reads the insert that starts at p ("%1", "%12", "%1!d!"): its number and conversion, and p
// moved to its last character. False for a malformed one.
bool readInsert(const char16_t*& p, int& number, std::string& conversion)
{
    number = p[1] - u'0';
    ++p;
    if (p[1] >= u'0' && p[1] <= u'9') {
        number = number * 10 + (p[1] - u'0');
        ++p;
    }
    conversion = "s";
    if (p[1] != u'!')
        return true;
    const char16_t* q = p + 2;
    std::string s;
    while (*q && *q != u'!' && s.size() < 16) {
        if (*q > 0x7F)
            return false;
        s.push_back(static_cast<char>(*q));
        ++q;
    }
    if (*q != u'!' || s.empty())
        return false;
    conversion = s;
    p = q;
    return true;
}

// The escape "%c" (c not a digit); false for "%0", which ends the message.
bool expandEscape(std::u16string& out, char16_t c, bool ignoreInserts)
{
    switch (c) {
    case u'0':
        return false;
    case u'n':
        out += u"\r\n";
        break;
    case u'r':
        out.push_back(u'\r');
        break;
    case u't':
        out.push_back(u'\t');
        break;
    case u'b':
        out.push_back(u' ');
        break;
    default:
        // "%%", "%.", "%!" and any other character stand for the character itself.
        if (ignoreInserts && c == u'%')
            out += u"%%";
        else
            out.push_back(c);
        break;
    }
    return true;
}

// Expands the message-insert syntax of text into out. False for a malformed insert or an
// insert without arguments.
bool expandMessage(std::u16string& out, const char16_t* text, bool ignoreInserts,
                   const DWORD_PTR* args)
{
    for (const char16_t* p = text; *p; ++p) {
        if (*p != u'%') {
            out.push_back(*p);
            continue;
        }
        const char16_t c = p[1];
        if (c == 0) {
            out.push_back(u'%');
            break;
        }
        if (c < u'1' || c > u'9') {
            ++p;
            if (!expandEscape(out, c, ignoreInserts))
                return true;
            continue;
        }
        const char16_t* start = p;
        int n = 0;
        std::string conversion;
        if (!readInsert(p, n, conversion))
            return false;
        if (ignoreInserts)
            out.append(start, p + 1);
        else if (!args || !expandInsert(out, conversion, args[n - 1]))
            return false;
    }
    return true;
}

} // namespace

DWORD GetLastError()
{
    return tLastError;
}

void SetLastError(DWORD code)
{
    tLastError = code;
}

HLOCAL LocalAlloc(UINT flags, std::size_t bytes)
{
    void* p = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1)
                                      : std::malloc(bytes ? bytes : 1);
    if (!p)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL LocalFree(HLOCAL mem)
{
    std::free(mem);
    return nullptr;
}

HMODULE GetModuleHandleW(LPCWSTR)
{
    static int self;
    return &self;
}

LANGID UILanguageFromEnvironment(const char* language, const char* lcAll, const char* lcMessages,
                                 const char* lang)
{
    const auto set = [](const char* value) { return value && *value; };
    const char* locale = set(lcAll)        ? lcAll
                         : set(lcMessages) ? lcMessages
                         : set(lang)       ? lang
                                           : nullptr;
    if (!locale || std::strcmp(locale, "POSIX") == 0 || languageOf(locale) == "C")
        return LANGID_CHINESE_SIMPLIFIED;
    if (set(language)) {
        std::string list(language);
        std::size_t start = 0;
        while (start <= list.size()) {
            const std::size_t end = std::min(list.find(':', start), list.size());
            const std::string entry = languageOf(list.substr(start, end - start).c_str());
            if (entry == "en")
                return LANGID_ENGLISH_US;
            if (entry == "zh")
                return LANGID_CHINESE_SIMPLIFIED;
            start = end + 1;
        }
        return LANGID_CHINESE_SIMPLIFIED;
    }
    return languageOf(locale) == "en" ? LANGID_ENGLISH_US : LANGID_CHINESE_SIMPLIFIED;
}

LANGID GetUserDefaultUILanguage()
{
    static const LANGID language =
        UILanguageFromEnvironment(std::getenv("LANGUAGE"), std::getenv("LC_ALL"),
                                  std::getenv("LC_MESSAGES"), std::getenv("LANG"));
    return language;
}

LANGID GetProcessUILanguage()
{
    const LANGID chosen = gProcessLanguage.load();
    return chosen ? chosen : GetUserDefaultUILanguage();
}

void SetProcessUILanguage(LANGID language)
{
    if (language != 0)
        language = isEnglish(language) ? LANGID_ENGLISH_US : LANGID_CHINESE_SIMPLIFIED;
    gProcessLanguage.store(language);
}

int LoadStringW(HMODULE, UINT id, LPWSTR buffer, int cchBufferMax)
{
    return loadString(id, buffer, cchBufferMax, GetProcessUILanguage(), true);
}

int LoadStringForLanguageW(HMODULE, UINT id, LPWSTR buffer, int cchBufferMax, LANGID language)
{
    return loadString(id, buffer, cchBufferMax, language, false);
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, const DWORD_PTR* arguments)
{
    const char16_t* text = nullptr;
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        text = static_cast<const char16_t*>(source);
    } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
        LANGID language = static_cast<LANGID>(languageId);
        const bool fallback = language == 0 || language == LANG_USER_DEFAULT;
        if (fallback)
            language = GetProcessUILanguage();
        if (!isEnglish(language) && (language & 0x3FF) != (LANGID_CHINESE_SIMPLIFIED & 0x3FF)) {
            SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
            return 0;
        }
        text = findText(kSystemMessages, messageId, language, fallback);
        if (!text) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
    }
    if (!text || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const bool ignoreInserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    std::u16string out;
    if (!expandMessage(out, text, ignoreInserts, arguments)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        const std::size_t chars = std::max<std::size_t>(out.size() + 1, size);
        auto* mem = static_cast<LPWSTR>(LocalAlloc(LPTR, chars * sizeof(WCHAR)));
        if (!mem)
            return 0;
        std::copy(out.begin(), out.end(), mem);
        mem[out.size()] = 0;
        *reinterpret_cast<LPWSTR*>(buffer) = mem;
    } else {
        if (out.size() + 1 > size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::copy(out.begin(), out.end(), buffer);
        buffer[out.size()] = 0;
    }
    if (out.empty())
        SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(out.size());
}

DWORD timeGetTime()
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<DWORD>(static_cast<std::uint64_t>(ms));
}

DWORD CharUpperBuffW(LPWSTR text, DWORD length)
{
    for (DWORD i = 0; i < length; ++i) {
        const char16_t c = text[i];
        if (QChar::isHighSurrogate(c) && i + 1 < length && QChar::isLowSurrogate(text[i + 1])) {
            const char32_t up = QChar::toUpper(QChar::surrogateToUcs4(c, text[i + 1]));
            if (QChar::requiresSurrogates(up)) {
                text[i] = QChar::highSurrogate(up);
                text[i + 1] = QChar::lowSurrogate(up);
            }
            ++i;
            continue;
        }
        const char32_t up = QChar::toUpper(static_cast<char32_t>(c));
        if (!QChar::requiresSurrogates(up))
            text[i] = static_cast<char16_t>(up);
    }
    return length;
}
