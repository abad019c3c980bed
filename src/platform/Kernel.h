// Files, text, time and error services of the platform, under the names the platform
// spells them. All functions are safe to call from any thread; the last-error code is
// kept per thread.
#pragma once

#include "WinTypes.h"

#include <QString>

#include <cstdint>
#include <string>

// ---- last error -------------------------------------------------------------------------
DWORD GetLastError();
void SetLastError(DWORD code);

// ---- memory -------------------------------------------------------------------------------
// Frees a buffer that a platform call allocated (FormatMessageW with ALLOCATE_BUFFER,
// WIMGetImageInformation). Returns nullptr on success, as the platform does.
HLOCAL LocalAlloc(UINT flags, std::size_t bytes);
HLOCAL LocalFree(HLOCAL mem);
inline constexpr UINT LMEM_FIXED = 0x0;
inline constexpr UINT LMEM_ZEROINIT = 0x40;
inline constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;

// ---- interface language ------------------------------------------------------------------
// The two languages the program speaks: Simplified Chinese, its own, and English.
inline constexpr LANGID LANGID_CHINESE_SIMPLIFIED = 0x0804;
inline constexpr LANGID LANGID_ENGLISH_US = 0x0409;
inline constexpr LANGID LANG_USER_DEFAULT = 0x0400;

// The language a locale environment asks for, by gettext's rules. The locale of messages is
// the first non-empty of LC_ALL, LC_MESSAGES and LANG. When it is missing, "C", "C.<codeset>"
// or "POSIX", the answer is Chinese and LANGUAGE is ignored. Otherwise a non-empty LANGUAGE
// is a colon-separated list of preferences: the first entry naming Chinese ("zh...") or
// English ("en...") decides, and a list naming neither gives Chinese. Without LANGUAGE the
// locale decides: English for "en..." ("en_GB.UTF-8"), Chinese for any other. Null arguments
// count as unset.
LANGID UILanguageFromEnvironment(const char* language, const char* lcAll, const char* lcMessages,
                                 const char* lang);
// The user's interface language: UILanguageFromEnvironment of this process's environment,
// read at the first call.
LANGID GetUserDefaultUILanguage();
// The language of the texts LoadStringW and FormatMessageW (language 0) give on every thread:
// GetUserDefaultUILanguage() until SetProcessUILanguage chooses another. English or Chinese.
LANGID GetProcessUILanguage();
// Chooses the texts' language for the whole process: an English language id (primary language
// 0x09) gives English, 0 goes back to the user's default, any other gives Chinese. Call it
// before texts are loaded on other threads.
void SetProcessUILanguage(LANGID language);

// ---- string resources --------------------------------------------------------------------
// The program's own module; resource loads take it as on the platform.
HMODULE GetModuleHandleW(LPCWSTR name);
// Copies string `id` of the string table, in the process's interface language (the Chinese
// text when it has no English one yet), into buffer (cchBufferMax characters including the
// terminator, text cut to fit). Returns the number of characters copied, 0 when the id is
// missing. With cchBufferMax == 0, stores a read-only pointer to the text in *buffer
// (reinterpreted as LPWSTR*) and returns its length.
int LoadStringW(HMODULE module, UINT id, LPWSTR buffer, int cchBufferMax);
// The same for exactly one language (English or Chinese, as SetProcessUILanguage reads it):
// 0 when the id has no text in that language.
int LoadStringForLanguageW(HMODULE module, UINT id, LPWSTR buffer, int cchBufferMax,
                           LANGID language);

// ---- message formatting -------------------------------------------------------------------
inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
inline constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
inline constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
inline constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;
inline constexpr DWORD LANG_NEUTRAL_DEFAULT = 0;

// Formats a message. Sources: FORMAT_MESSAGE_FROM_STRING (source is the format text) or
// FORMAT_MESSAGE_FROM_SYSTEM (messageId is a system error code; languageId 0 or
// LANG_USER_DEFAULT is the process's interface language, falling back to the Chinese text
// when there is no English one; an English or Chinese id is exactly that language; any other
// fails with ERROR_RESOURCE_LANG_NOT_FOUND). Inserts: %1..%99, each
// optionally typed as %n!fmt! with a printf conversion (s, d, i, u, x, X, c; flags, width
// and precision allowed; default s = UTF-16 string). Arguments are an array of DWORD_PTR
// (FORMAT_MESSAGE_ARGUMENT_ARRAY); a string argument is a LPCWSTR. Escapes: %% %n %r %t %0
// %. %!. Line breaks and tabs of the format text are kept.
// With FORMAT_MESSAGE_ALLOCATE_BUFFER, *(LPWSTR*)buffer receives a LocalAlloc'ed text and
// size is the minimum to allocate; otherwise buffer holds size characters and a result that
// does not fit fails with ERROR_INSUFFICIENT_BUFFER. Returns the length without the
// terminator, 0 on failure (last error set: ERROR_MR_MID_NOT_FOUND for an unknown system
// code, ERROR_INVALID_PARAMETER for a bad insert).
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                     LPWSTR buffer, DWORD size, const DWORD_PTR* arguments);

// ---- time ---------------------------------------------------------------------------------
// Milliseconds from a monotonic clock, wrapping at 2^32 like the platform's timer.
DWORD timeGetTime();

// ---- text ---------------------------------------------------------------------------------
// Upper-cases length characters in place (full Unicode simple case mapping, UTF-16).
DWORD CharUpperBuffW(LPWSTR text, DWORD length);

// ---- paths and files ----------------------------------------------------------------------
// Makes fileName absolute against the current directory and removes "." and ".." parts and
// doubled separators, lexically as the platform does; a trailing '/' is kept. ('\\' is an
// ordinary file-name character on Linux and is left alone.)
// Returns the length; when it does not fit, returns the size needed (with terminator) and
// leaves buffer untouched. 0 with ERROR_INVALID_NAME for an empty name.
DWORD GetFullPathNameW(LPCWSTR fileName, DWORD bufferLength, LPWSTR buffer, LPWSTR* filePart);
// The folder for temporary files ($TMPDIR or /tmp) with a trailing '/'.
DWORD GetTempPathW(DWORD bufferLength, LPWSTR buffer);
// Creates an empty file "<path>/<prefix up to 3 chars><hex>.tmp" when unique is 0 and writes
// its name into tempFileName (MAX_PATH characters). Returns the number used, 0 on failure.
UINT GetTempFileNameW(LPCWSTR pathName, LPCWSTR prefixString, UINT unique, LPWSTR tempFileName);
// Full path of the running executable (module nullptr).
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);

// GetFullPathNameW of `path` whole, however long; `path` unchanged when the call refuses it
// (an empty path), so that the call using it reports the fault.
QString fullPathOf(const QString& path);
// GetTempPathW whole, however long, with its trailing '/'.
QString tempFolderPath();

// ---- UTF-16 helpers for the layers --------------------------------------------------------
std::size_t wstrLength(LPCWSTR text);
// A QString as the platform calls' wide-string argument, valid while the QString lives
// unchanged.
inline LPCWSTR wide(const QString& text)
{
    return reinterpret_cast<LPCWSTR>(text.utf16());
}
// UTF-16 <-> UTF-8 for file names and libraries that speak UTF-8. Bad input never stops a
// conversion: an unpaired surrogate becomes U+FFFD, and so does each maximal part of an
// ill-formed UTF-8 sequence (a lead byte with the continuation bytes that fit it so far; a
// stray continuation byte, an overlong form, a surrogate or a value above U+10FFFF make
// one U+FFFD per byte).
std::string toUtf8(LPCWSTR text);
std::string toUtf8(const std::u16string& text);
std::u16string fromUtf8(const std::string& text);
// Appends UTF-8 text (up to its NUL, or `length` bytes) to a UTF-16 string, by fromUtf8's
// rules.
void appendUtf8(std::u16string& out, const char* text);
void appendUtf8(std::u16string& out, const char* text, std::size_t length);
// Copies src into dst of dstSize characters, cut to fit, always terminated (dstSize > 0).
void wstrCopy(LPWSTR dst, std::size_t dstSize, LPCWSTR src);
