// Pelloric: the entry point. Opens the main window and returns when it has closed. The one
// command-line argument is a WIM file to open on the information page.
#include "app/AppSetup.h"
#include "app/CommandLine.h"
#include "app/MainWindow.h"
#include "ops/Text.h"
#include "ops/Worker.h"
#include "platform/Imaging.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    // Help needs no display: it is answered before Qt looks for one.
    QStringList raw;
    for (int i = 1; i < argc; ++i)
        raw << QString::fromLocal8Bit(argv[i]);
    if (parseCommandLine(raw).help) {
        std::fputs(qPrintable(usageText()), stdout);
        return 0;
    }

    // The imaging library is set up once, before any thread exists.
    if (const DWORD error = ImagingGlobalInit()) {
        std::fprintf(stderr, "pelloric: %s\n", qPrintable(errorText(error)));
        return 1;
    }
    QApplication app(argc, argv);
    const CommandLine line = parseCommandLine(app.arguments().mid(1));
    if (line.help || !line.error.isEmpty()) {
        if (!line.error.isEmpty())
            std::fprintf(stderr, "%s\n", qPrintable(line.error));
        std::fputs(qPrintable(usageText()), line.help ? stdout : stderr);
        return line.help ? 0 : 2;
    }
    setUpApplication();

    OperationContext& context = globalContext();
    resetRequestDefaults(context.request);

    {
        MainWindow window(context);
        if (!line.wimFile.isEmpty())
            startOnInfoPage(window, line.wimFile);
        window.exec();
    }
    joinWorker(context);
    return 0;
}
