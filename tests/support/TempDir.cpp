#include "support/TempDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <stdexcept>

TempDir::TempDir()
{
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/pelloric-test-XXXXXX"));
    if (!dir.isValid())
        throw std::runtime_error("cannot create a temporary folder");
    dir.setAutoRemove(false);
    path_ = dir.path();
}

TempDir::~TempDir()
{
    // Make everything writable again so tests that made read-only parts still clean up.
    if (QDir(path_).removeRecursively())
        return;
    QProcess::execute(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("u+rwx"), path_});
    QDir(path_).removeRecursively();
}

QString TempDir::file(const QString& relative) const
{
    return path_ + QLatin1Char('/') + relative;
}

QString TempDir::write(const QString& relative, const QByteArray& bytes) const
{
    const QString full = file(relative);
    QDir().mkpath(QFileInfo(full).path());
    QFile f(full);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write test file");
    return full;
}

QString TempDir::mkdir(const QString& relative) const
{
    const QString full = file(relative);
    QDir().mkpath(full);
    return full;
}

QByteArray readFileBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

int runProgram(const QString& program, const QStringList& args, QString* output, int timeoutMs)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted(timeoutMs))
        return -1;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (output)
        *output = QString::fromUtf8(p.readAll());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}
