#include "support/MountFixture.h"

#include "platform/Kernel.h"
#include "platform/Mount.h"
#include "platform/MountTable.h"
#include "support/TempDir.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <thread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mountfix
{

bool fuseAvailable(QString* why)
{
    const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (why)
            *why = QStringLiteral("/dev/fuse cannot be opened: %1")
                       .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    close(fd);
    return true;
}

void prepareMounting()
{
    const QString helper = QStringLiteral(PELLORIC_BINARY_DIR "/src/app/pelloric-mount-helper");
    setMountHelperPath(wide(helper));
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

QString fromWide(const WCHAR* text)
{
    qsizetype length = 0;
    while (length < static_cast<qsizetype>(MAX_PATH) && text[length] != u'\0')
        ++length;
    return QString::fromUtf16(text, length);
}

std::vector<WIM_MOUNT_LIST> mountsBelow(const QString& root)
{
    const QString canonical = QFileInfo(root).canonicalFilePath();
    std::vector<WIM_MOUNT_LIST> all(64);
    DWORD size = static_cast<DWORD>(all.size() * sizeof(WIM_MOUNT_LIST));
    if (!WIMGetMountedImages(all.data(), &size)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return {};
        all.resize(size / sizeof(WIM_MOUNT_LIST));
        if (!WIMGetMountedImages(all.data(), &size))
            return {};
    }
    all.resize(size / sizeof(WIM_MOUNT_LIST));
    std::vector<WIM_MOUNT_LIST> below;
    for (const WIM_MOUNT_LIST& entry : all) {
        if (fromWide(entry.MountPath).startsWith(canonical + QLatin1Char('/')))
            below.push_back(entry);
    }
    return below;
}

std::vector<WIM_MOUNT_INFO_LEVEL1> mountInfoBelow(const QString& root)
{
    const QString canonical = QFileInfo(root).canonicalFilePath();
    std::vector<WIM_MOUNT_INFO_LEVEL1> all(64);
    DWORD count = 0;
    DWORD size = 0;
    if (!WIMGetMountedImageInfo(MountedImageInfoLevel1, &count, all.data(),
                                static_cast<DWORD>(all.size() * sizeof all[0]), &size)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return {};
        all.resize(count + 16);
        if (!WIMGetMountedImageInfo(MountedImageInfoLevel1, &count, all.data(),
                                    static_cast<DWORD>(all.size() * sizeof all[0]), &size))
            return {};
    }
    all.resize(count);
    std::vector<WIM_MOUNT_INFO_LEVEL1> below;
    for (const WIM_MOUNT_INFO_LEVEL1& entry : all) {
        if (fromWide(entry.MountPath).startsWith(canonical + QLatin1Char('/')))
            below.push_back(entry);
    }
    return below;
}

std::vector<pid_t> adoptedDaemons(const char* namePrefix)
{
    std::vector<pid_t> pids;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const pid_t pid = entry.toInt(&isPid);
        if (!isPid)
            continue;
        const QByteArray stat = readFileBytes(QStringLiteral("/proc/") + entry + "/stat");
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0 || !stat.mid(stat.indexOf('(') + 1).startsWith(namePrefix))
            continue;
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        // State and parent: a zombie has ended already.
        if (fields.size() > 1 && fields[0] != "Z" && fields[1].toInt() == getpid())
            pids.push_back(pid);
    }
    return pids;
}

bool killTheDaemon(const char* namePrefix)
{
    const std::vector<pid_t> daemons = adoptedDaemons(namePrefix);
    if (daemons.size() != 1 || kill(daemons[0], SIGKILL) != 0)
        return false;
    return waitpid(daemons[0], nullptr, 0) == daemons[0];
}

namespace
{

// Mount points of fuse file systems below root, read straight from the mount table (so
// even a mount the layer does not list is found).
QStringList fuseMountPointsBelow(const QString& root)
{
    QStringList points;
    const QString canonical = QFileInfo(root).canonicalFilePath();
    if (canonical.isEmpty())
        return points;
    std::vector<MountTableEntry> table;
    readMountTable(table);
    for (const MountTableEntry& entry : table) {
        if (entry.fsType.rfind("fuse", 0) != 0)
            continue;
        const QString path = QString::fromStdString(entry.mountPoint);
        if (path.startsWith(canonical + QLatin1Char('/')))
            points << path;
    }
    return points;
}

void reapEndedChildren()
{
    // Daemons end shortly after their file system is unmounted; give them a moment.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        const pid_t pid = waitpid(-1, nullptr, WNOHANG);
        if (pid > 0)
            continue;
        if (pid < 0 || std::chrono::steady_clock::now() >= deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

void sweepMounts(const QString& root)
{
    for (const WIM_MOUNT_LIST& entry : mountsBelow(root))
        WIMUnmountImage(entry.MountPath, nullptr, 0, FALSE);
    QStringList left = fuseMountPointsBelow(root);
    // Innermost first.
    std::sort(left.begin(), left.end(),
              [](const QString& a, const QString& b) { return a.size() > b.size(); });
    for (const QString& point : left)
        runProgram(QStringLiteral("fusermount"),
                   {QStringLiteral("-u"), QStringLiteral("-z"), point});
    reapEndedChildren();
}

} // namespace mountfix
