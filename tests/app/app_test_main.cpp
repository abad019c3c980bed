// Main of every user-interface test: the imaging library set up first, then a QApplication
// on the offscreen platform with the program's font and style, then GoogleTest.
#include "app/AppSetup.h"
#include "platform/Imaging.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    // The tests read the program's own (Chinese) texts whatever the machine's locale; child
    // processes inherit it. Tests of the English texts choose English themselves.
    setenv("LC_ALL", "C.UTF-8", 1);
    if (ImagingGlobalInit() != ERROR_SUCCESS)
        return 1;
    // Offscreen, also when a test runs a copy of itself on an offscreen screen of its own size
    // ("offscreen:configfile=...").
    if (!qEnvironmentVariable("QT_QPA_PLATFORM").startsWith(QLatin1String("offscreen")))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setUpApplication();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
