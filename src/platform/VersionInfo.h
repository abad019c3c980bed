// Version resources of PE files (PE32 and PE32+), read from disk without loading the file.
// Our own reader finds the RT_VERSION resource through the resource directory; every offset
// and length taken from the file is checked, and a malformed file is a file without a
// version resource.
//
// When a file holds several copies of its version resource (one per language), the copy of
// resource id 1 (else the first name) in the neutral language is used, else the one in US
// English (0x409), else the first one.
#pragma once

#include "WinTypes.h"

struct VS_FIXEDFILEINFO {
    DWORD dwSignature; // 0xFEEF04BD
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

inline constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;

// Size in bytes of the file's version resource, 0 when there is none. Last error on 0:
// ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND / ERROR_ACCESS_DENIED (file cannot be read or
// is not a regular file), ERROR_BAD_FORMAT (not a PE file), ERROR_RESOURCE_TYPE_NOT_FOUND
// (no version resource, or a damaged one). *handle (optional) is set to 0.
DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle);
// Reads the version resource into data (len bytes; at least the size given above, else
// ERROR_INSUFFICIENT_BUFFER). The same errors as GetFileVersionInfoSizeW otherwise.
BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD len, LPVOID data);
// Finds a value in a block filled by GetFileVersionInfoW. subBlock is a path of keys split
// at backslashes, each compared without letter case:
//   "\"                               the VS_FIXEDFILEINFO (*len 52); fails without one
//   "\VarFileInfo\Translation"        the language/code-page pairs (*len in bytes)
//   "\StringFileInfo\040904B0\Name"   a string (*len in characters, terminator included
//                                     when the file has it; the text may lack one). Every
//                                     value below StringFileInfo counts as a string.
// *buffer points into `block`. Returns FALSE when the path does not exist, a binary node has
// no value, or the block is damaged (a text node may give an empty text, *len 0). Never reads
// outside the block's declared length.
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* len);
