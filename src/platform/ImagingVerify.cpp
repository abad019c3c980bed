// Verifying a WIM end to end: integrity tables, every image's metadata, the presence of every
// image's data and every stream's SHA-1 digest.
//
// A sound file takes libwim's own checks only (wimlib_verify_wim), which stop at the first
// fault. When they find one, every image and every stream is checked on its own so that each
// damaged one can be named: images by reading their metadata, streams by reading their
// resources here (chunk tables, libwim's decompressors, SHA-1), solid resources included.
#include "Imaging.h"

#include "FileAccess.h"
#include "FileIo.h"
#include "ImagingToolbox.h"
#include "Kernel.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include <fcntl.h>

using namespace imaging;

namespace {

using Hash = std::array<std::uint8_t, 20>;

struct Blob {
    Hash hash{};
    std::uint64_t size = 0;   // uncompressed
    std::uint64_t offset = 0; // in the file, or within its solid resource
    std::uint64_t stored = 0; // size in the file (non-solid)
    bool compressed = false;
    bool solid = false;
    std::uint64_t resourceOffset = 0; // of its solid resource in the file
    std::uint32_t part = 1;
};

int collectBlob(const wimlib_resource_entry* r, void* ctx)
{
    if (r->is_metadata || r->is_missing)
        return 0;
    Blob b;
    std::memcpy(b.hash.data(), r->sha1_hash, b.hash.size());
    b.size = r->uncompressed_size;
    b.offset = r->offset;
    b.stored = r->compressed_size;
    b.compressed = r->is_compressed;
    b.solid = r->packed;
    b.resourceOffset = r->raw_resource_offset_in_wim;
    b.part = std::max<std::uint32_t>(1, r->part_number);
    static_cast<std::vector<Blob>*>(ctx)->push_back(b);
    return 0;
}

struct Decompressor {
    wimlib_decompressor* d = nullptr;
    Decompressor(int type, std::size_t chunkSize)
    {
        if (type > 0)
            wimlib_create_decompressor(static_cast<wimlib_compression_type>(type), chunkSize, &d);
    }
    ~Decompressor() { wimlib_free_decompressor(d); }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
};

// One chunk as stored into `out` (ulen bytes): copied when stored raw, else decompressed.
bool readChunk(int fd, std::uint64_t at, std::size_t clen, std::size_t ulen, Decompressor& d,
               std::vector<char>& in, std::vector<char>& out)
{
    in.resize(clen);
    out.resize(ulen);
    if (!readAll(fd, in.data(), clen, static_cast<off_t>(at)))
        return false;
    if (clen == ulen) {
        std::memcpy(out.data(), in.data(), ulen);
        return true;
    }
    return d.d && wimlib_decompress(in.data(), clen, out.data(), ulen, d.d) == 0;
}

bool digestIs(QCryptographicHash& sha, const Hash& want)
{
    const QByteArray got = sha.result();
    return got.size() == 20 && std::memcmp(got.constData(), want.data(), 20) == 0;
}

// A resource of its own: raw, or chunks behind a table of their offsets.
bool plainBlobIsSound(int fd, const Blob& b, int type, std::uint32_t chunkSize)
{
    QCryptographicHash sha(QCryptographicHash::Sha1);
    std::vector<char> in;
    std::vector<char> out;
    if (!b.compressed) {
        constexpr std::uint64_t kPiece = 1 << 20;
        for (std::uint64_t done = 0; done < b.size; done += kPiece) {
            const auto n = static_cast<std::size_t>(std::min(kPiece, b.size - done));
            in.resize(n);
            if (!readAll(fd, in.data(), n, static_cast<off_t>(b.offset + done)))
                return false;
            sha.addData(QByteArrayView(in.data(), static_cast<qsizetype>(n)));
        }
        return digestIs(sha, b.hash);
    }
    if (chunkSize == 0)
        return false;
    const std::uint64_t chunks = (b.size + chunkSize - 1) / chunkSize;
    const std::size_t entry = b.size > 0xFFFFFFFFull ? 8 : 4;
    const std::uint64_t table = (chunks - 1) * entry;
    if (chunks == 0 || table > b.stored)
        return chunks == 0 && digestIs(sha, b.hash);
    std::vector<std::uint64_t> starts(chunks + 1, 0);
    std::vector<unsigned char> raw(table);
    if (!readAll(fd, raw.data(), raw.size(), static_cast<off_t>(b.offset)))
        return false;
    for (std::uint64_t i = 1; i < chunks; ++i)
        for (std::size_t k = 0; k < entry; ++k)
            starts[i] |= std::uint64_t{raw[(i - 1) * entry + k]} << (8 * k);
    starts[chunks] = b.stored - table;
    Decompressor d(type, chunkSize);
    for (std::uint64_t i = 0; i < chunks; ++i) {
        if (starts[i + 1] < starts[i])
            return false;
        const auto ulen =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, b.size - i * chunkSize));
        if (!readChunk(fd, b.offset + table + starts[i], starts[i + 1] - starts[i], ulen, d, in,
                       out))
            return false;
        sha.addData(QByteArrayView(out.data(), static_cast<qsizetype>(ulen)));
    }
    return digestIs(sha, b.hash);
}

std::uint64_t readLe(const unsigned char* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= std::uint64_t{p[i]} << (8 * i);
    return v;
}

// The blobs of one solid resource (sorted by their offset in it): its header gives the size,
// chunk size and compression, a table the stored size of every chunk. A chunk that does not
// decompress damages the blobs it holds part of.
void checkSolidResource(int fd, std::uint64_t at, std::vector<const Blob*>& blobs,
                        std::vector<const Blob*>& damaged)
{
    unsigned char header[16];
    if (!readAll(fd, header, sizeof header, static_cast<off_t>(at))) {
        damaged.insert(damaged.end(), blobs.begin(), blobs.end());
        return;
    }
    const std::uint64_t size = readLe(header, 8);
    const auto chunkSize = static_cast<std::uint32_t>(readLe(header + 8, 4));
    const auto type = static_cast<int>(readLe(header + 12, 4));
    const std::uint64_t chunks = chunkSize ? (size + chunkSize - 1) / chunkSize : 0;
    std::vector<unsigned char> table(chunks * 4);
    if (chunkSize == 0 || !readAll(fd, table.data(), table.size(), static_cast<off_t>(at + 16))) {
        damaged.insert(damaged.end(), blobs.begin(), blobs.end());
        return;
    }
    Decompressor d(type, chunkSize);
    std::vector<char> in;
    std::vector<char> out;
    std::vector<bool> bad(blobs.size(), false);
    std::vector<std::unique_ptr<QCryptographicHash>> sha(blobs.size());
    std::uint64_t stored = at + 16 + table.size();
    for (std::uint64_t i = 0; i < chunks; ++i) {
        const std::uint64_t clen = readLe(table.data() + i * 4, 4);
        const std::uint64_t begin = i * chunkSize;
        const auto ulen =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, size - begin));
        const bool ok = readChunk(fd, stored, clen, ulen, d, in, out);
        stored += clen;
        for (std::size_t j = 0; j < blobs.size(); ++j) {
            const Blob& b = *blobs[j];
            const std::uint64_t from = std::max(b.offset, begin);
            const std::uint64_t to = std::min(b.offset + b.size, begin + ulen);
            if (from >= to || bad[j])
                continue;
            if (!ok) {
                bad[j] = true;
                continue;
            }
            if (!sha[j])
                sha[j] = std::make_unique<QCryptographicHash>(QCryptographicHash::Sha1);
            sha[j]->addData(
                QByteArrayView(out.data() + (from - begin), static_cast<qsizetype>(to - from)));
        }
    }
    for (std::size_t j = 0; j < blobs.size(); ++j) {
        QCryptographicHash empty(QCryptographicHash::Sha1);
        if (bad[j] || !digestIs(sha[j] ? *sha[j] : empty, blobs[j]->hash))
            damaged.push_back(blobs[j]);
    }
}

} // namespace

namespace {

// The first path of each stream's users, image by image; and the images' own faults.
struct UserWalk {
    std::map<Hash, std::pair<DWORD, std::u16string>> first;
    std::map<Hash, DWORD> more;
    DWORD image = 0;
    std::vector<WIM_VERIFY_PROBLEM>* problems = nullptr;
};

int noteUsers(const wimlib_dir_entry* e, void* ctx)
{
    auto& walk = *static_cast<UserWalk*>(ctx);
    for (std::uint32_t i = 0; i <= e->num_named_streams; ++i) {
        const wimlib_resource_entry& r = e->streams[i].resource;
        if (r.uncompressed_size == 0 && !r.is_missing)
            continue;
        Hash hash{};
        std::memcpy(hash.data(), r.sha1_hash, hash.size());
        const std::u16string path = fromUtf8(e->full_path ? e->full_path : "");
        if (r.is_missing) {
            WIM_VERIFY_PROBLEM p{
                WIM_VERIFY_MISSING_DATA, walk.image, ERROR_FILE_CORRUPT, path, {}, 0, 0};
            std::memcpy(p.Hash, hash.data(), hash.size());
            walk.problems->push_back(std::move(p));
            continue;
        }
        if (!walk.first.emplace(hash, std::make_pair(walk.image, path)).second)
            ++walk.more[hash];
    }
    return 0;
}

// Every image on its own: its metadata must read, its data must be in the file (or a part).
UserWalk checkImages(WIMStruct* wim, int count, std::vector<WIM_VERIFY_PROBLEM>& problems)
{
    UserWalk walk;
    walk.problems = &problems;
    for (int image = 1; image <= count; ++image) {
        walk.image = static_cast<DWORD>(image);
        const int ret = wimlib_iterate_dir_tree(
            wim, image, "", WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE, noteUsers, &walk);
        if (ret)
            problems.push_back(
                {WIM_VERIFY_IMAGE_METADATA, walk.image, ErrorFromWimlib(ret, 0), {}, {}, 0, 0});
    }
    return walk;
}

// Every stream read and digested here; the damaged ones, with a file that uses each.
DWORD checkStreams(const WimHandle& w, const wimlib_wim_info& info, const UserWalk& users,
                   std::vector<WIM_VERIFY_PROBLEM>& problems)
{
    std::vector<Blob> blobs;
    if (const int ret = wimlib_iterate_lookup_table(w.wim.get(), 0, collectBlob, &blobs))
        return ErrorFromWimlib(ret, errno);
    std::map<std::uint32_t, UniqueFd> parts;
    std::map<std::pair<std::uint32_t, std::uint64_t>, std::vector<const Blob*>> solid;
    std::vector<const Blob*> damaged;
    for (const Blob& b : blobs) {
        UniqueFd& fd = parts[b.part];
        if (!fd) {
            int error = 0;
            fd = openRegularFile(splitPartPath(w.path, b.part), O_RDONLY, error);
        }
        if (b.solid)
            solid[{b.part, b.resourceOffset}].push_back(&b);
        else if (!fd || !plainBlobIsSound(fd.get(), b, info.compression_type, info.chunk_size))
            damaged.push_back(&b);
    }
    for (auto& [where, list] : solid) {
        std::sort(list.begin(), list.end(),
                  [](const Blob* a, const Blob* b) { return a->offset < b->offset; });
        const UniqueFd& fd = parts[where.first];
        if (fd)
            checkSolidResource(fd.get(), where.second, list, damaged);
        else
            damaged.insert(damaged.end(), list.begin(), list.end());
    }
    for (const Blob* b : damaged) {
        WIM_VERIFY_PROBLEM p{WIM_VERIFY_DAMAGED_DATA, 0, ERROR_CRC, {}, {}, b->size, 0};
        std::memcpy(p.Hash, b->hash.data(), sizeof p.Hash);
        if (const auto it = users.first.find(b->hash); it != users.first.end()) {
            p.ImageIndex = it->second.first;
            p.Path = it->second.second;
        }
        if (const auto it = users.more.find(b->hash); it != users.more.end())
            p.OtherUsers = it->second;
        problems.push_back(std::move(p));
    }
    return ERROR_SUCCESS;
}

// Whether a header's integrity table entry (24 bytes at offset 124) names a table.
bool hasIntegrityEntry(const unsigned char* header)
{
    constexpr std::size_t kIntegrityEntry = 124;
    return std::any_of(header + kIntegrityEntry, header + kIntegrityEntry + 24,
                       [](unsigned char c) { return c != 0; });
}

// The integrity table of every part that has one, checked by libwim while it opens the part.
DWORD checkIntegrity(const WimHandle& w, const wimlib_wim_info& info, ToolboxProgress& state,
                     WIM_VERIFY_RESULT& result)
{
    const unsigned parts = std::max<unsigned>(1, info.total_parts);
    for (unsigned part = 1; part <= parts; ++part) {
        const std::string path = splitPartPath(w.path, part);
        int error = 0;
        const UniqueFd fd = openRegularFile(path, O_RDONLY, error);
        if (!fd)
            return ErrorFromOpenRegularFile(error, path);
        // A part without a table is not opened again (libwim would only warn about it).
        unsigned char header[kWimHeaderSize];
        if (!readAll(fd.get(), header, sizeof header, 0))
            return ERROR_FILE_CORRUPT;
        if (!hasIntegrityEntry(header))
            continue;
        const std::string viaFd = "/proc/self/fd/" + std::to_string(fd.get());
        state.phaseBase = 0.5 * (part - 1) / parts;
        state.phaseShare = 0.5 / parts;
        WIMStruct* raw = nullptr;
        const int ret =
            wimlib_open_wim_with_progress(viaFd.c_str(), WIMLIB_OPEN_FLAG_CHECK_INTEGRITY, &raw,
                                          toolboxProgressFunction(), &state);
        const WimPtr opened(raw);
        if (state.bridge.aborted())
            return ERROR_REQUEST_ABORTED;
        if (opened && wimInfoOf(opened.get()).has_integrity_table)
            result.HasIntegrityTable = TRUE;
        if (ret == WIMLIB_ERR_INTEGRITY) {
            result.HasIntegrityTable = TRUE;
            result.Problems.push_back(
                {WIM_VERIFY_INTEGRITY_TABLE, 0, ERROR_CRC, fromUtf8(path), {}, 0, 0});
        } else if (ret) {
            return ErrorFromWimlib(ret, errno);
        }
    }
    return ERROR_SUCCESS;
}

} // namespace

BOOL WIMVerifyFile(HANDLE wim, DWORD flags, WIM_VERIFY_RESULT* result)
{
    (void)flags;
    WimHandle* w = lookupWim(wim);
    if (!w)
        return FALSE;
    if (!result || w->isNew)
        return fail(ERROR_INVALID_PARAMETER);
    *result = WIM_VERIFY_RESULT{};
    const wimlib_wim_info info = wimInfoOf(w->wim.get());
    result->ImageCount = info.image_count;
    ToolboxProgress state;
    state.bridge.startPhase();
    if (const DWORD error = checkIntegrity(*w, info, state, *result))
        return fail(error);
    state.phaseBase = 0.5;
    state.phaseShare = 0.5;
    int ret = 0;
    {
        ToolboxProgressScope scope(w->wim.get(), &state);
        ret = wimlib_verify_wim(w->wim.get(), 0);
    }
    if (state.bridge.aborted())
        return fail(ERROR_REQUEST_ABORTED);
    result->StreamCount = state.streamCount;
    result->StreamBytes = state.streamBytes;
    if (ret) {
        // Something is wrong: each image and each stream on its own, to name every fault.
        const UserWalk users =
            checkImages(w->wim.get(), static_cast<int>(info.image_count), result->Problems);
        if (const DWORD error = checkStreams(*w, info, users, result->Problems))
            return fail(error);
        if (result->Problems.empty())
            return fail(ErrorFromWimlib(ret, 0));
    }
    if (!result->Problems.empty())
        return fail(ERROR_FILE_CORRUPT);
    state.bridge.progress(1, 1, true);
    return TRUE;
}
