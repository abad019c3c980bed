// Paths per second of the capture's per-path decisions (exclusion and compression
// exclusion) with the built-in lists plus a configuration file of realistic size.
//
//   exclusion_bench [folder]
//
// Without a folder the paths are a generated tree of a Windows volume mounted at /mnt/win;
// with one, every entry below that folder is collected first (not timed) and decided with the
// folder's real volume root.
#include "config/CaptureConfig.h"

#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <ctime>

namespace
{

const char kConfig[] = "\xEF\xBB\xBF"
                       "[ExclusionList]\n"
                       "\\Windows\\SoftwareDistribution\\Download\\*\n"
                       "\\Windows\\Temp\\*\n"
                       "\\Users\\*\\AppData\\Local\\Temp\\*\n"
                       "\\ProgramData\\Microsoft\\Windows Defender\\Scans\\*\n"
                       "*.tmp\n"
                       "~$*.do?\n"
                       "Thumbs.db\n"
                       "Кэш\\*\n"
                       "node_modules\\*\n"
                       "[ExclusionException]\n"
                       "\\Windows\\Temp\\keep.log\n"
                       "[CompressionExclusionList]\n"
                       "*.jpg\n*.png\n*.mp4\n*.gz\n*.xz\n*.iso\n*.vhdx\n*.esd\n";

QStringList generatedPaths()
{
    const QStringList top = {u"Windows"_qs, u"Program Files"_qs, u"Users"_qs, u"ProgramData"_qs,
                             u"$Recycle.Bin"_qs};
    const QStringList mid = {u"System32"_qs, u"WinSxS"_qs,  u"AppData"_qs,   u"Temp"_qs,
                             u"Local"_qs,    u"drivers"_qs, u"Документы"_qs, u"node_modules"_qs};
    const QStringList ext = {u".dll"_qs, u".exe"_qs, u".sys"_qs, u".txt"_qs, u".mp3"_qs,
                             u".jpg"_qs, u".tmp"_qs, u".cab"_qs, u".xml"_qs, u".mui"_qs};
    QStringList paths;
    paths.reserve(1 << 20);
    paths.append(u"/mnt/win/pagefile.sys"_qs);
    for (int i = 0; paths.size() < (1 << 20); ++i) {
        QString p = u"/mnt/win/"_qs + top[i % top.size()];
        for (int d = 0; d < 1 + (i / 7) % 6; ++d)
            p += u'/' + mid[(i / (d + 3)) % mid.size()];
        p += u"/file"_qs + QString::number(i) + ext[(i / 11) % ext.size()];
        paths.append(p);
    }
    return paths;
}

QStringList treePaths(const QString& folder)
{
    QStringList paths;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(it.next());
    return paths;
}

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Rates by wall time and by the thread's CPU time (the fair figure on a shared machine).
template <typename Fn> void measure(const char* what, const QStringList& paths, Fn&& decide)
{
    long hits = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuSeconds();
    int rounds = 0;
    std::chrono::duration<double> elapsed{};
    do {
        for (const QString& p : paths)
            hits += decide(p) ? 1 : 0;
        ++rounds;
        elapsed = std::chrono::steady_clock::now() - start;
    } while (elapsed.count() < 1.0);
    const double cpu = threadCpuSeconds() - cpuStart;
    const double decided = double(paths.size()) * rounds;
    std::printf("%-24s %12.0f paths/s wall %12.0f paths/s cpu  (%ld of %lld decided yes)\n", what,
                decided / elapsed.count(), decided / cpu, hits / rounds,
                static_cast<long long>(paths.size()));
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir dir;
    const QString configPath = dir.filePath(u"wimscript.ini"_qs);
    QFile file(configPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(kConfig) < 0)
        return 1;
    file.close();

    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    CaptureConfig config;
    if (!config.load(configPath, folder, QString()).ok)
        return 1;
    if (folder.isEmpty())
        config.setVolumeRoot(u"/mnt/win"_qs);

    const QStringList paths = folder.isEmpty() ? generatedPaths() : treePaths(folder);
    std::printf("%lld paths, volume root \"%s\", %zu + %zu + %zu patterns\n",
                static_cast<long long>(paths.size()), qPrintable(config.volumeRoot()),
                config.exclusionList.size(), config.compressionExclusionList.size(),
                config.exclusionExceptions.size());
    if (paths.isEmpty())
        return 0;
    // All paths (mostly memory traffic over the path texts), then a few thousand that stay
    // in the cache, as a path the library has just built does.
    const QStringList hot = paths.mid(0, 4096);
    for (const QStringList* set : {&paths, &hot}) {
        std::printf("-- %lld distinct paths\n", static_cast<long long>(set->size()));
        measure("isExcluded", *set, [&config](const QString& p) { return config.isExcluded(p); });
        measure("isCompressionExcluded", *set,
                [&config](const QString& p) { return config.isCompressionExcluded(p); });
    }
    return 0;
}
