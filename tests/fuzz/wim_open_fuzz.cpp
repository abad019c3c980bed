// Fuzz target for opening WIM files and reading and setting their information through the
// imaging layer. The first byte picks the mode:
//   even: the rest is a WIM file; it is opened, its attributes, whole XML and each image's
//         XML are read, and each image's entries are walked (metadata parsed, nothing
//         written);
//   odd:  the rest is an image's information text (UTF-16LE) given to WIMSetImageInformation
//         on a small WIM made at start-up, read back and committed.
#include "platform/Imaging.h"
#include "platform/Kernel.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string gDir;
std::u16string gInput;
std::u16string gBase;
std::u16string gTarget;

void writeFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);
}

void readInformation(HANDLE object)
{
    PVOID buffer = nullptr;
    DWORD size = 0;
    if (WIMGetImageInformation(object, &buffer, &size))
        LocalFree(buffer);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (ImagingGlobalInit() != ERROR_SUCCESS)
        std::abort();
    char pattern[] = "/tmp/pelloric-wimfuzz-XXXXXX";
    if (!mkdtemp(pattern))
        std::abort();
    gDir = pattern;
    std::atexit([] { std::filesystem::remove_all(gDir); });
    mkdir((gDir + "/src").c_str(), 0755);
    const uint8_t text[] = "fuzz\n";
    writeFile(gDir + "/src/a.txt", text, sizeof text - 1);
    gInput = fromUtf8(gDir + "/input.wim");
    gBase = fromUtf8(gDir + "/base.wim");
    gTarget = fromUtf8(gDir + "/none");
    HANDLE wim = WIMCreateFile(gBase.c_str(), GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, 0,
                               WIM_COMPRESS_XPRESS, nullptr);
    HANDLE image = wim ? WIMCaptureImage(wim, fromUtf8(gDir + "/src").c_str(), 0) : nullptr;
    if (!image)
        std::abort();
    WIMCloseHandle(image);
    WIMCloseHandle(wim);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    if ((data[0] & 1) == 0) {
        writeFile(toUtf8(gInput.c_str()), data + 1, size - 1);
        HANDLE wim = WIMCreateFile(gInput.c_str(), GENERIC_READ, OPEN_EXISTING, 0, 0, nullptr);
        if (!wim)
            return 0;
        WIM_INFO info{};
        WIMGetAttributes(wim, &info, sizeof info);
        readInformation(wim);
        const DWORD count = WIMGetImageCount(wim);
        for (DWORD i = 1; i <= count && i <= 4; ++i) {
            HANDLE image = WIMLoadImage(wim, i);
            if (!image)
                continue;
            readInformation(image);
            WIMApplyImage(image, gTarget.c_str(), WIM_FLAG_NO_APPLY);
            WIMCloseHandle(image);
        }
        WIMCloseHandle(wim);
        return 0;
    }
    HANDLE wim =
        WIMCreateFile(gBase.c_str(), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0, 0, nullptr);
    HANDLE image = wim ? WIMLoadImage(wim, 1) : nullptr;
    if (image) {
        WIMSetImageInformation(image, const_cast<uint8_t*>(data + 1), static_cast<DWORD>(size - 1));
        readInformation(image);
        readInformation(wim);
        WIMCloseHandle(image);
    }
    if (wim)
        WIMCloseHandle(wim);
    return 0;
}
