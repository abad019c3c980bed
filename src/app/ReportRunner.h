// Builds information reports on a thread of its own, so the window never waits for a WIM
// file. One report is built at a time, always the newest asked for: a request made while
// another is being built supersedes it (that result is dropped) and requests in between are
// skipped. Results arrive on the runner's thread (the user-interface thread) as a queued call.
#pragma once

#include <QObject>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class ReportRunner : public QObject {
    Q_OBJECT
public:
    // What builds one report: the text for the report box, and how many images' XML could not
    // be read (the page shows the XML error box once for each). Runs on the runner's thread.
    using Builder = std::function<QString(const QString& path, int* xmlErrors)>;

    explicit ReportRunner(QObject* parent = nullptr);
    // Waits for a report being built to end; its result is dropped.
    ~ReportRunner() override;
    ReportRunner(const ReportRunner&) = delete;
    ReportRunner& operator=(const ReportRunner&) = delete;

    // Asks for the report of the WIM at path; returns the request's number, which ready()
    // carries. User-interface thread.
    std::uint64_t request(const QString& path);
    // Drops every request made so far: no ready() follows for them.
    void cancel();
    // Whether `number` is the newest request and not cancelled.
    bool isLatest(std::uint64_t number) const { return number == latest_; }
    // Whether the newest request still waits for its result.
    bool busy() const { return busy_; }

    // Test hook: replaces how reports are built (an empty function restores buildWimReport).
    static void setBuilder(Builder builder);

signals:
    // The report of request `number`, emitted only while it is the newest.
    void ready(std::uint64_t number, const QString& report, int xmlErrors);

private:
    void run();
    void deliver(std::uint64_t number, const QString& report, int xmlErrors);

    std::uint64_t latest_ = 0; // user-interface thread only
    bool busy_ = false;        // user-interface thread only

    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<std::pair<std::uint64_t, QString>> pending_; // guarded by mutex_
    bool stopping_ = false;                                    // guarded by mutex_
    std::thread thread_;
};
