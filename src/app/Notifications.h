// What the desktop shows of a running operation, over the session bus: its progress on the
// program's taskbar entry (com.canonical.Unity.LauncherEntry, read by KDE Plasma and dock
// panels) and, for a long operation that ends while the program's window is not active, a
// notification that says how it ended (org.freedesktop.Notifications). Without a session bus
// both do nothing, and say nothing. User-interface thread only.
#pragma once

#include "ops/Context.h"

#include <QString>

class OperationNotices {
public:
    // For operation `operationId` (its page button) with the request it runs on; the WIM it
    // works on names the notification.
    OperationNotices(int operationId, const OperationRequest& request);
    ~OperationNotices();
    OperationNotices(const OperationNotices&) = delete;
    OperationNotices& operator=(const OperationNotices&) = delete;

    // The operation started: the taskbar entry shows progress 0.
    void started();
    // The progress bar moved to percent (0..100); the entry follows when the value changed.
    void progress(int percent);
    // The operation ended after elapsedMs: the entry shows no progress any more, and when the
    // run took the minimum duration or more and windowActive is false, a notification tells
    // how it ended, with the WIM's file name, and shows lastLine (the log's last line).
    void ended(OperationEnd end, qint64 elapsedMs, bool windowActive, const QString& lastLine);

    // The WIM file operation `operationId` works on: the capture target, the apply, modify,
    // mount and delete source, the export target, the mount folder of an unmount.
    static QString wimPathOf(int operationId, const OperationRequest& request);

    // The shortest run that is announced; 10 s unless a test sets another.
    static qint64 minimumDuration();
    static void setMinimumDuration(qint64 ms);

private:
    void sendProgress(bool visible, double value);

    const QString wimPath_;
    bool shown_ = false; // the entry shows this operation's progress
    int lastPercent_ = -1;
};

// The names the program uses on the bus.
inline constexpr char kNotificationsService[] = "org.freedesktop.Notifications";
inline constexpr char kNotificationsPath[] = "/org/freedesktop/Notifications";
inline constexpr char kLauncherEntryInterface[] = "com.canonical.Unity.LauncherEntry";
inline constexpr char kLauncherEntryPath[] = "/com/canonical/unity/launcherentry/pelloric";
// The desktop entry the taskbar entry belongs to (res/pelloric.desktop).
inline constexpr char kLauncherAppUri[] = "application://pelloric.desktop";
