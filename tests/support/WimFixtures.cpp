#include "support/WimFixtures.h"

#include "support/TempDir.h"

#include <wimlib.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <filesystem>
#include <memory>

namespace wimfix {
namespace {

struct WimFree {
    void operator()(WIMStruct* w) const { wimlib_free(w); }
};
using WimPtr = std::unique_ptr<WIMStruct, WimFree>;

WimPtr openWim(const QString& path)
{
    WIMStruct* w = nullptr;
    if (wimlib_open_wim(QFile::encodeName(path).constData(), 0, &w) != 0)
        return nullptr;
    return WimPtr(w);
}

int countOf(WIMStruct* wim)
{
    wimlib_wim_info info{};
    wimlib_get_wim_info(wim, &info);
    return static_cast<int>(info.image_count);
}

QString errorText(int code)
{
    return QString::fromUtf8(wimlib_get_error_string(static_cast<wimlib_error_code>(code)));
}

} // namespace

void makeTree(const QString& root, const std::vector<TreeEntry>& entries)
{
    QDir().mkpath(root);
    for (const TreeEntry& e : entries) {
        const QString full = root + QLatin1Char('/') + e.path;
        if (e.folder) {
            QDir().mkpath(full);
            continue;
        }
        QDir().mkpath(QFileInfo(full).path());
        QFile f(full);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(e.content);
    }
}

TreeCounts makeSampleTree(const QString& root, int extraFiles)
{
    QByteArray compressible(64 * 1024, 'a');
    QByteArray random(48 * 1024, '\0');
    quint32 x = 0x12345678;
    for (char& c : random) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    std::vector<TreeEntry> entries = {
        {QStringLiteral("docs"), {}, true},
        {QStringLiteral("docs/readme.txt"), "hello wim\n"},
        {QStringLiteral("docs/nested/deeper"), {}, true},
        {QStringLiteral("docs/nested/deeper/leaf.txt"), "leaf\n"},
        {QStringLiteral("docs/nested/same.txt"), "hello wim\n"}, // same data as readme.txt
        {QStringLiteral("data/zeros.bin"), compressible},
        {QStringLiteral("data/random.bin"), random},
        {QStringLiteral("data/empty.dat"), {}},
        {QString::fromUtf8("中文/文件.txt"), QByteArray("内容\n")},
        {QStringLiteral("emptydir"), {}, true},
    };
    for (int i = 0; i < extraFiles; ++i)
        entries.push_back({QStringLiteral("many/f%1.txt").arg(i), QByteArray::number(i) + "\n"});
    makeTree(root, entries);
    QFile::link(QStringLiteral("docs/readme.txt"), root + QStringLiteral("/link-to-readme"));

    TreeCounts counts;
    counts.folders = 1; // root
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo fi = it.fileInfo();
        if (fi.isDir() && !fi.isSymLink())
            ++counts.folders;
        else
            ++counts.files;
    }
    return counts;
}

void addWindowsSkeleton(const QString& root)
{
    makeTree(root, {
                       {QStringLiteral("Windows/System32/kernel32.dll"), "MZ not really"},
                       {QStringLiteral("Windows/System32/config/SOFTWARE"), "regf?"},
                       {QStringLiteral("Windows/System32/config/SYSTEM"), "regf?"},
                   });
}

bool makeWim(const QString& wimPath, const WimRecipe& recipe, QString* error)
{
    auto fail = [&](const QString& what, int code) {
        if (error)
            *error = what + QStringLiteral(": ") + errorText(code);
        return false;
    };
    WIMStruct* raw = nullptr;
    int ret = wimlib_create_new_wim(static_cast<wimlib_compression_type>(recipe.compression), &raw);
    if (ret)
        return fail(QStringLiteral("create"), ret);
    WimPtr wim(raw);
    for (const ImageRecipe& image : recipe.images) {
        const QByteArray source = QFile::encodeName(image.source);
        ret = wimlib_add_image(wim.get(), source.constData(), nullptr, nullptr, 0);
        if (ret)
            return fail(QStringLiteral("add ") + image.source, ret);
        const int index = countOf(wim.get());
        if (!image.keepLibwimWindowsInfo) {
            for (const char* p : {"WINDOWS", "FLAGS", "DISPLAYNAME", "DISPLAYDESCRIPTION"})
                wimlib_set_image_property(wim.get(), index, p, nullptr);
        }
        // "NAME[1]" rather than "NAME": libwim refuses a duplicate through the plain name.
        if (!image.name.isEmpty())
            ret = wimlib_set_image_property(wim.get(), index, "NAME[1]",
                                            image.name.toUtf8().constData());
        if (!ret && !image.description.isEmpty())
            ret = wimlib_set_image_property(wim.get(), index, "DESCRIPTION",
                                            image.description.toUtf8().constData());
        for (const auto& [path, value] : image.elements) {
            if (ret)
                break;
            ret = wimlib_set_image_property(wim.get(), index, path.toUtf8().constData(),
                                            value.toUtf8().constData());
        }
        if (ret)
            return fail(QStringLiteral("properties"), ret);
    }
    if (recipe.bootIndex) {
        wimlib_wim_info info{};
        info.boot_index = static_cast<uint32_t>(recipe.bootIndex);
        ret = wimlib_set_wim_info(wim.get(), &info, WIMLIB_CHANGE_BOOT_INDEX);
        if (ret)
            return fail(QStringLiteral("boot index"), ret);
    }
    const int flags = recipe.integrity ? WIMLIB_WRITE_FLAG_CHECK_INTEGRITY : 0;
    ret = wimlib_write(wim.get(), QFile::encodeName(wimPath).constData(), WIMLIB_ALL_IMAGES, flags,
                       1);
    if (ret)
        return fail(QStringLiteral("write"), ret);
    return true;
}

bool make7zWim(const QString& wimPath, const QString& source, QString* output)
{
    QFile::remove(wimPath);
    return runProgram(QStringLiteral("7z"),
                      {QStringLiteral("a"), QStringLiteral("-twim"), QStringLiteral("-bd"), wimPath,
                       source + QStringLiteral("/*")},
                      output) == 0;
}

int imageCount(const QString& wimPath)
{
    WimPtr wim = openWim(wimPath);
    return wim ? countOf(wim.get()) : -1;
}

std::pair<qint64, qint64> metadataResource(const QString& wimPath)
{
    std::pair<qint64, qint64> found{0, 0};
    WimPtr wim = openWim(wimPath);
    if (!wim)
        return found;
    wimlib_iterate_lookup_table(
        wim.get(), 0,
        [](const wimlib_resource_entry* e, void* ctx) {
            if (e->is_metadata)
                *static_cast<std::pair<qint64, qint64>*>(ctx) = {
                    static_cast<qint64>(e->offset), static_cast<qint64>(e->compressed_size)};
            return 0;
        },
        &found);
    return found;
}

int bootIndex(const QString& wimPath)
{
    WimPtr wim = openWim(wimPath);
    if (!wim)
        return -1;
    wimlib_wim_info info{};
    wimlib_get_wim_info(wim.get(), &info);
    return static_cast<int>(info.boot_index);
}

QString imageProperty(const QString& wimPath, int image, const QString& property)
{
    WimPtr wim = openWim(wimPath);
    if (!wim)
        return {};
    const char* v = wimlib_get_image_property(wim.get(), image, property.toUtf8().constData());
    return v ? QString::fromUtf8(v) : QString();
}

QString imagexXml(const QString& wimPath)
{
    // wimlib-imagex prints the XML as stored: UTF-16LE with a byte-order mark.
    QProcess p;
    p.start(QStringLiteral("wimlib-imagex"),
            {QStringLiteral("info"), wimPath, QStringLiteral("--xml")});
    if (!p.waitForFinished(60000))
        return {};
    QByteArray bytes = p.readAllStandardOutput();
    if (bytes.startsWith("\xFF\xFE"))
        bytes.remove(0, 2);
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()),
                              bytes.size() / 2);
}

bool imagexVerify(const QString& wimPath, QString* output)
{
    return runProgram(QStringLiteral("wimlib-imagex"), {QStringLiteral("verify"), wimPath},
                      output) == 0;
}

QStringList imagePaths(const QString& wimPath, int image)
{
    QStringList paths;
    WimPtr wim = openWim(wimPath);
    if (!wim)
        return paths;
    auto cb = [](const wimlib_dir_entry* e, void* ctx) -> int {
        QString p = QString::fromUtf8(e->full_path);
        if (p != QLatin1String("/"))
            static_cast<QStringList*>(ctx)->append(p.mid(1));
        return 0;
    };
    wimlib_iterate_dir_tree(wim.get(), image, "", WIMLIB_ITERATE_DIR_TREE_FLAG_RECURSIVE, cb,
                            &paths);
    paths.sort();
    return paths;
}

QByteArray fileDigest(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash h(QCryptographicHash::Sha1);
    h.addData(&f);
    return h.result();
}

std::map<QString, QByteArray> treeContents(const QString& root)
{
    std::map<QString, QByteArray> out;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        it.next();
        const QFileInfo fi = it.fileInfo();
        const QString rel = base.relativeFilePath(fi.filePath());
        if (fi.isSymLink())
            out[rel] =
                "->" + QByteArray::fromStdString(std::filesystem::read_symlink(
                                                     QFile::encodeName(fi.filePath()).toStdString())
                                                     .string());
        else if (fi.isDir())
            out[rel + QLatin1Char('/')] = {};
        else
            out[rel] = readFileBytes(fi.filePath());
    }
    return out;
}

} // namespace wimfix
