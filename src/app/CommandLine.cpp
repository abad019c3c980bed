#include "app/CommandLine.h"

#include "app/ControlIds.h"
#include "app/MainWindow.h"
#include "app/Page.h"

#include <QLineEdit>
#include <QPointer>
#include <QTabWidget>
#include <QTimer>

CommandLine parseCommandLine(const QStringList& arguments)
{
    CommandLine line;
    QStringList files;
    bool options = true;
    for (const QString& argument : arguments) {
        if (options && argument == QLatin1String("--")) {
            options = false;
        } else if (options &&
                   (argument == QLatin1String("-h") || argument == QLatin1String("--help"))) {
            line.help = true;
        } else if (options && argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            line.error = QStringLiteral("pelloric: unknown option '%1'").arg(argument);
            return line;
        } else {
            files << argument;
        }
    }
    if (files.size() > 1) {
        line.error = QStringLiteral("pelloric: one WIM file at most");
        return line;
    }
    if (!files.isEmpty())
        line.wimFile = files.first();
    return line;
}

QString usageText()
{
    return QStringLiteral("usage: pelloric [FILE.wim]\n"
                          "Opens the main window; with a WIM file, on the information page with"
                          " that file's report.\n");
}

void startOnInfoPage(MainWindow& window, const QString& path)
{
    window.tabControl()->setCurrentIndex(PAGE_INFO);
    Page* page = window.currentPage();
    if (!page || page->pageIndex() != PAGE_INFO)
        return;
    page->control<QLineEdit>(IDC_INFO_SOURCE)->setText(path);
    const QPointer<Page> shown(page);
    QTimer::singleShot(0, page, [shown] {
        if (shown)
            shown->runPageCommand(IDC_INFO_RUN);
    });
}
