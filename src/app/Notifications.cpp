#include "app/Notifications.h"

#include "ops/Text.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QFileInfo>
#include <QVariantMap>

#include <atomic>
#include <optional>

namespace {

std::atomic<qint64> gMinimumDuration{10000};

// The session bus, or nothing when there is none (no address, or it cannot be reached). Qt
// keeps the one connection; no copy of it outlives the application.
std::optional<QDBusConnection> sessionBus()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return std::nullopt;
    return bus;
}

Text::Id summaryOf(OperationEnd end)
{
    switch (end) {
    case OperationEnd::Finished:
        return Text::NoticeSucceeded;
    case OperationEnd::Aborted:
        return Text::NoticeAborted;
    case OperationEnd::Failed:
    default:
        return Text::NoticeFailed;
    }
}

} // namespace

OperationNotices::OperationNotices(int operationId, const OperationRequest& request)
    : wimPath_(wimPathOf(operationId, request))
{
}

OperationNotices::~OperationNotices()
{
    // A dialog that goes away before its end leaves no progress behind on the taskbar.
    if (shown_)
        sendProgress(false, 0);
}

QString OperationNotices::wimPathOf(int operationId, const OperationRequest& request)
{
    switch (operationId) {
    case ID_CAPTURE:
    case ID_APPEND:
        return request.captureTarget;
    case ID_APPLY:
        return request.applySource;
    case ID_MODIFY:
        return request.modifySource;
    case ID_MOUNT:
        return request.mountSource;
    case ID_UNMOUNT:
        return request.mountPath;
    case ID_DELETE:
        return request.deleteSource;
    case ID_EXPORT:
        return request.exportTarget;
    default:
        return QString();
    }
}

qint64 OperationNotices::minimumDuration()
{
    return gMinimumDuration.load();
}

void OperationNotices::setMinimumDuration(qint64 ms)
{
    gMinimumDuration = ms;
}

void OperationNotices::started()
{
    lastPercent_ = 0;
    shown_ = true;
    sendProgress(true, 0);
}

void OperationNotices::progress(int percent)
{
    if (!shown_ || percent == lastPercent_)
        return;
    lastPercent_ = percent;
    sendProgress(true, percent / 100.0);
}

void OperationNotices::ended(OperationEnd end, qint64 elapsedMs, bool windowActive,
                             const QString& lastLine)
{
    if (shown_)
        sendProgress(false, lastPercent_ / 100.0);
    shown_ = false;
    if (windowActive || elapsedMs < minimumDuration())
        return;
    std::optional<QDBusConnection> bus = sessionBus();
    if (!bus)
        return;
    const QFileInfo file(wimPath_);
    const QString name = file.fileName().isEmpty() ? wimPath_ : file.fileName();
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QLatin1String(kNotificationsService), QLatin1String(kNotificationsPath),
        QLatin1String(kNotificationsService), QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("pelloric")}};
    notify << QStringLiteral("Pelloric") << 0u << QStringLiteral("pelloric")
           << formatMessage(summaryOf(end), {name}) << lastLine << QStringList() << hints << -1;
    // Nobody waits for the answer: a missing notification server costs nothing.
    bus->asyncCall(notify);
}

void OperationNotices::sendProgress(bool visible, double value)
{
    std::optional<QDBusConnection> bus = sessionBus();
    if (!bus)
        return;
    QDBusMessage update = QDBusMessage::createSignal(QLatin1String(kLauncherEntryPath),
                                                     QLatin1String(kLauncherEntryInterface),
                                                     QStringLiteral("Update"));
    const QVariantMap properties{{QStringLiteral("progress"), value},
                                 {QStringLiteral("progress-visible"), visible}};
    update << QLatin1String(kLauncherAppUri) << properties;
    bus->send(update);
}
