// The main of every test executable: one application object for the whole run,
// as in the program, under the offscreen platform, with a state folder of its
// own so that the updates the tests run stay out of the user's history.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdlib>

#include "app/Application.h"

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const QTemporaryDir state;
    ::setenv("XDG_STATE_HOME", state.path().toLocal8Bit().constData(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    TApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
