#include "support/RunnerChild.h"

#include <csignal>
#include <sys/wait.h>

namespace oprun {

Child::Child(const QString& program, const QStringList& args, const QProcessEnvironment& env)
{
    p_.setProcessChannelMode(QProcess::MergedChannels);
    p_.setProcessEnvironment(env);
    p_.start(program, args);
    p_.waitForStarted(10000);
}

Child::~Child()
{
    if (p_.state() != QProcess::NotRunning) {
        p_.kill();
        p_.waitForFinished(10000);
    }
}

Outcome Child::finish(int ms)
{
    Outcome o;
    if (!p_.waitForFinished(ms)) {
        p_.kill();
        p_.waitForFinished(10000);
        o.out = QStringLiteral("<did not end in time> ");
    } else if (p_.exitStatus() == QProcess::NormalExit) {
        o.exit = p_.exitCode();
    } else {
        // QProcess gives the signal of a crash as the exit code.
        o.signal = p_.exitCode();
    }
    o.out += QString::fromUtf8(p_.readAll());
    return o;
}

void Child::kill9()
{
    if (p_.processId() > 0)
        ::kill(static_cast<pid_t>(p_.processId()), SIGKILL);
    p_.waitForFinished(10000);
}

Outcome runRunner(const QString& id, const QStringList& fields, const QProcessEnvironment& env)
{
    Child child(kRunner, QStringList{id} + fields, env);
    return child.finish();
}

QProcessEnvironment faultEnvironment(const QString& match,
                                     std::initializer_list<std::pair<const char*, QString>> settings)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), kFaultShim);
    // A sanitized runner would refuse a library preloaded before its runtime.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));
    env.insert(QStringLiteral("PELLORIC_FAULT_MATCH"), match);
    for (const auto& [name, value] : settings)
        env.insert(QStringLiteral("PELLORIC_FAULT_") + QString::fromLatin1(name), value);
    return env;
}

} // namespace oprun
