#include "support/CommitSweep.h"

#include "platform/Imaging.h"
#include "platform/Kernel.h"
#include "support/RunnerChild.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>
#include <iostream>

namespace oprun {

QStringList leftovers(const QString& folder)
{
    return QDir(folder).entryList({QStringLiteral("*.pelloric-*")},
                                  QDir::Files | QDir::Hidden | QDir::System | QDir::Dirs |
                                      QDir::NoDotAndDotDot);
}

bool writableOpen(const QString& wim)
{
    HANDLE h = WIMCreateFile(wide(wim), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0, 0, nullptr);
    return h && WIMCloseHandle(h);
}

bool freshCopy(const QString& folder, const QString& base, const QString& wim)
{
    QFile::remove(wim);
    for (const QString& left : leftovers(folder))
        QFile::remove(folder + QLatin1Char('/') + left);
    return QFile::copy(base, wim);
}

SweepResult sweepCommit(const QString& folder, const QString& base, const QString& wim, const Commit& c)
{
    SweepResult r;
    const QString countFile = folder + QStringLiteral("/calls.txt");
    const QByteArray oldDigest = wimfix::fileDigest(base);
    const QString oldXml = wimfix::imagexXml(base);
    EXPECT_TRUE(freshCopy(folder, base, wim));
    QFile::remove(countFile);
    Outcome o = runRunner(c.id, c.fields, faultEnvironment(wim, {{"COUNT", countFile}}));
    EXPECT_EQ(o.exit, 0) << o.out.toStdString();
    EXPECT_TRUE(c.isNew(wim));
    r.calls = static_cast<int>(readFileBytes(countFile).count('\n'));
    for (int k = 1; k <= r.calls; ++k) {
        SCOPED_TRACE(testing::Message() << "killed at call " << k << " of " << r.calls);
        EXPECT_TRUE(freshCopy(folder, base, wim));
        o = runRunner(c.id, c.fields,
                      faultEnvironment(wim, {{"KILL_AT", QString::number(k)}}));
        r.killedInside += o.signal == SIGKILL ? 1 : 0;
        QString out;
        EXPECT_TRUE(wimfix::imagexVerify(wim, &out)) << out.toStdString();
        const bool wasOld = wimfix::imagexXml(wim) == oldXml;
        EXPECT_TRUE(wasOld || c.isNew(wim));
        EXPECT_TRUE(writableOpen(wim)) << GetLastError();
        EXPECT_TRUE(wasOld ? wimfix::imagexXml(wim) == oldXml : c.isNew(wim));
        r.restored += wimfix::fileDigest(wim) == oldDigest ? 1 : 0;
        EXPECT_TRUE(wimfix::imagexVerify(wim, &out)) << out.toStdString();
    }
    for (int k = 1; k <= r.calls; ++k) {
        SCOPED_TRACE(testing::Message() << "failed at call " << k << " of " << r.calls);
        EXPECT_TRUE(freshCopy(folder, base, wim));
        o = runRunner(c.id, c.fields,
                      faultEnvironment(wim, {{"FAIL_AT", QString::number(k)}}));
        if (o.exit == 1 && wimfix::fileDigest(wim) == oldDigest)
            ++r.failedClean;
        else
            EXPECT_TRUE(o.exit == 0 && c.isNew(wim)) << o.out.toStdString();
        EXPECT_EQ(leftovers(folder), QStringList());
    }
    std::cout << "[ sweep    ] " << c.id.toStdString() << ": " << r.calls << " calls, "
              << r.killedInside << " kills landed at their call, " << r.restored
              << " restored byte for byte, " << r.failedClean << " failed cleanly\n";
    return r;
}


} // namespace oprun
