// Private parts of the imaging layer shared by its source files: handle records, the layer's
// own view of each open WIM's XML, the libwim error mapping and the progress bridge that
// turns libwim's messages into the WIM_MSG_* contract.
#pragma once

#include "Imaging.h"

#include <wimlib.h>

#include <QString>

#include <sys/types.h>

#include <cstdint>
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

// ---- handles ------------------------------------------------------------------------------
inline constexpr std::uint32_t kWimMagic = 0x4D495750;   // "PWIM"
inline constexpr std::uint32_t kImageMagic = 0x474D4950; // "PIMG"

struct ImageHandle;

struct WimHandle {
    std::uint32_t magic = kWimMagic;
    std::string path;      // as the file system takes it (UTF-8), absolute
    std::u16string path16; // the same, for WIM_INFO
    WimPtr wim;
    bool writable = false;
    bool verify = false; // WIM_FLAG_VERIFY: integrity check on open, table on commit
    DWORD openFlags = 0;
    int compression = 0; // libwim's numbering, for a file not written yet
    bool onDisk = false; // false: a new WIM that has not been written yet
    bool dirty = false;  // changes in libwim's memory not yet in the file
    bool bootDirty = false;
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
};

struct ImageHandle {
    std::uint32_t magic = kImageMagic;
    WimHandle* owner = nullptr; // null once the WIM handle was closed
    int index = 0;
};

// Looks a handle up among the live ones; null (and ERROR_INVALID_HANDLE set) otherwise.
WimHandle* lookupWim(HANDLE h);
ImageHandle* lookupImage(HANDLE h);
// An image handle that still belongs to an open WIM and names an existing image.
ImageHandle* lookupLiveImage(HANDLE h);
HANDLE registerImage(WimHandle* owner, int index);

// ---- commits and reloads --------------------------------------------------------------------
// Writes everything in libwim's memory to the file: a new WIM to a temporary file beside
// it that is renamed over the path, an existing one with libwim's in-place overwrite
// (extraWriteFlags adds e.g. WIMLIB_WRITE_FLAG_SOFT_DELETE). Then reopens the file and
// rebuilds the view. On failure the file is as before, the handle is reloaded from it with
// the pending information changes put back, and the libwim error code is returned.
int commitWim(WimHandle& w, int extraWriteFlags);
// Reopens the file (or starts a new empty WIM when it has never been written) and rebuilds
// the view, dropping libwim's in-memory state; keepPending puts back information changes
// and the boot index that were not committed.
int reloadWim(WimHandle& w, bool keepPending);
// Rebuilds the view from the file's XML as stored.
void rebuildView(WimHandle& w);

// ---- undo records of in-place commits ------------------------------------------------------
struct FileSnapshot {
    bool taken = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    off_t tailStart = 0;
    std::vector<unsigned char> header;
    std::vector<unsigned char> tail;
};
// Keeps what libwim's in-place overwrite may change in an existing WIM file: its header and
// everything after its blob table (taken is false when that is more than 64 MiB).
FileSnapshot takeSnapshot(const std::string& path);
// Writes the snapshot back: length, tail, header. sameFileOnly: only when the path still
// names the file the snapshot was taken of.
void restoreSnapshot(const std::string& path, const FileSnapshot& snap, bool sameFileOnly);
// Writes the snapshot to "<path>.pelloric-undo", flushed to disk, and keeps the journal open
// and locked while the commit runs. Returns its descriptor, -1 when it cannot be written.
int writeJournal(const std::string& path, const FileSnapshot& snap);
// Removes the journal and releases its lock.
void removeJournal(const std::string& path, int journal);
// Finds a journal left by a commit that never finished (the process ended during it) and,
// when the file still shows the unfinished commit, puts the file back as it was before it.
// The journal is removed either way, unless another process holds its lock (its commit is
// still running). True when the file was restored.
bool recoverInterruptedCommit(const std::string& path);

// ---- errors -------------------------------------------------------------------------------
// The platform code for a libwim error code; savedErrno refines I/O failures.
DWORD errorFromWimlib(int code, int savedErrno);
// Sets the last error for a libwim failure and returns FALSE.
BOOL failWimlib(int code, int savedErrno);
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

    // Entries of one image in tree order, for per-entry messages.
    struct Entry {
        std::uint32_t nameOffset;
        std::uint32_t nameLength;
        std::uint32_t depth;
        bool folder;
        std::uint64_t size;
    };
    struct EntryList {
        std::u16string names;
        std::vector<Entry> entries;
        std::uint64_t totalSize = 0;
        std::size_t folders = 0;
        std::size_t files = 0;
    };
    // Reads the entries of an image (root included) from libwim.
    static int listEntries(WIMStruct* wim, int image, EntryList& list);
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

// The write function of the stream libwim prints its errors and warnings to.
ssize_t libraryWrite(void* cookie, const char* data, std::size_t size);

// Appends UTF-8 text to a UTF-16 string (invalid sequences become U+FFFD).
void appendUtf8(std::u16string& out, const char* text);

} // namespace imaging
