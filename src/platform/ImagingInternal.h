// Private parts of the imaging layer shared by its source files: handle records, the layer's
// own view of each open WIM's XML, the WIM header, commits and the progress bridge that
// turns libwim's messages into the WIM_MSG_* contract.
#pragma once

#include "Errors.h"
#include "FileAccess.h"
#include "Imaging.h"
#include "Kernel.h"
#include "UniqueFd.h"

#include <wimlib.h>

#include <QString>

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace imaging {

// ---- owned libwim structures --------------------------------------------------------------
struct WimFree {
    void operator()(WIMStruct* wim) const { wimlib_free(wim); }
};
using WimPtr = std::unique_ptr<WIMStruct, WimFree>;

inline int imageCountOf(WIMStruct* wim)
{
    wimlib_wim_info info{};
    return wimlib_get_wim_info(wim, &info) == 0 ? static_cast<int>(info.image_count) : 0;
}

// ---- XML view ----------------------------------------------------------------------------
// One element as the file holds it: its qualified name (prefix included), its attributes in
// stored order (namespace declarations included), its text and child elements. Text mixed
// between child elements is kept as one text before the children; whitespace between
// elements, comments and processing instructions are not kept (libwim keeps them in its own
// document).
struct XmlElem {
    QString name;
    std::vector<std::pair<QString, QString>> attrs;
    QString text;
    std::vector<XmlElem> children;
    bool emptyForm = false; // stored as <NAME/>; only for an element without text and children
    // The name libwim's property paths know the element by: the local name when its prefix is
    // declared, else the qualified name. Empty means `name`.
    QString pathName;
};

// Parses a whole document into root, without namespace processing (prefixes stay part of the
// names, declarations stay attributes). A text that is not well-formed only because of bare
// '&' or '<' characters in values is read with those characters taken literally. Returns
// false for anything else that does not parse, and for nesting deeper than 256 levels.
bool parseXml(const QString& text, XmlElem& root);
// Compact serialization (no indentation), values escaped, an element without text and
// children in the form it was stored in. indexAttr, when not null, is written as the value
// of the INDEX attribute (added first when the element has none).
void serializeXml(const XmlElem& elem, QString& out, const QString* indexAttr = nullptr);
// UTF-16LE bytes to text; a leading byte-order mark is dropped, the text stops at a NUL.
QString fromUtf16Le(const void* bytes, std::size_t size);

// The view of an image from what libwim reports through its properties (for a WIM whose
// XML cannot be read, and for an image just added in memory).
XmlElem imageFromProperties(WIMStruct* wim, int image);

// Elements of an image's information that libwim keeps up to date itself.
bool isMaintainedElement(const QString& name);

// `given` as the new information elements of an image whose view holds `current`: the
// elements libwim maintains keep libwim's values (a given one takes the value of current's
// element of the same name and rank and is dropped when current has none; one given leaves
// out stays, behind the element it follows in current).
std::vector<XmlElem> withMaintainedElements(const std::vector<XmlElem>& current,
                                            std::vector<XmlElem> given);

// Changes the information elements of image `image` in libwim's document from `live` (what
// libwim holds, as the view shows it) to `want`, through libwim's property paths ("NAME[1]",
// "WINDOWS[1]/VERSION[1]/BUILD[1]"), which also lets images share a NAME. An element is
// matched by name and rank among its same-named siblings. libwim can only change an
// element's text and append elements, so:
// - the longest leading run of `want` that libwim holds in that order is changed in place:
//   only elements whose text differs are written (text compared without leading white space),
//   and each keeps its place, attributes, prefix and namespace declarations;
// - everything behind that run is removed and appended again in the wanted order; elements
//   libwim makes carry no attributes, and libwim writes an element without content as
//   <NAME/>.
// `live` is updated to what libwim then holds; *changed (when given) tells whether anything
// was written. On failure libwim's elements are put back as they were, as far as libwim
// allows, `live` shows the result and the libwim error code is returned.
int syncImageElements(WIMStruct* wim, int image, std::vector<XmlElem>& live,
                      const std::vector<XmlElem>& want, bool* changed = nullptr);

// wimlib_export_image of one image, with the image's information kept as the source holds
// it: its NAME stays in place (wimlib_export_image with WIMLIB_EXPORT_FLAG_NO_NAMES drops it,
// and a name given back afterwards lands at the end), also when `dest` has an image of that
// name. `flags` are wimlib_export_image's; WIMLIB_EXPORT_FLAG_NO_NAMES is not needed for
// duplicate names.
int exportImageKeepingInformation(WIMStruct* src, int srcImage, WIMStruct* dest, int flags);

struct WimHandle;
// The information of a whole WIM as WIMGetImageInformation hands it out (without the leading
// byte-order mark): the file's XML text exactly as stored while no image information is
// pending, else the view.
QString wimInformationText(const WimHandle& w);

// ---- the WIM header ------------------------------------------------------------------------
// The fixed header at the start of every WIM file, as far as this layer reads it.
inline constexpr std::size_t kWimHeaderSize = 208;
inline constexpr std::uint32_t kWimFlagWriteInProgress = 0x40; // set while libwim writes
struct WimResourceEntry {
    std::uint64_t storedSize = 0;
    std::uint64_t offset = 0;
    std::uint64_t originalSize = 0;
};
struct WimHeader {
    bool magic = false; // begins with "MSWIM\0\0\0"
    std::uint32_t flags = 0;
    std::uint32_t imageCount = 0;
    WimResourceEntry blobTable;
    WimResourceEntry xml;
    WimResourceEntry integrity;
};
// The fields of a header's kWimHeaderSize bytes.
WimHeader parseWimHeader(const unsigned char* bytes);

// ---- identity of a file and undo records of commits ------------------------------------------
// What a file was when libwim read it: enough to tell whether anyone wrote it since.
struct FileIdentity {
    bool valid = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec mtime{};
    std::array<unsigned char, kWimHeaderSize> header{};
    off_t tailStart = 0; // end of the blob table: the XML and integrity table follow
    std::array<unsigned char, 32> tailDigest{};
};
bool readIdentity(int fd, FileIdentity& id);
bool identityOfPath(const std::string& path, FileIdentity& id);
// Same file with the same bytes (header, length, everything after the blob table).
bool sameContent(const FileIdentity& a, const FileIdentity& b);
// sameContent and the same modification time.
bool sameState(const FileIdentity& a, const FileIdentity& b);

// "<wim>.pelloric-undo": the state a commit starts from, created before the commit starts
// and held locked while it runs. Its exclusive creation also keeps two commits of this
// program to one file apart.
struct UndoRecord {
    UniqueFd fd; // holds the record's lock while the commit runs
    std::string path;
};
// Writes the record of a commit that starts from `before`. 0, or the errno value that
// stopped it (EEXIST: a record is there already). Nothing is left at the record's name
// unless it is complete, and nothing is written through a link.
int createUndoRecord(const std::string& wimPath, const FileIdentity& before, UndoRecord& out);
// The commit is over (done, or the file is back as before): the record goes.
void removeUndoRecord(UndoRecord& record);
// The commit failed and the file could not be put back: the record stays for a later open.
void keepUndoRecord(UndoRecord& record);
// After a failed commit that started from `before`: puts the file back when it is in a
// state that commit leaves on the way (never while another process holds the file's
// lock). True when the file is as before.
bool undoOwnCommit(const std::string& wimPath, const FileIdentity& before);
enum class RecoveryResult { None, Busy, Restored, Removed, Kept };
// Looks at a record left by a commit that never finished. Only with mayWrite is anything
// done: the file is put back when it is in a state that commit leaves on the way, the
// record removed once the file verifiably is as before, or when it is stale (a malformed
// record, a link or other entry at its name, a file that opens and is in no state the
// record knows). Busy: another process's commit or lock holds the record or the file.
RecoveryResult examineUndoRecord(const std::string& wimPath, bool mayWrite);
// The descriptors of this process, and the one among those opened between two lists that
// names the file (device, inode); -1 when none or more than one does.
std::vector<int> openDescriptors();
int findLibraryDescriptor(const std::vector<int>& before, const std::vector<int>& after,
                          dev_t device, ino_t inode);

// ---- handles ------------------------------------------------------------------------------
struct ImageHandle;

struct PendingWrite;

struct WimHandle {
    std::string path;      // the file (UTF-8, absolute, symbolic links resolved)
    std::u16string path16; // the path as given, made absolute, for WIM_INFO
    // WIMs whose data an export into this one takes, kept until this one is written; they
    // are freed after `wim`.
    std::vector<std::shared_ptr<WIMStruct>> keepAlive;
    WimPtr wim;
    bool writable = false;
    bool verify = false; // WIM_FLAG_VERIFY: integrity check on open, table on commit
    DWORD openFlags = 0;
    int compression = 0; // libwim's numbering, for a file not written yet
    bool onDisk = false; // false: a new WIM, not at its path yet
    // A new WIM: the temporary file beside the target that holds what was written so far;
    // the handle's close completes it and renames it over the target.
    std::string stagePath;
    bool dirty = false;       // changes in libwim's memory not yet in the file
    bool bootDirty = false;
    bool imagesChanged = false; // images added or deleted in memory since the last commit
    bool closing = false;       // the handle's close is writing it: no reload afterwards
    // Set when the reload after a failed write failed too: libwim's memory then matches no
    // file, so nothing is written from it any more; later writes fail with this cause.
    DWORD lostState = ERROR_SUCCESS;
    // The file as libwim read it (writable handles of existing files), and libwim's own
    // descriptor of it when it could be told apart (-1 otherwise; libwim's, never closed
    // here).
    FileIdentity identity;
    int libraryFd = -1;
    // Captures and exports held in memory until the close commits them.
    std::vector<std::shared_ptr<PendingWrite>> pending;
    std::vector<WimHandle*> exportSources; // handles whose WIMStruct `pending` reads from
    std::vector<WimHandle*> exportTargets; // handles with pending exports from this one
    std::u16string tempPath;
    // The view of the file's XML: the root's attributes, its elements other than IMAGE, and
    // one IMAGE per image in image order; and the text as stored (without its byte-order mark).
    std::vector<std::pair<QString, QString>> rootAttrs;
    QString fileXml;
    std::vector<XmlElem> topElements;
    std::size_t topBeforeImages = 0; // how many of topElements stand before the images
    std::vector<XmlElem> images;
    std::vector<bool> imageDirty;
    std::vector<ImageHandle*> openImages;

    bool hasFile() const { return onDisk || !stagePath.empty(); }
    const std::string& filePath() const { return stagePath.empty() ? path : stagePath; }
};

struct ImageHandle {
    WimHandle* owner = nullptr; // null once the WIM handle was closed
    int index = 0;
};

// Looks a handle up among the live ones of its kind, under the table's lock; null (and
// ERROR_INVALID_HANDLE set) otherwise.
WimHandle* lookupWim(HANDLE h);
ImageHandle* lookupImage(HANDLE h);
// An image handle that still belongs to an open WIM and names an existing image.
ImageHandle* lookupLiveImage(HANDLE h);
HANDLE registerImage(WimHandle* owner, int index);

// ---- commits and reloads --------------------------------------------------------------------
// Each returns ERROR_SUCCESS or the system code of its failure's cause.
//
// Writes everything in libwim's memory. A new WIM goes to its temporary file (created by
// the first write). An existing file is changed only through libwim's append path, under
// an undo record and only while it is still the file libwim read (else, and when another
// writer holds its lock, ERROR_SHARING_VIOLATION); then it is reopened and the view
// rebuilt, and a file that does not read back is a failed write. On failure the file is as
// before and the handle is reloaded from it with the pending information changes put back
// (reloadAfterFailure). A handle whose state was lost fails at once with that cause.
DWORD commitWim(WimHandle& w, int extraWriteFlags);
// The close of a WIM handle: writes what is pending (with the messages of pending captures
// and exports) and, for a new WIM, puts the temporary file in place of the target. A new
// WIM that nothing was written to leaves no file, nor does one whose state was lost.
DWORD finishWim(WimHandle& w);
// Reopens the file (or starts a new empty WIM when it has never been written) and rebuilds
// the view, dropping libwim's in-memory state; keepPending puts back information changes
// and the boot index that were not committed. On failure to reopen, the handle is as
// before; a change that cannot be put back is the failure too.
DWORD reloadWim(WimHandle& w, bool keepPending);
// After a failed change to libwim's memory or a failed write: reloadWim(w, true). The
// change's own failure is what the caller reports; when the reload fails as well, its
// cause is kept as w.lostState.
void reloadAfterFailure(WimHandle& w);
// Rebuilds the view from the file's XML as stored.
void rebuildView(WimHandle& w);
// Gives the WIMStruct to the handles whose pending exports read from it (before it is
// replaced or the handle closed).
void handOverToExportTargets(WimHandle& w);
// Removes the temporary file of a new WIM.
void dropStage(WimHandle& w);
// Ends the ties of pending exports to their source WIMs (after a commit or a reload).
void dropExportSources(WimHandle& w);
// commitWim with the messages of the pending captures and exports (WIM_MSG_PROCESS per
// entry, WIM_MSG_PROGRESS) sent to the registered callbacks, whose abort answer stops it.
DWORD commitPending(WimHandle& w);

// ---- errors -------------------------------------------------------------------------------
// Sets the last error to code and returns FALSE. A libwim failure's code is
// ErrorFromWimlib(ret, errno), with errno read right after the failing call.
BOOL fail(DWORD code);

// ---- progress bridge ----------------------------------------------------------------------
// One per long call: a snapshot of the registered callbacks, reused path buffers, the rate
// limiter for WIM_MSG_PROGRESS and the pacing of per-entry WIM_MSG_PROCESS messages.
class ProgressBridge {
public:
    // The bridge of the running call also receives libwim's printed errors and warnings on
    // this thread (as WIM_MSG_ERROR / WIM_MSG_WARNING with the text in wParam).
    ProgressBridge();
    ~ProgressBridge();
    ProgressBridge(const ProgressBridge&) = delete;
    ProgressBridge& operator=(const ProgressBridge&) = delete;

    // One line libwim printed ("[ERROR] ...", "[WARNING] ...", or a continuation).
    void libraryLine(const char* line, std::size_t length);

    bool aborted() const { return aborted_; }
    // Sends a message to every registered callback; WIM_MSG_ABORT_IMAGE from any of them
    // wins, then WIM_MSG_SKIP_ERROR, else WIM_MSG_SUCCESS. An abort answer is remembered.
    DWORD send(DWORD message, WPARAM wParam, LPARAM lParam);
    // Sends message with a UTF-8 path (prefix + path, converted into a reused buffer) and a
    // BOOL initialised to TRUE; returns the BOOL in *answer.
    DWORD sendPath(DWORD message, const char* path, BOOL* answer);
    DWORD sendPath16(DWORD message, const std::u16string& path, BOOL* answer);
    // WIM_MSG_PROGRESS at most every 50 ms (and always at 100 percent), with a remaining-time
    // estimate from the bytes done and the time since startPhase().
    void startPhase();
    void progress(std::uint64_t done, std::uint64_t total, bool final = false);

    // Entries of one image in tree order, for per-entry messages: 16 bytes and the name's
    // UTF-8 bytes each, since a list lives as long as the write or extraction it paces.
    struct Entry {
        std::uint32_t nameOffset; // into EntryList::names; the name ends with a NUL
        std::uint32_t depth : 31;
        std::uint32_t folder : 1;
        std::uint64_t size;
    };
    struct EntryList {
        std::string names; // the names as libwim gives them (UTF-8), each followed by a NUL
        std::vector<Entry> entries;
        std::uint64_t totalSize = 0;
        std::size_t folders = 0;
        std::size_t files = 0;
    };
    // Reads the entries of an image (root included) from libwim. expectedEntries (when known,
    // as after a scan) sizes the list up front.
    static int listEntries(WIMStruct* wim, int image, EntryList& list,
                           std::size_t expectedEntries = 0);
    // Per-entry pacing: setEntries() with the list and the path prefix (the root's path,
    // without a trailing '/'); paceTo() sends `message` for the entries whose data lies
    // within fraction done/total of the image's bytes; filesOnly skips folders. Returns false
    // when the callback answered abort.
    void setEntries(const EntryList* list, const std::u16string& prefix, bool filesOnly);
    bool paceTo(DWORD message, std::uint64_t done, std::uint64_t total);
    bool paceAll(DWORD message) { return paceTo(message, 1, 1); }
    // Sends `message` for every file entry (used for the compression questions).
    bool askEveryFile(DWORD message);

    std::u16string& pathBuffer() { return path_; }

private:
    const std::u16string& entryPath(std::size_t i);

    std::vector<std::pair<WIMMessageCallback, PVOID>> callbacks_;
    ProgressBridge* outer_ = nullptr;
    DWORD lastLibraryMessage_ = WIM_MSG_WARNING;
    std::u16string text_;
    std::u16string path_;
    bool aborted_ = false;
    DWORD phaseStart_ = 0;
    DWORD lastProgress_ = 0;
    int lastPercent_ = -1;
    const EntryList* list_ = nullptr;
    std::u16string prefix_;
    std::vector<std::size_t> depthLength_;
    std::u16string entryPath_;
    bool filesOnly_ = false;
    std::size_t next_ = 0;
    std::uint64_t sentBytes_ = 0;
};

// A capture or export held in memory: what its messages need when the close writes it.
struct PendingWrite {
    ProgressBridge::EntryList entries;
    std::u16string prefix; // the captured folder; empty for an export
    bool filesOnly = false;
    bool verify = false; // WIM_FLAG_VERIFY of a capture: read every piece of data back
};

// The write function of the stream libwim prints its errors and warnings to.
ssize_t libraryWrite(void* cookie, const char* data, std::size_t size);

} // namespace imaging
