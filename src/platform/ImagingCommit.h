// How the imaging layer writes a WIM file: the one commit path.
//
// Every change to a file that exists (an image appended or exported into it, an image
// deleted, image information, the boot index) is written by commitWim, and nowhere else.
// Four mechanisms make it safe; each guards against one failure:
//
// 1. The identity check under the file's lock (CommitGuard::lockUnchanged).
//    Guards against: another writer (another window, wimlib-imagex, DISM on a shared disk)
//    changing the file between our open and our write; libwim commits from the view it read
//    at open and would write stale tables over the other writer's work.
//    How: the file's identity (device, inode, size, time, header, the bytes after the blob
//    table) is taken when libwim reads it; the write starts only if, under the lock, the
//    file is still that and still at its path. Otherwise ERROR_SHARING_VIOLATION and
//    nothing is written. The lock is the one libwim takes itself (flock on its own
//    descriptor), so libwim's lock follows ours without a gap.
//    Proved by: CommitTest.FileChangedSinceItWasReadIsNeverWrittenOver,
//    WriteSafety.PelloricWritersRacingEachOtherNeverLoseAnUpdate.
//
// 2. The crash-safe write. Guards against a process killed, a disk full or a write failing
//    half way, which must leave every reader the old file or the new one.
//    - Images (PendingState::Images): libwim's append path (wimlib_overwrite, documented in
//      wimlib.h as appending new data and tables after the old end and writing the header
//      last); a delete uses WIMLIB_WRITE_FLAG_SOFT_DELETE, which keeps that path.
//    - Information and the boot index (PendingState::Information): the layer's own write
//      (writeInformation in ImagingInformationWrite.cpp): the new XML (and a copy of the
//      integrity table) goes to bytes nothing refers to — the space the XML of an earlier
//      edit left behind, or after the end — is flushed, and the header is written once.
//      Space freed behind it is cut off after that. libwim's own information-only write
//      rewrites the XML where it stands before the header, which a kill in between leaves
//      unreadable, and is not used.
//    Proved by: CommitTest.InformationWriteKilledOrFailedAtEveryCall (a torn write, a kill or
//    a failure at each call), CommitTest.InformationEditsTakeNoMoreSpaceThanTheirXml,
//    CommitTest.AppendKilledOrFailedAtEveryCall, DeleteAndExportKilledOrFailedAtEveryCall.
//
// 3. The undo record (ImagingUndo.h). Guards against the remains of an interrupted append:
//    libwim's flag in the header and new bytes after the old end. Before libwim writes, the
//    state it starts from is recorded, flushed; a failed write is undone from it at once, a
//    killed one by the next open for writing. The file is then byte for byte as before.
//    The record is never used when others could have written it, and never cuts what the
//    restored header refers to.
//    Proved by: CommitTest.AppendKilledOrFailedAtEveryCall (byte for byte after the next
//    open), ImagingUndo.InterruptedAppendIsUndoneByAWritableOpenOnly, the ImagingUndo tests of
//    forged, foreign and misplaced records, ExfatTest.AppendKilledOrFailedAtEveryCallThere.
//
// 4. The write reaches only the file that was checked. Guards against a file renamed onto
//    the path between the check and libwim's reopen for writing (libwim reopens a file by the
//    name it opened it with): libwim opens the file by a second name of it that only this
//    process knows (PrivateName), so every read and write of libwim reaches the file the
//    check examined; the layer's own write goes through "/proc/self/fd/N" of its
//    descriptor. File systems without hard links (exFAT, FAT32) give no second name; libwim
//    then opens the path, and only the checks just before and after its write remain. When,
//    after the write, the path names another file, the write fails with
//    ERROR_SHARING_VIOLATION (detail WIM_DETAIL_FILE_REPLACED).
//    Proved by: CommitTest.FileRenamedOntoThePathAtTheReopenIsNeverWrittenOver,
//    CommitTest.AppendRacingACaptureOverNeverReportsALostImage.
//
// New files are not written here but in one pass at the close (writeNewWim): to a stage file
// beside the target, renamed over it under the target's lock (StageFile). Proved by:
// CommitTest.CaptureOverAFileAnotherWriterHoldsReplacesNothing,
// CommitTest.StageFilesOfKilledRunsGoWithTheNextRun.
#pragma once

#include "ImagingHandles.h"

namespace imaging {

// Writes what is pending in the handle to its existing file, through one of the two writes
// above, with the messages of `state` (when given; its abort answer stops the write with
// ERROR_REQUEST_ABORTED). extraWriteFlags go to libwim (a delete's soft-delete flag). With
// keepOpen the handle goes on with the file as written (reloaded, which also proves it reads
// back); otherwise the file is only checked to open. On failure the file is as before and the
// handle is reloaded from it with the pending information put back. A Lost handle fails at
// once with its cause. ERROR_SUCCESS or the cause.
DWORD commitWim(WimHandle& w, int extraWriteFlags, CallState* state, bool keepOpen);

// Writes a new WIM in one pass of libwim (images, information, boot index) into its stage
// file and puts it in place of the target (under the target's lock: ERROR_SHARING_VIOLATION
// when another writer or a read-write mount holds it). A new WIM without images leaves no
// file. On failure nothing is left and the target is untouched.
DWORD writeNewWim(WimHandle& w, CallState* state);

// The close of a WIM handle: writes what is pending, with the messages of pending captures
// and exports sent to the registered callbacks. ERROR_SUCCESS or the cause.
DWORD finishWim(WimHandle& w);

} // namespace imaging
