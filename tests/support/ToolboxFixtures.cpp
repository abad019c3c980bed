#include "support/ToolboxFixtures.h"

#include "support/OperationRun.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <wimlib.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <memory>
#include <vector>

namespace toolfix {
namespace {

struct WimFree {
    void operator()(WIMStruct* w) const { wimlib_free(w); }
};
using WimPtr = std::unique_ptr<WIMStruct, WimFree>;

WimPtr openWim(const QString& path, int flags = 0)
{
    WIMStruct* w = nullptr;
    if (wimlib_open_wim(QFile::encodeName(path).constData(), flags, &w) != 0)
        return nullptr;
    return WimPtr(w);
}

struct Found {
    std::uint8_t hash[20]{};
    bool any = false;
    Location where;
};

} // namespace

void makeNoiseTree(const QString& root, int files, int bytes)
{
    std::vector<wimfix::TreeEntry> entries;
    for (int i = 0; i < files; ++i) {
        const QString name = (i % 10 == 9 ? QStringLiteral("sub/f%1.bin") : QStringLiteral("f%1.bin"))
                                 .arg(i);
        entries.push_back({name, oprun::noiseBytes(bytes, 0x1234567u + static_cast<quint32>(i))});
    }
    wimfix::makeTree(root, entries);
}

int imagex(const QStringList& args, QString* output)
{
    return runProgram(QStringLiteral("wimlib-imagex"), args, output);
}

QStringList partsOf(const QString& firstPart)
{
    QStringList parts;
    const QFileInfo first(firstPart);
    const QString base = first.path() + QLatin1Char('/') + first.completeBaseName();
    const QString suffix = first.suffix().isEmpty() ? QString() : QLatin1Char('.') + first.suffix();
    if (first.exists())
        parts << firstPart;
    for (int part = 2; QFileInfo::exists(base + QString::number(part) + suffix); ++part)
        parts << base + QString::number(part) + suffix;
    return parts;
}

Location dataOf(const QString& wimPath, int image, const QString& pathInImage)
{
    const WimPtr wim = openWim(wimPath);
    if (!wim)
        return {};
    Found found;
    const QByteArray path = pathInImage.toUtf8();
    wimlib_iterate_dir_tree(
        wim.get(), image, path.constData(), 0,
        [](const wimlib_dir_entry* e, void* ctx) {
            auto& f = *static_cast<Found*>(ctx);
            std::memcpy(f.hash, e->streams[0].resource.sha1_hash, 20);
            f.any = e->streams[0].resource.uncompressed_size > 0;
            return 0;
        },
        &found);
    if (!found.any)
        return {};
    wimlib_iterate_lookup_table(
        wim.get(), 0,
        [](const wimlib_resource_entry* r, void* ctx) {
            auto& f = *static_cast<Found*>(ctx);
            if (std::memcmp(r->sha1_hash, f.hash, 20) != 0)
                return 0;
            f.where = r->packed ? Location{static_cast<qint64>(r->raw_resource_offset_in_wim),
                                           static_cast<qint64>(r->raw_resource_compressed_size)}
                                : Location{static_cast<qint64>(r->offset),
                                           static_cast<qint64>(r->compressed_size)};
            return 0;
        },
        &found);
    return found.where;
}

Location anyDataOf(const QString& wimPath)
{
    const WimPtr wim = openWim(wimPath);
    Location where;
    if (wim)
        wimlib_iterate_lookup_table(
            wim.get(), 0,
            [](const wimlib_resource_entry* r, void* ctx) {
                auto& w = *static_cast<Location*>(ctx);
                if (w.offset < 0 && !r->is_metadata && !r->packed && r->compressed_size > 0)
                    w = {static_cast<qint64>(r->offset), static_cast<qint64>(r->compressed_size)};
                return 0;
            },
            &where);
    return where;
}

bool allDataSolid(const QString& wimPath)
{
    const WimPtr wim = openWim(wimPath);
    struct Count {
        int data = 0;
        int solid = 0;
    } count;
    if (!wim)
        return false;
    wimlib_iterate_lookup_table(
        wim.get(), 0,
        [](const wimlib_resource_entry* r, void* ctx) {
            auto& c = *static_cast<Count*>(ctx);
            if (!r->is_metadata) {
                ++c.data;
                c.solid += r->packed ? 1 : 0;
            }
            return 0;
        },
        &count);
    return count.data > 0 && count.solid == count.data;
}

bool flipByte(const QString& path, qint64 offset)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) || !file.seek(offset))
        return false;
    char c = 0;
    if (file.read(&c, 1) != 1 || !file.seek(offset))
        return false;
    c = static_cast<char>(c ^ 0xFF);
    return file.write(&c, 1) == 1;
}

bool renameInImage(const QString& wimPath, const QString& from, const QString& to)
{
    const WimPtr wim = openWim(wimPath, WIMLIB_OPEN_FLAG_WRITE_ACCESS);
    return wim &&
           wimlib_rename_path(wim.get(), 1, from.toUtf8().constData(), to.toUtf8().constData()) ==
               0 &&
           wimlib_overwrite(wim.get(), WIMLIB_WRITE_FLAG_REBUILD, 0) == 0;
}

bool makeManyFileWim(const QString& wimPath, int folders, int files)
{
    TempDir scratch;
    for (int f = 0; f < files; ++f)
        scratch.write(QStringLiteral("file%1-with-a-name-as-long-as-those-of-a-real-installation.txt")
                          .arg(f),
                      {});
    WIMStruct* raw = nullptr;
    if (wimlib_create_new_wim(WIMLIB_COMPRESSION_TYPE_XPRESS, &raw) != 0)
        return false;
    const WimPtr wim(raw);
    if (wimlib_add_empty_image(wim.get(), "many", nullptr) != 0)
        return false;
    const QByteArray source = QFile::encodeName(scratch.path());
    std::vector<QByteArray> targets;
    std::vector<wimlib_update_command> commands(static_cast<std::size_t>(folders));
    for (int d = 0; d < folders; ++d)
        targets.push_back(QStringLiteral("/d%1").arg(d, 3, 10, QLatin1Char('0')).toUtf8());
    for (int d = 0; d < folders; ++d) {
        wimlib_update_command& c = commands[static_cast<std::size_t>(d)];
        c.op = WIMLIB_UPDATE_OP_ADD;
        c.add.fs_source_path = const_cast<char*>(source.constData());
        c.add.wim_target_path = const_cast<char*>(targets[static_cast<std::size_t>(d)].constData());
        c.add.config_file = nullptr;
        c.add.add_flags = 0;
    }
    return wimlib_update_image(wim.get(), 1, commands.data(), commands.size(), 0) == 0 &&
           wimlib_write(wim.get(), QFile::encodeName(wimPath).constData(), WIMLIB_ALL_IMAGES, 0,
                        0) == 0;
}

bool patchName(const QString& wimPath, const QString& from, const QString& to)
{
    QByteArray bytes = readFileBytes(wimPath);
    const auto [offset, size] = wimfix::metadataResource(wimPath);
    if (offset <= 0 || from.size() != to.size())
        return false;
    QByteArray metadata = bytes.mid(offset, size);
    const QByteArray oldHash = QCryptographicHash::hash(metadata, QCryptographicHash::Sha1);
    const QByteArray a(reinterpret_cast<const char*>(from.utf16()), from.size() * 2);
    const QByteArray b(reinterpret_cast<const char*>(to.utf16()), to.size() * 2);
    const qsizetype at = metadata.indexOf(a);
    if (at < 0)
        return false;
    metadata.replace(at, a.size(), b);
    bytes.replace(offset, size, metadata);
    // The blob table names the metadata by its digest, which libwim checks when it reads it.
    const QByteArray newHash = QCryptographicHash::hash(metadata, QCryptographicHash::Sha1);
    const qsizetype entry = bytes.indexOf(oldHash);
    if (entry < 0)
        return false;
    bytes.replace(entry, newHash.size(), newHash);
    QFile file(wimPath);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace toolfix
