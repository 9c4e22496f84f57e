// The hints for the Windows driver's errors: Windows' own numbers, Windows'
// own advice.
#include "transfer/report/PortHints.h"

#include "serial/CPort.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <tuple>

namespace {

TEST(PortHints, EachWindowsErrorGetsItsAdvice)
{
    for (const auto& [code, error, advice] :
         {std::tuple{ecOpen, ERROR_FILE_NOT_FOUND, "Device Manager"},
          std::tuple{ecOpen, ERROR_ACCESS_DENIED, "Another program holds the port"},
          std::tuple{ecOpen, ERROR_GEN_FAILURE, "plugged in"},
          std::tuple{ecWrite, ERROR_DEVICE_NOT_CONNECTED, "unplugged"}}) {
        const QString hint = PortHint(code, static_cast<std::int32_t>(error));
        EXPECT_TRUE(hint.contains(QLatin1String(advice))) << error << ": " << hint.toStdString();
        EXPECT_FALSE(hint.contains(QLatin1String("/dev/"))) << hint.toStdString();
    }
}

} // namespace
