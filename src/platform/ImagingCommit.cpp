// The one commit path; ImagingCommit.h says what each step guards against.
#include "ImagingCommit.h"

#include "FileIo.h"
#include "ImagingInformationWrite.h"
#include "ImagingUndo.h"

#include <algorithm>
#include <cerrno>
#include <optional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace imaging {
namespace {

int writeFlags(const WimHandle& w)
{
    int flags = w.verify ? WIMLIB_WRITE_FLAG_CHECK_INTEGRITY : 0;
    // An LZMS file is written solid, as Microsoft's own ESD files are.
    if (w.isNew && w.compression == WIMLIB_COMPRESSION_TYPE_LZMS)
        flags |= WIMLIB_WRITE_FLAG_SOLID;
    return flags;
}

bool sameFile(int fd, const FileIdentity& id)
{
    struct stat st {};
    return fd >= 0 && ::fstat(fd, &st) == 0 && st.st_dev == id.device && st.st_ino == id.inode;
}

std::string procPath(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

DWORD fileReplaced(const WimHandle& w)
{
    setErrorDetail(ERROR_SHARING_VIOLATION, WIM_DETAIL_FILE_REPLACED, w.path);
    return ERROR_SHARING_VIOLATION;
}

// One commit to an existing file: holds the file's lock and (for a write through libwim) the
// undo record for as long as the write runs. rollback() is the one way back.
class CommitGuard {
public:
    explicit CommitGuard(WimHandle& w) : w_(w) {}
    CommitGuard(const CommitGuard&) = delete;
    CommitGuard& operator=(const CommitGuard&) = delete;
    ~CommitGuard() { unlock(); }

    // Mechanism 3: the undo record, created before anything is written. An existing record
    // is looked at first (it may be a dead run's, which puts the file back).
    DWORD startRecord()
    {
        int err = createUndoRecord(w_.path, w_.identity, record_);
        if (err != EEXIST)
            return ErrorFromErrno(err);
        switch (examineUndoRecord(w_.path, true)) {
        case RecoveryResult::NotAFile:
            return failWithDetail(ERROR_ALREADY_EXISTS, WIM_DETAIL_RECORD_NOT_A_FILE);
        case RecoveryResult::Untrusted:
            return failWithDetail(ERROR_ALREADY_EXISTS, WIM_DETAIL_RECORD_UNTRUSTED);
        case RecoveryResult::Busy:
            return ERROR_SHARING_VIOLATION;
        default:
            break;
        }
        err = createUndoRecord(w_.path, w_.identity, record_);
        return err == EEXIST ? ERROR_SHARING_VIOLATION : ErrorFromErrno(err);
    }

    // Mechanism 1: takes the lock on `lockFd` (libwim's own descriptor, or the layer's) and
    // checks under it that the file is still what libwim read and still at its path.
    DWORD lockUnchanged(int lockFd)
    {
        if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0)
            return ERROR_SHARING_VIOLATION;
        locked_ = lockFd;
        FileIdentity now;
        if (!w_.identity.valid || !readIdentity(w_.fd.get(), now) ||
            !sameState(now, w_.identity)) {
            unlock();
            return ERROR_SHARING_VIOLATION;
        }
        if (!pathNamesFile(w_.path, w_.fd.get())) {
            unlock();
            return fileReplaced(w_);
        }
        return ERROR_SUCCESS;
    }
    void unlock()
    {
        if (locked_ >= 0)
            ::flock(locked_, LOCK_UN);
        locked_ = -1;
    }
    // libwim released the lock it shared with us at the end of its write.
    void lockReleasedByLibrary() { locked_ = -1; }

    // The write is over and the file is what it should be, or nothing was written.
    void done()
    {
        unlock();
        removeUndoRecord(record_);
    }
    // The write failed: the file is put back from the record; the record stays only when
    // that cannot be done.
    void rollback()
    {
        unlock();
        int err = 0;
        const UniqueFd out = record_.fd ? reopenFile(w_.fd.get(), O_RDWR, err) : UniqueFd();
        if (!record_.fd || (out && undoOwnWrite(out.get(), w_.identity)))
            removeUndoRecord(record_);
        else
            keepUndoRecord(record_);
    }

private:
    DWORD failWithDetail(DWORD code, DWORD detail)
    {
        setErrorDetail(code, detail, undoRecordPath(w_.path));
        return code;
    }

    WimHandle& w_;
    int locked_ = -1;
    UndoRecord record_;
};


// Information and boot index: the layer's own write through its own descriptor, under its
// own lock (libwim takes no part).
DWORD commitInformation(WimHandle& w)
{
    int err = 0;
    const UniqueFd out = reopenFile(w.fd.get(), O_RDWR, err);
    if (!out)
        return ErrorFromErrno(err);
    CommitGuard guard(w);
    if (const DWORD error = guard.lockUnchanged(w.fd.get()))
        return error;
    bool replaced = false;
    const DWORD error = writeInformation(w, out.get(), replaced);
    return replaced ? fileReplaced(w) : error;
}

// Whether libwim can append to the file in place: it requires the XML after the blob table,
// the integrity table after the XML, and no resource past the old end. Otherwise libwim
// writes a whole new file and renames it over the name it opened, which is the layer's
// private name and not the path: such a file is refused rather than written.
bool appendsInPlace(const WimHandle& w)
{
    const WimHeader h = parseWimHeader(w.identity.header.data());
    if (h.blobTable.present() && h.blobTable.end() > h.xml.offset)
        return false;
    if (h.integrity.present() && h.integrity.offset < h.xml.end())
        return false;
    const std::uint64_t oldEnd = h.integrity.present() ? h.integrity.end() : h.xml.end();
    const BlobTableScan scan =
        scanBlobTable(w.fd.get(), h, static_cast<std::uint64_t>(w.identity.size));
    return scan.known && scan.resourcesEnd <= oldEnd;
}

// Images: libwim's append path, under the undo record.
DWORD commitImages(WimHandle& w, int extraWriteFlags, CallState* state)
{
    CommitGuard guard(w);
    if (const DWORD error = guard.startRecord())
        return error;
    // libwim locks its own descriptor; holding the lock on that same open file lets libwim's
    // lock follow the check without a gap. Where it is unknown, the layer's lock is let go
    // just before libwim takes its own.
    const bool shared = sameFile(w.libraryFd, w.identity);
    if (const DWORD error = guard.lockUnchanged(shared ? w.libraryFd : w.fd.get())) {
        guard.done(); // nothing was written
        return error;
    }
    // A sweep of another run may have taken libwim's name of the file while no lock was held.
    if (!w.libraryName.ensure()) {
        guard.done();
        return ERROR_SHARING_VIOLATION;
    }
    if (!appendsInPlace(w)) {
        guard.done();
        return ERROR_NOT_SUPPORTED;
    }
    if (!shared)
        guard.unlock();
    int ret = 0;
    int cause = 0;
    {
        std::optional<ProgressRegistration> reg;
        if (state)
            reg.emplace(w, state);
        ret = wimlib_overwrite(w.wim.get(), writeFlags(w) | extraWriteFlags, 0);
        cause = errno;
    }
    guard.lockReleasedByLibrary();
    if (ret == WIMLIB_ERR_ALREADY_LOCKED) {
        // Another writer holds the file: libwim wrote nothing.
        guard.done();
        return ERROR_SHARING_VIOLATION;
    }
    if (ret) {
        guard.rollback();
        return state && state->bridge.aborted() ? ERROR_REQUEST_ABORTED
                                                : ErrorFromWimlib(ret, cause);
    }
    guard.done();
    return pathNamesFile(w.path, w.fd.get()) ? ERROR_SUCCESS : fileReplaced(w);
}

// What the handle asks to be written to its existing file.
DWORD commitExisting(WimHandle& w, int extraWriteFlags, CallState* state)
{
    switch (w.pending.state) {
    case PendingState::None:
        return ERROR_SUCCESS;
    case PendingState::Information:
        return commitInformation(w);
    case PendingState::Images:
        return commitImages(w, extraWriteFlags, state);
    case PendingState::Lost:
        break;
    }
    return w.pending.lostCause;
}

} // namespace

DWORD commitWim(WimHandle& w, int extraWriteFlags, CallState* state, bool keepOpen)
{
    if (w.pending.state == PendingState::Lost)
        return w.pending.lostCause;
    const PendingState kind = w.pending.state;
    if (kind == PendingState::None)
        return ERROR_SUCCESS;
    DWORD error = commitExisting(w, extraWriteFlags, state);
    if (!error) {
        // What libwim wrote must read back: a handle that goes on rereads it, a closing one
        // only checks that it opens. The layer's own write was checked as it was made.
        if (keepOpen)
            error = reloadWim(w, false);
        else if (kind == PendingState::Images)
            error = opensAsWim(procPath(w.fd.get()));
        if (!error)
            return ERROR_SUCCESS;
    }
    if (keepOpen)
        reloadAfterFailure(w);
    return error;
}

namespace {

// A cheap proof that the new file reads back: a WIM header whose tables lie in the file and
// that counts the images libwim was given.
DWORD checkWritten(const WimHandle& w)
{
    struct stat st {};
    WimHeaderBytes bytes{};
    if (::fstat(w.stage.fd(), &st) != 0 || !readAll(w.stage.fd(), bytes.data(), bytes.size(), 0))
        return ERROR_FILE_CORRUPT;
    const WimHeader h = parseWimHeader(bytes.data());
    const bool whole = h.magic && !(h.flags & kWimFlagWriteInProgress) &&
                       h.imageCount == static_cast<std::uint32_t>(imageCountOf(w.wim.get())) &&
                       headerTablesEnd(h) <= static_cast<std::uint64_t>(st.st_size);
    return whole ? ERROR_SUCCESS : ERROR_FILE_CORRUPT;
}

// WIM_FLAG_VERIFY of a capture: every piece of data read back from the file as written
// (open as fd), through a WIMStruct of its own.
DWORD verifyWritten(int fd)
{
    WIMStruct* raw = nullptr;
    int ret = wimlib_open_wim(procPath(fd).c_str(), 0, &raw);
    int cause = errno;
    const WimPtr written(raw);
    if (!ret) {
        ret = wimlib_verify_wim(written.get(), 0);
        cause = errno;
    }
    return ret ? ErrorFromWimlib(ret, cause) : ERROR_SUCCESS;
}

bool anyVerify(const WimHandle& w)
{
    return std::any_of(w.pending.writes.begin(), w.pending.writes.end(),
                       [](const auto& p) { return p->verify; });
}

} // namespace

DWORD writeNewWim(WimHandle& w, CallState* state)
{
    if (w.pending.state == PendingState::Lost)
        return w.pending.lostCause;
    if (w.pending.state != PendingState::Images || imageCountOf(w.wim.get()) == 0)
        return ERROR_SUCCESS; // nothing was captured or exported: no file
    if (const DWORD error = w.stage.create(w.path))
        return error;
    int ret = 0;
    int cause = 0;
    {
        std::optional<ProgressRegistration> reg;
        if (state)
            reg.emplace(w, state);
        // toolbox: a new LZMS file is written solid, as an ESD file is.
        const int solid =
            w.compression == WIMLIB_COMPRESSION_TYPE_LZMS ? WIMLIB_WRITE_FLAG_SOLID : 0;
        ret = wimlib_write_to_fd(w.wim.get(), w.stage.fd(), WIMLIB_ALL_IMAGES,
                                 writeFlags(w) | solid, 0);
        cause = errno;
    }
    DWORD error = ERROR_SUCCESS;
    if (ret)
        error = state && state->bridge.aborted() ? ERROR_REQUEST_ABORTED
                                                 : ErrorFromWimlib(ret, cause);
    if (!error)
        error = checkWritten(w);
    if (!error && anyVerify(w))
        error = verifyWritten(w.stage.fd());
    if (!error)
        error = w.stage.replaceTarget();
    if (error)
        w.stage.discard();
    return error;
}

namespace {

// The messages of the pending captures and exports: one write carries them all, so the
// messages of all but the last go out first.
void prepareMessages(const WimHandle& w, CallState& state)
{
    const auto& writes = w.pending.writes;
    for (std::size_t i = 0; i + 1 < writes.size(); ++i) {
        state.bridge.setEntries(&writes[i]->entries, writes[i]->prefix, writes[i]->filesOnly);
        state.bridge.paceAll(WIM_MSG_PROCESS);
    }
    if (!writes.empty())
        state.bridge.setEntries(&writes.back()->entries, writes.back()->prefix,
                                writes.back()->filesOnly);
}

} // namespace

DWORD finishWim(WimHandle& w)
{
    if (!w.writable)
        return ERROR_SUCCESS;
    CallState state;
    prepareMessages(w, state);
    state.bridge.startPhase();
    const bool messages = !w.pending.writes.empty();
    DWORD error = w.isNew ? writeNewWim(w, &state) : commitWim(w, 0, &state, false);
    if (!error && messages) {
        state.bridge.paceAll(WIM_MSG_PROCESS);
        state.bridge.progress(1, 1, true);
    }
    if (!error && !w.isNew && anyVerify(w))
        error = verifyWritten(w.fd.get());
    return error;
}

} // namespace imaging
