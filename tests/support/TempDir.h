// A temporary folder for one test, removed with everything in it when the test ends.
#pragma once

#include <QString>

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const QString& path() const { return path_; }
    // path() + "/" + relative.
    QString file(const QString& relative) const;
    // Writes bytes to relative (folders created as needed); returns the full path.
    QString write(const QString& relative, const QByteArray& bytes) const;
    // Creates folder relative (and its parents); returns the full path.
    QString mkdir(const QString& relative) const;

private:
    QString path_;
};

// Reads a whole file; empty when it cannot be read.
QByteArray readFileBytes(const QString& path);
// Runs a program (no shell) and returns its exit code; output collected into *output when
// given (standard output and error merged).
int runProgram(const QString& program, const QStringList& args, QString* output = nullptr,
               int timeoutMs = 120000);
