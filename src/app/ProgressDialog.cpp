#include "app/ProgressDialog.h"

#include "app/AppSetup.h"
#include "ops/Worker.h"
#include "ui_ProgressDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QThread>

#include <algorithm>
#include <cmath>

ProgressDialog::ProgressDialog(int operationId, QWidget* owner, OperationContext& context)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), context_(context),
      operationId_(operationId), notices_(operationId, context.request)
{
    Ui::ProgressDialog ui;
    ui.setupUi(this);
    mapTemplateToPixels(this);
    setModal(true);

    log_ = ui.c1012;
    bar_ = ui.c1010;
    percent_ = ui.c1015;
    status_ = ui.c1014;
    count_ = ui.c1017;
    button_ = ui.c2;

    button_->setAutoDefault(false);
    button_->setDefault(false);
    connect(button_, &QPushButton::clicked, this, &ProgressDialog::reject);

    // The log is appended to block by block and never laid out as a whole.
    log_->setCenterOnScroll(false);
    log_->document()->setUndoRedoEnabled(false);
    setEditTabStops(log_);

    bar_->setRange(0, 100);
    bar_->setValue(0);
    percent_->setText(QStringLiteral("0%"));
    count_->clear();
    status_->clear();
    fitToScreen();
}

void ProgressDialog::fitToScreen()
{
    QSize size = this->size();
    const QSize room = availableClientSize(this);
    const QList<QWidget*> children = findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    if (size.height() > room.height()) {
        // The log gives up its height, down to three lines; what lies below it moves up.
        const int fewestLines = log_->fontMetrics().lineSpacing() * 3 + 2 * log_->frameWidth();
        const int dy = std::min(size.height() - room.height(), log_->height() - fewestLines);
        if (dy > 0) {
            const int logBottom = log_->geometry().bottom();
            log_->resize(log_->width(), log_->height() - dy);
            for (QWidget* w : children) {
                if (w != log_ && w->y() > logBottom)
                    w->move(w->x(), w->y() - dy);
            }
            size.rheight() -= dy;
        }
    }
    if (size.width() > room.width()) {
        // Every column narrows in proportion.
        const double f = double(room.width()) / size.width();
        for (QWidget* w : children) {
            const int left = int(std::lround(w->x() * f));
            const int right = int(std::lround((w->x() + w->width()) * f));
            w->setGeometry(left, w->y(), right - left, w->height());
        }
        size.setWidth(room.width());
    }
    setFixedSize(size);
}

ProgressDialog::~ProgressDialog()
{
    DialogPort* self = this;
    context_.progressWindow.compare_exchange_strong(self, nullptr);
    // A worker still waiting for an answer must not wait forever.
    std::lock_guard lock(queueMutex_);
    for (Call& call : queue_) {
        if (call.answered)
            call.answered->set_value();
    }
    for (Call& call : serving_) {
        if (call.answered)
            call.answered->set_value();
    }
}

void ProgressDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (started_)
        return;
    started_ = true;
    runTime_.start();
    if (startOperation(context_, operationId_, this)) {
        setCursor(Qt::WaitCursor);
        notices_.started();
    }
}

void ProgressDialog::reject()
{
    if (requestCloseOrAbort(context_)) {
        drainPending();
        QDialog::reject();
    }
}

void ProgressDialog::closeEvent(QCloseEvent* event)
{
    // Only button 2 or Escape end the dialog; a close request from elsewhere is one of them.
    event->ignore();
    reject();
}

void ProgressDialog::serveEnd(OperationEnd end)
{
    end_ = end;
    const WorkerFrame frame = workerFrameFor(operationId_);
    button_->setText(frame.endText);
    button_->setEnabled(true);
    unsetCursor();
    const QWidget* active = QApplication::activeWindow();
    const bool windowActive = active && (active == this || active == parentWidget());
    QString lastLine;
    {
        std::lock_guard lock(context_.logMutex);
        const QStringList lines =
            context_.logText.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        for (auto it = lines.rbegin(); it != lines.rend() && lastLine.isEmpty(); ++it)
            lastLine = it->trimmed();
    }
    notices_.ended(end, runTime_.elapsed(), windowActive, lastLine);
}

QWidget* ProgressDialog::item(int controlId) const
{
    switch (controlId) {
    case IDC_LOG:
        return log_;
    case IDC_PROGRESS_BAR:
        return bar_;
    case IDC_STATUS:
        return status_;
    case IDC_PERCENT:
        return percent_;
    case IDC_COUNT:
        return count_;
    case IDC_CLOSE_BUTTON:
        return button_;
    default:
        return nullptr;
    }
}

void ProgressDialog::setItemText(int controlId, const QString& text)
{
    post({Call::Text, controlId, text, {}, 0, {}});
}

void ProgressDialog::enableItem(int controlId, bool enable)
{
    post({Call::Enable, controlId, {}, {}, enable ? 1 : 0, {}});
}

void ProgressDialog::setProgressPosition(int percent)
{
    post({Call::Progress, IDC_PROGRESS_BAR, {}, {}, percent, {}});
}

void ProgressDialog::appendLog(const QString& line)
{
    post({Call::Log, IDC_LOG, line, {}, 0, {}});
}

void ProgressDialog::operationEnded(OperationEnd end)
{
    post({Call::End, 0, {}, {}, static_cast<int>(end), {}});
}

void ProgressDialog::messageBox(const QString& text, const QString& caption, MessageIcon icon)
{
    Call call{Call::Box, 0, text, caption, static_cast<int>(icon), {}};
    if (QThread::currentThread() == thread()) {
        drainPending(); // what the worker asked for earlier comes first
        serve(call);
        return;
    }
    call.answered = std::make_shared<std::promise<void>>();
    std::future<void> answer = call.answered->get_future();
    post(std::move(call));
    answer.wait();
}

void ProgressDialog::post(Call call)
{
    bool schedule = false;
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(std::move(call));
        if (!drainPosted_) {
            drainPosted_ = true;
            schedule = true;
        }
    }
    if (schedule)
        QMetaObject::invokeMethod(this, &ProgressDialog::drainPending, Qt::QueuedConnection);
}

void ProgressDialog::drainPending()
{
    {
        std::lock_guard lock(queueMutex_);
        std::move(queue_.begin(), queue_.end(), std::back_inserter(serving_));
        queue_.clear();
        drainPosted_ = false;
    }
    // serving_ is consumed from the front, so a nested drain (the message box runs its own
    // event loop) keeps the order in which the calls were made.
    QString lines;
    bool haveLines = false;
    while (!serving_.empty()) {
        Call call = std::move(serving_.front());
        serving_.pop_front();
        if (call.kind == Call::Log) {
            if (haveLines)
                lines += u'\n';
            lines += call.text;
            haveLines = true;
            continue;
        }
        if (haveLines)
            flushLog(lines);
        haveLines = false;
        serve(call);
    }
    if (haveLines)
        flushLog(lines);
}

void ProgressDialog::flushLog(QString& lines)
{
    // Line breaks inside a line ("\r\n" of the string table) become the edit's own breaks.
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    lines.replace(u'\r', u'\n');
    log_->appendPlainText(lines);
    QScrollBar* bar = log_->verticalScrollBar();
    bar->setValue(bar->maximum());
    lines.clear();
}

void ProgressDialog::serve(Call& call)
{
    // After the end the button keeps its end state: nothing the frame wrote before can
    // arrive later, and it stays closable whatever does.
    if (end_ && (call.kind == Call::Text || call.kind == Call::Enable) &&
        call.id == IDC_CLOSE_BUTTON)
        return;
    switch (call.kind) {
    case Call::Text:
        if (auto* label = qobject_cast<QLabel*>(item(call.id)))
            label->setText(call.text);
        else if (auto* button = qobject_cast<QPushButton*>(item(call.id)))
            button->setText(call.text);
        break;
    case Call::Enable:
        if (QWidget* w = item(call.id))
            w->setEnabled(call.value != 0);
        break;
    case Call::Progress:
        bar_->setValue(std::clamp(call.value, 0, 100));
        notices_.progress(bar_->value());
        break;
    case Call::End:
        serveEnd(static_cast<OperationEnd>(call.value));
        break;
    case Call::Log:
        break;
    case Call::Box: {
        const auto icon = static_cast<MessageIcon>(call.value);
        const QMessageBox::Icon qtIcon = icon == MessageIcon::Error     ? QMessageBox::Critical
                                         : icon == MessageIcon::Warning ? QMessageBox::Warning
                                                                        : QMessageBox::Information;
        QMessageBox box(qtIcon, call.caption, call.text, QMessageBox::Ok, this);
        box.exec();
        if (call.answered)
            call.answered->set_value();
        break;
    }
    }
}

void runProgressDialog(QWidget* owner, int operationId)
{
    ProgressDialog dialog(operationId, owner);
    dialog.exec();
}
