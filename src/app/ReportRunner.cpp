#include "app/ReportRunner.h"

#include "ops/WimReport.h"

#include <QMetaObject>

namespace {

std::mutex gBuilderMutex;
ReportRunner::Builder gBuilder;

QString buildReport(const QString& path, int* xmlErrors)
{
    ReportRunner::Builder builder;
    {
        std::lock_guard lock(gBuilderMutex);
        builder = gBuilder;
    }
    if (builder)
        return builder(path, xmlErrors);
    return buildWimReport(path, [xmlErrors] { ++*xmlErrors; });
}

} // namespace

ReportRunner::ReportRunner(QObject* parent) : QObject(parent) {}

ReportRunner::~ReportRunner()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        pending_.reset();
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void ReportRunner::setBuilder(Builder builder)
{
    std::lock_guard lock(gBuilderMutex);
    gBuilder = std::move(builder);
}

std::uint64_t ReportRunner::request(const QString& path)
{
    const std::uint64_t number = ++latest_;
    busy_ = true;
    {
        std::lock_guard lock(mutex_);
        pending_.emplace(number, path);
    }
    wake_.notify_all();
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
    return number;
}

void ReportRunner::cancel()
{
    ++latest_;
    busy_ = false;
    std::lock_guard lock(mutex_);
    pending_.reset();
}

void ReportRunner::run()
{
    for (;;) {
        std::pair<std::uint64_t, QString> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || pending_.has_value(); });
            if (stopping_)
                return;
            job = std::move(*pending_);
            pending_.reset();
        }
        int xmlErrors = 0;
        const QString report = buildReport(job.second, &xmlErrors);
        {
            // Not delivered once the destructor runs: it joins this thread before the object
            // (and the queued calls addressed to it) goes away.
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            if (pending_)
                continue; // superseded while it was built
        }
        QMetaObject::invokeMethod(
            this,
            [this, number = job.first, report, xmlErrors] { deliver(number, report, xmlErrors); },
            Qt::QueuedConnection);
    }
}

void ReportRunner::deliver(std::uint64_t number, const QString& report, int xmlErrors)
{
    if (number != latest_)
        return;
    busy_ = false;
    emit ready(number, report, xmlErrors);
}
