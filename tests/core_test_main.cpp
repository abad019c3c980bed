// Entry point of the core test executables: the imaging library's global set-up runs once,
// before any test starts a thread.
#include "platform/Imaging.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ImagingGlobalInit();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
