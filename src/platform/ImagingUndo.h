// The undo record of a write through libwim's append path: "<wim>.pelloric-undo", the state
// the write starts from. ImagingCommit.h says where it is used and which failure it guards.
#pragma once

#include "UniqueFd.h"
#include "WimFile.h"

#include <string>

namespace imaging {

struct UndoRecord {
    UniqueFd fd; // holds the record's lock while the write runs
    std::string path;
};

// Writes the record of a write that starts from `before`, mode 0600, flushed, and locked
// while `out` holds it. It never follows or reuses an entry at its name: it is written whole
// under a name of its own and linked to its name, or, on file systems without hard links
// (exFAT, FAT32), created there with O_CREAT | O_EXCL | O_NOFOLLOW. 0, or the errno value
// that stopped it (EEXIST: an entry is at the record's name).
int createUndoRecord(const std::string& wimPath, const FileIdentity& before, UndoRecord& out);
// The write is over (done, or the file is as before): the record goes.
void removeUndoRecord(UndoRecord& record);
// The write failed and the file could not be put back: the record stays for a later open.
void keepUndoRecord(UndoRecord& record);

// After a failed write that started from `before`, with the file open as wimFd: puts the file
// back when it is in a state that write leaves on the way, under the file's lock (never while
// another process holds it). True when the file is as before.
bool undoOwnWrite(int wimFd, const FileIdentity& before);

enum class RecoveryResult {
    None,      // no record
    Busy,      // another process's write or lock holds the record or the file
    Restored,  // the file was put back and the record removed
    Removed,   // the record was stale (malformed, or the file in a state it does not know)
    Kept,      // left for a look by hand (the file does not open), or mayWrite was false
    Untrusted, // owned by someone else or writable by others: never used, left alone
    NotAFile,  // something other than a regular file is at the record's name: left alone
};
// Looks at a record left by a write that never finished. Only with mayWrite is anything
// done. A record is used only when its owner is the running user or the WIM's owner and it
// grants no write access that the WIM itself does not grant. A restore puts back the
// recorded header only when the file is in the state that write leaves on the way (the
// recorded header with libwim's write-in-progress flag set, the recorded bytes after the
// blob table unchanged), and cuts only bytes past the end of everything the restored header
// refers to. The file must open afterwards; only then is the record deleted.
RecoveryResult examineUndoRecord(const std::string& wimPath, bool mayWrite);
// "<wim>.pelloric-undo".
std::string undoRecordPath(const std::string& wimPath);

} // namespace imaging
