// The per-path decisions run once per file of a capture: they must not touch the heap.
// This executable counts every operator new while a decision runs.
#include "config/CaptureConfig.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <cstdlib>
#include <new>

namespace
{
std::atomic<long> allocations{0};
}

void* operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace
{

TEST(ExclusionDecision, AllocatesNothing)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("wimscript.ini"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("\xEF\xBB\xBF[ExclusionList]\n\\Temp\\*\nlogs\\*.l?g\nЖурнал\\*\n*\\x*y*z\n"
               "[ExclusionException]\n\\Temp\\keep*\n[CompressionExclusionList]\n*.ISO\n");
    file.close();
    CaptureConfig config;
    ASSERT_TRUE(config.load(path, QString(), QString()).ok);
    config.setVolumeRoot(QStringLiteral("/mnt/win"));

    QStringList paths = {
        QStringLiteral("/mnt/win/pagefile.sys"),
        QStringLiteral("/mnt/win/Temp/a"),
        QStringLiteral("/mnt/win/Temp/keep.txt"),
        QStringLiteral("/mnt/win/a/logs/b.log"),
        QStringLiteral("/mnt/win/a/журнал/b"),
        QStringLiteral("/mnt/win/q/*/xAbYcz"),
        QStringLiteral("/elsewhere/song.MP3"),
        QStringLiteral("C:\\x\\y.iso"),
        QStringLiteral("/mnt/win/") + QString(10000, u'd') + QStringLiteral("/f.wim"),
    };
    int excluded = 0;
    int stored = 0;
    const long before = allocations.load();
    for (int round = 0; round < 100; ++round) {
        for (const QString& p : std::as_const(paths)) {
            excluded += config.isExcluded(p) ? 1 : 0;
            stored += config.isCompressionExcluded(p) ? 1 : 0;
        }
    }
    EXPECT_EQ(allocations.load() - before, 0);
    // The decisions did real work: some paths were excluded, some stored.
    EXPECT_EQ(excluded, 100 * 5);
    EXPECT_EQ(stored, 100 * 3);
}

} // namespace
