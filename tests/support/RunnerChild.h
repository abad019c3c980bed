// pelloric-run as a child process for tests that need a process of its own: races, kills,
// preloaded fault libraries. Every wait has a time limit, so nothing here can block.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace oprun {

inline const QString kRunner = QStringLiteral(PELLORIC_BINARY_DIR "/src/app/pelloric-run");
// The preloaded library of fault tests (see faultshim.c).
inline const QString kFaultShim = QStringLiteral(PELLORIC_BINARY_DIR "/tests/libpelloric_faultshim.so");

struct Outcome {
    int exit = -1;   // -1: killed, crashed or did not end in time
    int signal = 0;  // the signal that ended it, when one did
    QString out;
};

// One child process, started at once, its output and error merged.
class Child {
public:
    Child(const QString& program, const QStringList& args,
          const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Outcome finish(int ms = 40000);
    void kill9();
    bool running() const { return p_.state() != QProcess::NotRunning; }
    qint64 pid() const { return p_.processId(); }

private:
    QProcess p_;
};

// pelloric-run with the operation `id` and its fields.
Outcome runRunner(const QString& id, const QStringList& fields,
                  const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());
// The environment that preloads the fault library for files whose path starts with `match`,
// with the library's other settings (PELLORIC_FAULT_*) given by name without the prefix.
QProcessEnvironment faultEnvironment(const QString& match,
                                     std::initializer_list<std::pair<const char*, QString>> settings);

} // namespace oprun
