// Log throughput of the progress dialog: a worker logs N and then 2N lines into an open
// (offscreen) dialog, as fast as it can, then N lines paced at a fixed rate. Prints lines
// per second shown, how far the display trailed the worker (largest lag seen while running,
// in lines and in time), and the ratio of the two unpaced run times (about 2 when the cost
// per line is constant).
//
//   bench_log_rate [N [RATE]]      (defaults 200000 lines, 50000 lines/s)
#include "app/AppSetup.h"
#include "app/ProgressDialog.h"
#include "ops/Text.h"
#include "ops/Worker.h"
#include "platform/Imaging.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

struct RunResult {
    double workerMs = 0;   // first line to last line logged
    double shownMs = 0;    // first line to last line shown
    int worstLagLines = 0; // most lines logged but not yet shown, sampled by the display
};

// Logs `lines` lines; with rate > 0, no faster than rate lines per second.
RunResult run(int lines, int rate = 0)
{
    std::atomic<qint64> workerEnd{0};
    std::atomic<int> logged{0};
    QElapsedTimer clock;
    overrideOperation(ID_CAPTURE, [&](OperationContext& ctx) {
        for (int i = 0; i < lines; ++i) {
            if (rate > 0) {
                while (clock.nsecsElapsed() < static_cast<qint64>(i) * 1000000000 / rate)
                    std::this_thread::yield();
            }
            appendLogLine(
                ctx, QStringLiteral("\t正在排除: /srv/source/Windows/WinSxS/file%1.dll").arg(i));
            logged.store(i + 1, std::memory_order_relaxed);
        }
        workerEnd = clock.nsecsElapsed();
        return true;
    });

    ProgressDialog dialog(ID_CAPTURE, nullptr);
    auto* log = dialog.findChild<QPlainTextEdit*>(QStringLiteral("c1012"));
    clock.start();
    dialog.show();
    int worstLag = 0;
    while (log->document()->blockCount() < lines || log->document()->lastBlock().text().isEmpty()) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        const int shownLines =
            log->document()->lastBlock().text().isEmpty() ? 0 : log->document()->blockCount();
        worstLag = std::max(worstLag, logged.load(std::memory_order_relaxed) - shownLines);
    }
    const qint64 shown = clock.nsecsElapsed();
    while (globalContext().running.load())
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    dialog.reject();
    joinWorker(globalContext());
    overrideOperation(ID_CAPTURE, {});
    return {workerEnd.load() / 1e6, shown / 1e6, worstLag};
}

void report(const char* what, int lines, const RunResult& r)
{
    const double logRate = lines / (r.workerMs / 1000.0);
    std::printf("%-9s %8d lines: worker %8.1f ms (%7.0f lines/s), shown after %8.1f ms "
                "(%7.0f lines/s); display behind: %6.1f ms at the end, at worst %d lines "
                "(%.0f ms of logging)\n",
                what, lines, r.workerMs, logRate, r.shownMs, lines / (r.shownMs / 1000.0),
                r.shownMs - r.workerMs, r.worstLagLines, r.worstLagLines / logRate * 1000.0);
}

} // namespace

int main(int argc, char** argv)
{
    const int n = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 50000;
    if (n <= 0 || rate <= 0) {
        std::fprintf(stderr, "usage: bench_log_rate [lines [lines-per-second]]\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (ImagingGlobalInit() != ERROR_SUCCESS)
        return 1;
    QApplication app(argc, argv);
    setUpApplication();
    resetRequestDefaults(globalContext().request);

    run(1000); // warm-up
    const RunResult one = run(n);
    report("unpaced", n, one);
    const RunResult two = run(2 * n);
    report("unpaced", 2 * n, two);
    std::printf("time ratio 2N/N: %.2f\n", two.shownMs / one.shownMs);
    report("paced", n, run(n, rate));
    return 0;
}
