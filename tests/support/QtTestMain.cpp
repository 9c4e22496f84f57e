// The main of every test executable: one application object for the whole run,
// as in the program, with a state folder of its own so that the updates the
// tests run stay out of the user's history. The tests of the windows get the
// window's application object under the offscreen platform; the others get a
// core application object with its own error report (ErrorReports.h), and
// link no widgets.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QtGlobal>

#ifdef UPDATER_TEST_WINDOWS
#include "app/Application.h"
using TTestApplication = TApplication;
#else
#include "tests/support/ErrorReports.h"
using TTestApplication = TReportingApplication;
#endif

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    ::testing::InitGoogleTest(&argc, argv);
    TTestApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
