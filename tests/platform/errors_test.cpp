// The one way from errno values and libwim's codes to system codes: every code it gives has
// a text in both languages, and the cases where the layers once disagreed come out one way.
#include "platform/Errors.h"
#include "platform/Kernel.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <wimlib.h>

#include <cerrno>
#include <set>

namespace {

bool hasText(DWORD code, LANGID language)
{
    WCHAR text[260] = {};
    return FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, language, text, 260, nullptr) >
           0;
}

TEST(Errors, EveryCodeTheTablesGiveHasAChineseAndAnEnglishText)
{
    std::set<DWORD> codes;
    for (int err = 0; err < 256; ++err) {
        codes.insert(ErrorFromErrno(err));
        codes.insert(ErrorFromErrnoForFolder(err));
        for (int code = 0; code <= WIMLIB_ERR_SET_XATTR + 8; ++code)
            codes.insert(ErrorFromWimlib(code, err));
    }
    for (const DWORD code : codes) {
        EXPECT_TRUE(hasText(code, LANGID_CHINESE_SIMPLIFIED)) << code;
        EXPECT_TRUE(hasText(code, LANGID_ENGLISH_US)) << code;
    }
}

TEST(Errors, OneCodeForEachCause)
{
    const struct {
        int code;
        int cause;
        DWORD expected;
    } cases[] = {
        // A damaged header is a damaged file, wherever it is met.
        {WIMLIB_ERR_INVALID_HEADER, 0, ERROR_FILE_CORRUPT},
        {WIMLIB_ERR_INVALID_CHUNK_SIZE, 0, ERROR_FILE_CORRUPT},
        {WIMLIB_ERR_NOT_A_WIM_FILE, ENOSPC, ERROR_BAD_FORMAT}, // a cause never changes it
        {WIMLIB_ERR_INTEGRITY, 0, ERROR_CRC},
        {WIMLIB_ERR_NOT_A_REGULAR_FILE, 0, ERROR_ACCESS_DENIED},
        // Failed system calls say their cause, and their own fault without one.
        {WIMLIB_ERR_WRITE, ENOSPC, ERROR_DISK_FULL},
        {WIMLIB_ERR_WRITE, EDQUOT, ERROR_DISK_FULL},
        {WIMLIB_ERR_WRITE, EIO, ERROR_IO_DEVICE},
        {WIMLIB_ERR_WRITE, EROFS, ERROR_WRITE_PROTECT},
        {WIMLIB_ERR_WRITE, 0, ERROR_WRITE_FAULT},
        {WIMLIB_ERR_READ, 0, ERROR_READ_FAULT},
        {WIMLIB_ERR_OPEN, ENOENT, ERROR_FILE_NOT_FOUND},
        {WIMLIB_ERR_OPEN, ENOTDIR, ERROR_PATH_NOT_FOUND},
        {WIMLIB_ERR_OPEN, EISDIR, ERROR_ACCESS_DENIED},
        {WIMLIB_ERR_STAT, 0, ERROR_OPEN_FAILED},
        {WIMLIB_ERR_MKDIR, ENOENT, ERROR_PATH_NOT_FOUND},
        {WIMLIB_ERR_MKDIR, 0, ERROR_CANNOT_MAKE},
        // A read-only WIM is write-protected only on a read-only file system.
        {WIMLIB_ERR_WIM_IS_READONLY, EROFS, ERROR_WRITE_PROTECT},
        {WIMLIB_ERR_WIM_IS_READONLY, ENOENT, ERROR_ACCESS_DENIED},
        // Mounts.
        {WIMLIB_ERR_MOUNTED_IMAGE_IS_BUSY, 0, ERROR_BUSY},
        {WIMLIB_ERR_NOT_A_MOUNTPOINT, 0, ERROR_NOT_FOUND},
        {WIMLIB_ERR_NOT_PERMITTED_TO_UNMOUNT, 0, ERROR_ACCESS_DENIED},
        {WIMLIB_ERR_ABORTED_BY_PROGRESS, 0, ERROR_REQUEST_ABORTED},
        {9999, 0, ERROR_GEN_FAILURE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ErrorFromWimlib(c.code, c.cause), c.expected) << c.code << " " << c.cause;

    EXPECT_EQ(ErrorFromErrno(0), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ErrorFromErrno(EROFS), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    EXPECT_EQ(ErrorFromErrno(12345), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(ErrorFromErrnoForFolder(ENOENT), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    TempDir dir;
    EXPECT_EQ(ErrorFromErrnoForFile(ENOENT, dir.file(QStringLiteral("x")).toStdString()),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ErrorFromErrnoForFile(ENOENT, dir.file(QStringLiteral("no/x")).toStdString()),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

} // namespace
