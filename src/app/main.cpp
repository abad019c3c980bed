// Pelloric: the entry point. Opens the main window and returns when it has closed.
#include "app/AppSetup.h"
#include "app/MainWindow.h"
#include "ops/Worker.h"
#include "platform/Imaging.h"

#include <QApplication>

int main(int argc, char** argv)
{
    // The imaging library is set up once, before any thread exists.
    ImagingGlobalInit();
    QApplication app(argc, argv);
    setUpApplication();

    OperationContext& context = globalContext();
    resetRequestDefaults(context.request);

    {
        MainWindow window(context);
        window.exec();
    }
    joinWorker(context);
    return 0;
}
