// Running the real operations the way the progress dialog does, for end-to-end tests:
// through startOperation on the process-wide context with a recording dialog, and small
// helpers around them (fresh request, abort watcher, source trees with every kind of name).
#pragma once

#include "ops/Context.h"
#include "support/RecordingPort.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <thread>

namespace oprun {

// The process-wide request reset to its start-up defaults.
OperationRequest& freshRequest();

// Waits, without serving events, until the worker of `context` has cleared its running flag
// or `timeoutSeconds` have passed. Returns whether the flag is clear. The worker is not joined.
bool waitWhileRunning(const OperationContext& context, int timeoutSeconds = 50);

// Starts operation `id` on `context` with `port` as its dialog, waits until the worker has
// ended and joins it. Returns false when it did not start or did not end in time.
bool runOperation(OperationContext& context, int id, RecordingPort& port, int timeoutSeconds = 50);
// The same on globalContext().
bool runOperation(int id, RecordingPort& port, int timeoutSeconds = 50);

// Presses Abort (requestCloseOrAbort) from another thread once `ready` holds, polled while
// the operation runs; abortSent() tells whether the press happened.
class AbortWhen {
public:
    explicit AbortWhen(std::function<bool(const OperationContext&)> ready);
    ~AbortWhen();
    bool abortSent() const { return sent_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> sent_{false};
    std::thread thread_;
};

// A tree with nested folders, empty files and folders, duplicate contents, Chinese names and
// names outside the Basic Multilingual Plane, relative symbolic links (file and folder), files
// the test configuration excludes (*.bak, below "tmp") and a compressible file that the
// default *.mp3 rule asks to store uncompressed (music/Song.mp3).
// `manyFiles` small files are added below "many".
void makeRichTree(const QString& root, int manyFiles = 0);
// The configuration that goes with makeRichTree.
QByteArray richTreeConfig();
// Relative paths of makeRichTree's entries that richTreeConfig excludes.
QStringList richTreeExcluded();

// The log text of the process-wide context.
QString logText();

// A tmpfs mounted on a folder for the life of the object (options such as "size=2m" or
// "ro,size=1m"); needs root. ok() is false when the mount failed (the test then skips).
class TmpfsMount {
public:
    TmpfsMount(const QString& folder, const QString& options);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool ok() const { return mounted_; }
    const QString& error() const { return error_; }

private:
    QString folder_;
    QString error_;
    bool mounted_ = false;
};

// A real exFAT file system (as on a USB stick) mounted on a folder for the life of the object:
// an image file of `bytes` beside the folder, a loop device, mkfs.exfat and Debian's exfat-fuse.
// ok() is false, with the reason in error(), when any part is missing (root, /dev/fuse, a
// free loop device, the tools); the test then skips.
class ExfatVolume {
public:
    ExfatVolume(const QString& folder, qint64 bytes);
    ~ExfatVolume();
    ExfatVolume(const ExfatVolume&) = delete;
    ExfatVolume& operator=(const ExfatVolume&) = delete;
    bool ok() const { return mounted_; }
    const QString& error() const { return error_; }

private:
    QString setUp(qint64 bytes);

    QString folder_;
    QString image_;
    QString device_;
    QString error_;
    bool mounted_ = false;
};

// A recording dialog that, when the log line `trigger` arrives, fills the file system that
// holds `folder` with one file until no byte is left (run on the worker thread, so the
// operation meets a full disk from its next write on).
class FillDiskOnLine : public RecordingPort {
public:
    FillDiskOnLine(QString trigger, QString folder);
    void appendLog(const QString& line) override;
    bool filled() const { return filled_; }

private:
    QString trigger_;
    QString folder_;
    std::atomic<bool> filled_{false};
};

// The "Compression:" value that `wimlib-imagex info` prints ("None", "XPRESS", "LZX").
QString wimCompression(const QString& wimPath);
// A file of `bytes` pseudo-random (incompressible) bytes.
QByteArray noiseBytes(int bytes, quint32 seed = 0x2545F491);

} // namespace oprun
