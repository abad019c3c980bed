// Feeds arbitrary bytes to the version-resource layer's PE reader, and to the VS_VERSIONINFO
// tree walker as a block of its own. Nothing may be read outside the input (the sanitizers
// report it), and any block the reader returns must answer the queries the program makes.
#include "platform/PeReader.h"
#include "platform/VersionInfo.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void queryAll(const BYTE* block)
{
    static const char16_t* const queries[] = {
        u"\\",
        u"\\VarFileInfo\\Translation",
        u"\\StringFileInfo\\080404B0\\ProductName",
        u"\\StringFileInfo\\04090000\\ProductName",
        u"\\StringFileInfo",
        u"\\\\x\\\\",
    };
    for (const char16_t* query : queries) {
        void* value = nullptr;
        UINT length = 0;
        if (VerQueryValueW(block, query, &value, &length) && length > 0) {
            // Touch every byte the answer claims, so an answer that runs past the block shows.
            BYTE sum = 0;
            const std::size_t bytes = query[1] == u'S' ? std::size_t(length) * 2 : length;
            for (std::size_t i = 0; i < bytes; ++i)
                sum = static_cast<BYTE>(sum + static_cast<const BYTE*>(value)[i]);
            __asm__ volatile("" : : "r"(sum));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // An exact-size copy, so a read past the end of the input is reported.
    auto copy = std::make_unique<BYTE[]>(size ? size : 1);
    if (size)
        std::memcpy(copy.get(), data, size);
    DWORD error = 0;
    const auto block =
        readVersionResource(PeSource(std::span<const BYTE>(copy.get(), size)), &error);
    if (block)
        queryAll(block->data());

    // The input as a version block: VerQueryValueW trusts the root's declared length, which
    // GetFileVersionInfoW guarantees lies inside the buffer; keep that promise here.
    if (size >= 2) {
        const std::size_t declared = copy[0] | (copy[1] << 8);
        if (declared <= size) {
            auto exact = std::make_unique<BYTE[]>(declared ? declared : 2);
            std::memcpy(exact.get(), copy.get(), declared ? declared : 2);
            if (declared >= 2)
                queryAll(exact.get());
        }
    }
    return 0;
}
