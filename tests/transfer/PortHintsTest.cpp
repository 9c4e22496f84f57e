// The advice an operator gets for the codes of a serial port's errors,
// whichever error the driver raised.
#include "transfer/report/PortHints.h"

#include "serial/CPort.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(PortHints, ErrorsWithoutAdviceGetNone)
{
    EXPECT_TRUE(PortHint(ecOpen, EComPort::NoOsError).isEmpty());
    EXPECT_TRUE(PortHint(ecSetState, EACCES).isEmpty());
    EXPECT_TRUE(PortHint(ecWrite, EAGAIN).isEmpty());
}

} // namespace
