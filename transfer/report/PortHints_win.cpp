#include "transfer/report/PortHints_p.h"

#include <windows.h>

QString OpenHint(std::int32_t osError)
{
    switch (osError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return QStringLiteral("No such port: check the name in Device Manager, under Ports (COM & LPT).");
    // A port is opened by one program at a time: the system refuses the next.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return QStringLiteral("Another program holds the port (another updater, a terminal program): close it "
                              "or wait until it has finished.");
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_NOT_READY:
        return QStringLiteral("No serial hardware answers at this name: check that the adapter is plugged in "
                              "and that Device Manager lists it.");
    default:
        return {};
    }
}

QString LineHint(std::int32_t osError)
{
    if (osError == ERROR_GEN_FAILURE || osError == ERROR_DEVICE_NOT_CONNECTED)
        return QStringLiteral("The adapter was unplugged or the line hung up: plug it in again and reconnect.");
    return {};
}
