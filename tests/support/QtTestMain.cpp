// The main of every test executable: one application object for the whole run,
// as in the program, under the offscreen platform.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/Application.h"

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    TApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
