#include "support/OperationRun.h"

#include "ops/Worker.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QFile>

#include <chrono>
#include <future>

#include <unistd.h>

namespace oprun {

OperationRequest& freshRequest()
{
    OperationRequest& request = globalContext().request;
    request = OperationRequest{};
    resetRequestDefaults(request);
    return request;
}

bool waitWhileRunning(const OperationContext& context, int timeoutSeconds)
{
    // The worker hands out the operation's result after it has cleared the running flag.
    if (!context.operationResult.valid())
        return !context.running;
    return context.operationResult.wait_for(std::chrono::seconds(timeoutSeconds)) ==
               std::future_status::ready &&
           !context.running;
}

bool runOperation(OperationContext& context, int id, RecordingPort& port, int timeoutSeconds)
{
    if (!startOperation(context, id, &port) || !waitWhileRunning(context, timeoutSeconds))
        return false;
    joinWorker(context);
    return true;
}

bool runOperation(int id, RecordingPort& port, int timeoutSeconds)
{
    return runOperation(globalContext(), id, port, timeoutSeconds);
}

AbortWhen::AbortWhen(std::function<bool(const OperationContext&)> ready)
    : thread_([this, ready = std::move(ready)] {
          OperationContext& context = globalContext();
          while (!stop_) {
              if (context.running && ready(context)) {
                  requestCloseOrAbort(context);
                  sent_ = true;
                  return;
              }
              std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
      })
{
}

AbortWhen::~AbortWhen()
{
    stop_ = true;
    thread_.join();
}

void makeRichTree(const QString& root, int manyFiles)
{
    QByteArray text;
    for (int i = 0; i < 4000; ++i)
        text += "line " + QByteArray::number(i) + " of a compressible text file\n";
    const QByteArray noise = noiseBytes(100 * 1024, 0x9e3779b9);
    std::vector<wimfix::TreeEntry> entries = {
        {"a/b/c/d/deep.txt", "deep\n"},
        {"a/b/empty.dat", {}},
        {"a/empty-folder", {}, true},
        {"text/big.txt", text},
        {"text/copy-of-big.txt", text}, // same contents, stored once
        {"noise.bin", noise},
        {QString::fromUtf8("中文目录/说明文件.txt"), QByteArray("简体中文内容\n")},
        {QString::fromUtf8("emoji-😀/𠜎𠜱.txt"), QByteArray("outside the BMP\n")},
        {"music/Song.mp3", text.left(30011)},
        {"music/keep.txt", "kept\n"},
        {"old/notes.bak", "excluded by *.bak\n"},
        {"old/Archive.BAK", "excluded, other letter case\n"},
        {"tmp/scratch.txt", "excluded by tmp\\*\n"},
        {"tmp/sub/inner.txt", "excluded with its folder\n"},
        {"keep.bak", "an exclusion exception\n"},
    };
    for (int i = 0; i < manyFiles; ++i)
        entries.push_back({QStringLiteral("many/%1/f%2.txt").arg(i / 500).arg(i),
                           "file " + QByteArray::number(i) + "\n" + text.left(i % 3000)});
    wimfix::makeTree(root, entries);
    QFile::link(QStringLiteral("text/big.txt"), root + QStringLiteral("/link-relative"));
    QFile::link(QStringLiteral("../中文目录"), root + QStringLiteral("/a/link-to-folder"));
}

QByteArray richTreeConfig()
{
    return "[ExclusionList]\r\n*.bak\r\ntmp\\*\r\n"
           "[CompressionExclusionList]\r\n*.none\r\n"
           "[ExclusionException]\r\n\"keep.bak\"\r\n";
}

QStringList richTreeExcluded()
{
    return {"old/notes.bak", "old/Archive.BAK", "tmp/scratch.txt", "tmp/sub/", "tmp/sub/inner.txt"};
}

QString logText()
{
    OperationContext& context = globalContext();
    std::lock_guard lock(context.logMutex);
    return context.logText;
}

TmpfsMount::TmpfsMount(const QString& folder, const QString& options) : folder_(folder)
{
    QString output;
    mounted_ = runProgram(QStringLiteral("mount"), {"-t", "tmpfs", "-o", options, "tmpfs", folder},
                          &output) == 0;
    if (!mounted_)
        error_ = QStringLiteral("cannot mount a tmpfs on %1 (root needed): %2").arg(folder, output);
}

TmpfsMount::~TmpfsMount()
{
    if (mounted_)
        runProgram(QStringLiteral("umount"), {"-l", folder_});
}

ExfatVolume::ExfatVolume(const QString& folder, qint64 bytes)
    : folder_(folder), image_(folder + QStringLiteral(".exfat.img"))
{
    error_ = setUp(bytes);
    mounted_ = error_.isEmpty();
}

QString ExfatVolume::setUp(qint64 bytes)
{
    if (::geteuid() != 0)
        return QStringLiteral("a loop device needs root");
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        return QStringLiteral("no /dev/fuse");
    for (const char* tool : {"/usr/sbin/mkfs.exfat", "/usr/sbin/mount.exfat-fuse"})
        if (::access(tool, X_OK) != 0)
            return QStringLiteral("%1 is not installed (exfatprogs, exfat-fuse)").arg(tool);
    QFile image(image_);
    if (!image.open(QIODevice::WriteOnly) || !image.resize(bytes))
        return QStringLiteral("cannot make the image file");
    image.close();
    QString out;
    if (runProgram(QStringLiteral("mkfs.exfat"), {image_}, &out) != 0)
        return QStringLiteral("mkfs.exfat failed: ") + out;
    if (runProgram(QStringLiteral("losetup"), {"-f", "--show", image_}, &out) != 0)
        return QStringLiteral("no free loop device: ") + out;
    device_ = out.trimmed();
    if (runProgram(QStringLiteral("mount.exfat-fuse"), {device_, folder_}, &out) != 0)
        return QStringLiteral("mount.exfat-fuse failed: ") + out;
    return {};
}

ExfatVolume::~ExfatVolume()
{
    if (mounted_)
        runProgram(QStringLiteral("umount"), {folder_});
    if (!device_.isEmpty())
        runProgram(QStringLiteral("losetup"), {"-d", device_});
    QFile::remove(image_);
}

FillDiskOnLine::FillDiskOnLine(QString trigger, QString folder)
    : trigger_(std::move(trigger)), folder_(std::move(folder))
{
}

void FillDiskOnLine::appendLog(const QString& line)
{
    RecordingPort::appendLog(line);
    if (line != trigger_ || filled_)
        return;
    QFile filler(folder_ + QStringLiteral("/filler"));
    if (!filler.open(QIODevice::WriteOnly))
        return;
    const QByteArray block(64 * 1024, 'f');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    const QByteArray byte(1, 'f');
    while (filler.write(byte) == 1 && filler.flush()) {
    }
    filled_ = true;
}

QString wimCompression(const QString& wimPath)
{
    QString output;
    if (runProgram(QStringLiteral("wimlib-imagex"), {"info", wimPath}, &output) != 0)
        return {};
    for (const QString& line : output.split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("Compression:")))
            return line.mid(12).trimmed();
    }
    return {};
}

QByteArray noiseBytes(int bytes, quint32 seed)
{
    QByteArray out(bytes, '\0');
    quint32 x = seed;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return out;
}

} // namespace oprun
