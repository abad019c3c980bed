// The progress dialog in which every operation runs: log, progress bar, percentage, status
// and count lines, and one button (abort while running, close after the end).
#pragma once

#include "app/Notifications.h"
#include "ops/Context.h"

#include <QDialog>
#include <QElapsedTimer>

#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

class ProgressDialog : public QDialog, public DialogPort {
    Q_OBJECT
public:
    // Prepares the dialog for operation `operationId`; the operation starts when the dialog
    // is first shown (startOperation with this dialog as the context's port).
    ProgressDialog(int operationId, QWidget* owner, OperationContext& context = globalContext());
    ~ProgressDialog() override;

    int operationId() const { return operationId_; }

    // DialogPort. Callable from any thread; served on the user-interface thread in the order
    // the calls were made. messageBox blocks the calling thread until the user has answered
    // (called on the user-interface thread it shows the box at once).
    void setItemText(int controlId, const QString& text) override;
    void enableItem(int controlId, bool enable) override;
    void setProgressPosition(int percent) override;
    void appendLog(const QString& line) override;
    void messageBox(const QString& text, const QString& caption, MessageIcon icon) override;
    // The end state, served after every write the worker made before it. From then on the
    // button keeps its end text and is enabled, the cursor is the arrow, the taskbar entry
    // shows no progress, and a run of 10 s or more that ended while neither this dialog nor
    // its owner was the active window is announced by a desktop notification.
    void operationEnded(OperationEnd end) override;

    // How the operation ended, once the dialog has been told; empty before.
    std::optional<OperationEnd> endState() const { return end_; }

    // Button 2 and Escape: abort while the operation runs, else close.
    void reject() override;

    // Serves every call queued so far (the event loop does this on its own).
    void drainPending();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct Call {
        enum Kind { Text, Enable, Progress, Log, Box, End } kind;
        int id = 0;
        QString text;
        QString caption;
        int value = 0;
        std::shared_ptr<std::promise<void>> answered;
    };

    void post(Call call);
    void serve(Call& call);
    void flushLog(QString& lines);
    QWidget* item(int controlId) const;
    void serveEnd(OperationEnd end);
    // Shrinks the log (and, when even that is not enough, every width) so that the dialog
    // fits the available area of its screen.
    void fitToScreen();

    OperationContext& context_;
    const int operationId_;
    bool started_ = false;
    std::optional<OperationEnd> end_;
    QElapsedTimer runTime_;
    OperationNotices notices_;

    QPlainTextEdit* log_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* percent_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* count_ = nullptr;
    QPushButton* button_ = nullptr;

    std::mutex queueMutex_;
    std::deque<Call> queue_;   // made by any thread, guarded by queueMutex_
    bool drainPosted_ = false; // guarded by queueMutex_
    std::deque<Call> serving_; // user-interface thread only
};

// Opens the progress dialog for operation `operationId` modally over owner and returns when
// the user has closed it.
void runProgressDialog(QWidget* owner, int operationId);
