// UTF-16 and UTF-8 for the layers: conversions with the U+FFFD rules, and wide-string helpers.
#include "platform/Kernel.h"

#include <string>

namespace {

void appendUtf8CodePoint(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void appendUtf16CodePoint(std::u16string& out, char32_t cp)
{
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

std::string utf16ToUtf8(const char16_t* s, std::size_t n)
{
    std::string out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        appendUtf8CodePoint(out, c);
    }
    return out;
}
} // namespace

std::size_t wstrLength(LPCWSTR text)
{
    if (!text)
        return 0;
    std::size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

std::string toUtf8(LPCWSTR text)
{
    return utf16ToUtf8(text, wstrLength(text));
}

std::string toUtf8(const std::u16string& text)
{
    return utf16ToUtf8(text.data(), text.size());
}

std::u16string fromUtf8(const std::string& text)
{
    std::u16string out;
    appendUtf8(out, text.data(), text.size());
    return out;
}

void appendUtf8(std::u16string& out, const char* text)
{
    appendUtf8(out, text, text ? std::strlen(text) : 0);
}

void appendUtf8(std::u16string& out, const char* text, std::size_t length)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    out.reserve(out.size() + length);
    std::size_t i = 0;
    while (i < length) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            // A run of ASCII (most of any path) is widened in one go.
            std::size_t end = i + 1;
            while (end < length && s[end] < 0x80)
                ++end;
            out.append(s + i, s + end);
            i = end;
            continue;
        }
        // The well-formed sequences: the bytes a lead byte allows in second place are
        // narrower for E0, ED, F0 and F4 (no overlong forms, surrogates or values past
        // U+10FFFF); every other continuation byte is 80..BF.
        int need = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        char32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            cp = c & 0x0F;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            cp = c & 0x07;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            out.push_back(u'\uFFFD'); // a continuation byte alone, C0, C1, F5..FF
            ++i;
            continue;
        }
        std::size_t next = i + 1;
        int got = 0;
        while (got < need && next < length && s[next] >= low && s[next] <= high) {
            cp = (cp << 6) | (s[next] & 0x3F);
            low = 0x80;
            high = 0xBF;
            ++next;
            ++got;
        }
        if (got < need)
            out.push_back(u'\uFFFD'); // the maximal part of a sequence cut short
        else
            appendUtf16CodePoint(out, cp);
        i = next;
    }
}

void wstrCopy(LPWSTR dst, std::size_t dstSize, LPCWSTR src)
{
    if (!dst || dstSize == 0)
        return;
    std::size_t i = 0;
    if (src)
        for (; i + 1 < dstSize && src[i]; ++i)
            dst[i] = src[i];
    dst[i] = 0;
}
