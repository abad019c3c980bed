// Main of every user-interface test: the imaging library set up first, then a QApplication
// on the offscreen platform with the program's font and style, then GoogleTest.
#include "app/AppSetup.h"
#include "platform/Imaging.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ImagingGlobalInit();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    setUpApplication();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
