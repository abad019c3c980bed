#include "support/RecordingPort.h"

void RecordingPort::setItemText(int controlId, const QString& text)
{
    std::lock_guard lock(mutex_);
    calls_.push_back({Call::Text, controlId, false, text, {}});
}

void RecordingPort::enableItem(int controlId, bool enable)
{
    std::lock_guard lock(mutex_);
    calls_.push_back({Call::Enable, controlId, enable, {}, {}});
}

void RecordingPort::setProgressPosition(int percent)
{
    std::lock_guard lock(mutex_);
    calls_.push_back({Call::Progress, percent, false, {}, {}});
}

void RecordingPort::appendLog(const QString& line)
{
    std::lock_guard lock(mutex_);
    calls_.push_back({Call::Log, 0, false, line, {}});
}

void RecordingPort::messageBox(const QString& text, const QString& caption, MessageIcon)
{
    std::lock_guard lock(mutex_);
    calls_.push_back({Call::Box, 0, false, text, caption});
}

std::vector<RecordingPort::Call> RecordingPort::calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

QStringList RecordingPort::logLines() const
{
    std::lock_guard lock(mutex_);
    QStringList lines;
    for (const Call& c : calls_)
        if (c.kind == Call::Log)
            lines << c.text;
    return lines;
}

QString RecordingPort::itemText(int controlId, bool* exists) const
{
    std::lock_guard lock(mutex_);
    if (exists)
        *exists = false;
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if (it->kind == Call::Text && it->id == controlId) {
            if (exists)
                *exists = true;
            return it->text;
        }
    return {};
}

bool RecordingPort::itemEnabled(int controlId) const
{
    std::lock_guard lock(mutex_);
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if (it->kind == Call::Enable && it->id == controlId)
            return it->on;
    return true;
}

int RecordingPort::lastProgress() const
{
    std::lock_guard lock(mutex_);
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if (it->kind == Call::Progress)
            return it->id;
    return -1;
}

QStringList RecordingPort::boxes() const
{
    std::lock_guard lock(mutex_);
    QStringList out;
    for (const Call& c : calls_)
        if (c.kind == Call::Box)
            out << c.text;
    return out;
}

void RecordingPort::clear()
{
    std::lock_guard lock(mutex_);
    calls_.clear();
}
