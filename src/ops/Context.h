// The two process-wide records every operation works with: the settings of every page
// (OperationRequest) and the state of the user-interface frame and of the running
// operation (OperationContext).
#pragma once

#include "platform/WinTypes.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

class CaptureConfig;

// Control ids of the progress dialog that operations write to.
enum ProgressControl : int {
    IDC_PROGRESS_BAR = 1010,
    IDC_LOG = 1012,
    IDC_STATUS = 1014,
    IDC_PERCENT = 1015,
    IDC_COUNT = 1017,
    IDC_CLOSE_BUTTON = 2,
};

// Operation ids: the ids of the page buttons that start them.
enum OperationId : int {
    ID_CAPTURE = 1019,
    ID_APPEND = 1020,
    ID_APPLY = 1025,
    ID_MODIFY = 1046,
    ID_MOUNT = 1060,
    ID_UNMOUNT = 1061,
    ID_DELETE = 1067,
    ID_EXPORT = 1081,
};

// Operation ids of the toolbox pages (browse and extract, split and join, optimize and verify).
enum ToolboxOperationId : int {
    ID_EXTRACT = 1112,
    ID_SPLIT = 1125,
    ID_JOIN = 1130,
    ID_OPTIMIZE = 1143,
    ID_VERIFY = 1146,
};

enum class MessageIcon { Error, Warning, Information };

// How an operation ended: it succeeded, it stopped on the user's abort request, or it failed
// (an error line in the log, or an exception).
enum class OperationEnd { Finished, Aborted, Failed };

// The functions through which operations reach the progress dialog. The dialog implements
// them on the user-interface thread; the headless runner prints instead. Calls come from the
// worker thread and are served in the order they were made. messageBox blocks the caller
// until the user has answered.
class DialogPort {
public:
    virtual ~DialogPort() = default;
    virtual void setItemText(int controlId, const QString& text) = 0;
    virtual void enableItem(int controlId, bool enable) = 0;
    virtual void setProgressPosition(int percent) = 0;
    // One log line (without the line break); logText already holds it.
    virtual void appendLog(const QString& line) = 0;
    virtual void messageBox(const QString& text, const QString& caption, MessageIcon icon) = 0;
    // The worker frame's last call, once per operation, after its end texts: how the operation
    // ended. running is still true during this call, so the dialog is still attached; it turns
    // false right after. A port that does not care keeps this default.
    virtual void operationEnded(OperationEnd end) { (void)end; }
};

// The page that is shown; the mount operations have the mounted-image list refreshed through
// it from the worker thread.
class PagePort {
public:
    virtual ~PagePort() = default;
    // Queues a refresh of the page's mounted-image list (mount page only) on the
    // user-interface thread. Any thread.
    virtual void postMountListRefresh() = 0;
};

struct OperationRequest {
    // capture page
    QString captureSource;
    QString captureTarget;
    QString captureTempFolder;
    QString captureName = QStringLiteral("WIM1");
    QString captureDescription;
    QString captureDisplayName = QStringLiteral("WIM1");
    QString captureDisplayDescription;
    QString captureCompression; // Text::CompressionFast at start-up
    bool captureBootable = false;
    bool captureVerify = false;
    bool captureCheck = false;
    bool captureNoRpFix = false;
    QString captureConfigFile;
    QString captureFlags;
    bool captureShowConfig = false;
    // apply page
    QString applySource;
    QString applyTarget;
    std::uint32_t applyIndex = 1;
    bool applyVerify = false;
    bool applyCheck = false;
    // information page
    QString infoSource;
    QString infoText;
    // modify page
    QString modifySource;
    std::uint32_t modifyIndex = 1;
    QString modifyName;
    QString modifyDescription;
    QString modifyDisplayName;
    QString modifyDisplayDescription;
    QString modifyFlags;
    bool modifyBootable = false;
    bool modifyCheck = false;
    // mount page
    QString mountSource;
    QString mountPath;
    std::uint32_t mountIndex = 1;
    bool mountReadWrite = false;
    bool unmountCommit = false;
    // delete page
    QString deleteSource;
    std::uint32_t deleteIndex = 1;
    bool deleteCheck = false;
    // export page
    QString exportSource;
    QString exportTarget;
    std::uint32_t exportIndex = 1;
    QString exportName;
    QString exportCompression; // Text::CompressionFast at start-up
    bool exportBootable = false;
    bool exportCheck = false;
    // image chooser
    QString chooserWimPath;
    std::uint32_t chooserIndex = 0;

    // ---- the toolbox pages ----
    // browse page: the image shown, the folder `pelloric-run list` lists, the name filter
    QString browseSource;
    std::uint32_t browseIndex = 1;
    QString browsePath;
    QString browseFilter;
    // extraction (browse page): paths inside the image, separated by ';' (";;" is a ';')
    QString extractSource;
    std::uint32_t extractIndex = 1;
    QString extractPaths;
    QString extractTarget;
    bool extractOverwrite = false;
    // split page: split into parts of splitSize MB; join a set back into one WIM
    QString splitSource;
    QString splitTarget;
    std::uint32_t splitSize = 4000;
    QString joinSource;
    QString joinTarget;
    // maintain page: rebuild with optimizeCompression (empty keeps it); verify
    QString optimizeSource;
    QString optimizeCompression;
    QString verifySource;
};

// Fills the request with its start-up defaults (the compression texts come from the string
// table, so this runs after the text services are usable).
void resetRequestDefaults(OperationRequest& request);

struct OperationContext {
    OperationContext();
    ~OperationContext();
    OperationContext(const OperationContext&) = delete;
    OperationContext& operator=(const OperationContext&) = delete;

    std::atomic<PagePort*> pageWindow{nullptr};   // page now shown
    std::atomic<DialogPort*> progressWindow{nullptr}; // progress dialog while open
    QString logText;                              // guarded by logMutex
    std::atomic<bool> abortRequested{false};
    std::atomic<bool> running{false};
    std::atomic<std::uint32_t> processedCount{0};
    std::atomic<std::uint32_t> folderCount{0};
    std::atomic<std::uint32_t> fileCount{0};
    std::atomic<DWORD> startTime{0};
    std::atomic<bool> scanNoticeShown{false};
    std::thread workerThread;
    // The result of the operation the last startOperation started (true: it succeeded), ready
    // once the worker frame has ended and running is false; not valid() when no worker was
    // started. Replaced by startOperation, so read it on the thread that starts operations.
    std::shared_future<bool> operationResult;
    std::shared_ptr<CaptureConfig> captureConfig; // the running capture's pattern lists

    // Serialises appends to logText and their delivery to the dialog, so the dialog shows
    // lines in logText order whichever thread appended them.
    std::mutex logMutex;
    // Makes the end of the worker frame and an Abort press exclusive, so the dialog never
    // receives the abort state after the end state.
    std::mutex frameMutex;
    // The settings of the pages; operations read it, pages write it.
    OperationRequest request;
};

// The process-wide instances.
OperationContext& globalContext();
