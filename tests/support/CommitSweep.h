// Kill and fault sweeps of a commit run by pelloric-run: the run is killed at, then failed at,
// each call that changes its WIM (or the WIM's undo record or stage file), counted in a run to
// the end by the preloaded fault library (faultshim.c).
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace oprun {

// How the rounds of a sweep ended.
struct SweepResult {
    int calls = 0;        // calls that change the file, counted in a run to the end
    int killedInside = 0; // rounds whose kill landed at its call (the process died there)
    int restored = 0;     // killed rounds the next writable open put back byte for byte
    int failedClean = 0;  // rounds whose failed call made the run fail, the file as it was
};

struct Commit {
    QString id;
    QStringList fields;
    std::function<bool(const QString& wim)> isNew;
};

// Kills the run at each call that changes the WIM (or its record or stage file), then fails
// each such call instead. After a kill an independent reader sees the old file or the new one,
// and so it stays after the next writable open; after a failure the run fails and the file is
// byte for byte as it was (or, where the failed call came after the change was complete, the
// run succeeded with the new file). Prints the counts.
SweepResult sweepCommit(const QString& folder, const QString& base, const QString& wim,
                        const Commit& c);

// Stage files, private names and undo records left in a folder.
QStringList leftovers(const QString& folder);
// Opens the file for writing through the layer and closes it: the open a next run makes.
bool writableOpen(const QString& wim);
// A fresh copy of `base` at `wim`, nothing of earlier rounds left in `folder`.
bool freshCopy(const QString& folder, const QString& base, const QString& wim);

} // namespace oprun
