// A recording stand-in for the progress dialog: keeps every call in order, thread-safe.
#pragma once

#include "ops/Context.h"

#include <QString>
#include <QStringList>

#include <mutex>
#include <vector>

class RecordingPort : public DialogPort {
public:
    struct Call {
        enum Kind { Text, Enable, Progress, Log, Box } kind;
        int id = 0;       // control id (Text, Enable) or percent (Progress)
        bool on = false;  // Enable
        QString text;     // Text, Log, Box text
        QString caption;  // Box
    };

    void setItemText(int controlId, const QString& text) override;
    void enableItem(int controlId, bool enable) override;
    void setProgressPosition(int percent) override;
    void appendLog(const QString& line) override;
    void messageBox(const QString& text, const QString& caption, MessageIcon icon) override;

    std::vector<Call> calls() const;
    QStringList logLines() const;
    // Last text set on control id ("" when never set); exists() tells whether it was set.
    QString itemText(int controlId, bool* exists = nullptr) const;
    // Last enable state of control id (true when never changed).
    bool itemEnabled(int controlId) const;
    int lastProgress() const;
    QStringList boxes() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};
