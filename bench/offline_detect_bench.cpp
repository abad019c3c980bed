// Time of one offline Windows detection run on hives of realistic size, next to the machine's
// own cost of the work it cannot avoid (copying both hives).
//
//   offline_detect_bench [SOFTWARE size in MB, default 150] [work folder]
//
// The installation is the test fixture's, with the SOFTWARE hive padded by large values to
// the given size (SYSTEM gets a fifth of it). Each measurement is run five times; the
// fastest is printed.
#include "offline/OfflineWindows.h"
#include "platform/Files.h"
#include "platform/Kernel.h"
#include "platform/Registry.h"

#include "support/HiveFixture.h"
#include "support/OfflineTree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>
#include <vector>

namespace {

double fastest(const std::function<void()>& run)
{
    double best = 1e30;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

// Adds about `megabytes` of extra values under "Bench\<n>": cells below the size at which a
// hive splits values into big-data records, 64 to a key, as a large real hive holds many
// small values rather than a few big ones.
void pad(const QString& hivePath, int megabytes)
{
    hivefix::HiveWriter hive(hivePath, true);
    const int valueSize = 16000;
    const int values = int((qint64(megabytes) << 20) / valueSize);
    for (int key = 0; key * 64 < values; ++key) {
        std::vector<std::pair<QString, QByteArray>> set;
        for (int i = key * 64; i < std::min(values, key * 64 + 64); ++i)
            set.emplace_back(QStringLiteral("Pad%1").arg(i % 64),
                             QByteArray(valueSize, char('a' + i % 26)));
        hive.setAllRaw(QStringLiteral("Bench\\%1").arg(key), 3, set);
    }
    hive.commit();
}

} // namespace

int main(int argc, char** argv)
{
    const int megabytes = argc > 1 ? std::atoi(argv[1]) : 150;
    QTemporaryDir temp;
    const QString work = argc > 2 ? QString::fromLocal8Bit(argv[2]) : temp.path();
    const QString source = work + QStringLiteral("/src");
    const offlinefix::Installation installation;
    const QString root = offlinefix::buildOfflineTree(source, installation);
    const QString config = root + QStringLiteral("/System32/config");
    pad(config + QStringLiteral("/SOFTWARE"), megabytes);
    pad(config + QStringLiteral("/SYSTEM"), megabytes / 5);
    const qint64 bytes = QFileInfo(config + QStringLiteral("/SOFTWARE")).size() +
                         QFileInfo(config + QStringLiteral("/SYSTEM")).size();

    const double copy = fastest([&] {
        for (const char* hive : {"/SOFTWARE", "/SYSTEM"}) {
            const QString from = config + QLatin1String(hive);
            CopyFileW(wide(from), wide(from + QStringLiteral(".bench")), FALSE);
            DeleteFileW(wide(from + QStringLiteral(".bench")));
        }
    });
    const double load = fastest([&] {
        RegLoadKeyW(HKEY_LOCAL_MACHINE, u"BENCH", wide(config + QStringLiteral("/SOFTWARE")));
        RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"BENCH");
    });
    const double detect = fastest([&] {
        DetectOfflineWindows(
            nullptr, [] {}, source);
    });

    std::printf("hives: %.1f MB\n", double(bytes) / (1 << 20));
    std::printf("copy both hives:         %8.1f ms\n", copy);
    std::printf("load SOFTWARE:           %8.1f ms\n", load);
    std::printf("whole detection run:     %8.1f ms (%.2f x the copies)\n", detect, detect / copy);
    return 0;
}
