// Entry point of the core test executables: the imaging library's global set-up runs once,
// before any test starts a thread.
#include "platform/Imaging.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    // The tests read the program's own (Chinese) texts whatever the machine's locale; child
    // processes inherit it. Tests of the English texts choose English themselves.
    setenv("LC_ALL", "C.UTF-8", 1);
    if (ImagingGlobalInit() != ERROR_SUCCESS)
        return 1;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
