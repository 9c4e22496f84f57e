#include "transfer/report/PortHints_p.h"

#include <cerrno>

QString OpenHint(std::int32_t osError)
{
    switch (osError) {
    case EACCES:
        return QStringLiteral("Permission denied: add your user to the dialout group "
                              "(sudo usermod -aG dialout $USER), then log out and in again.");
    case EBUSY:
        return QStringLiteral("Another program holds the port (another updater, or a modem manager): "
                              "close it, or stop ModemManager (sudo systemctl stop ModemManager).");
    case EWOULDBLOCK:
        return QStringLiteral("Another updater has the port open: close it or wait until it has finished.");
    case ENOENT:
        return QStringLiteral("No such port: check the name; USB adapters are listed under /dev/serial/by-id/, "
                              "and COMn is a link named COMn in the working folder, else /dev/ttyS(n-1).");
    case ENOTTY:
        return QStringLiteral("This is not a serial port: choose a device such as /dev/ttyUSB0 or a link to one.");
    case EIO:
    case ENXIO:
    case ENODEV:
        return QStringLiteral("No serial hardware answers at this name: check that the adapter is plugged in "
                              "and use its name under /dev/serial/by-id/.");
    default:
        return {};
    }
}

QString LineHint(std::int32_t osError)
{
    if (osError == EIO || osError == ENXIO || osError == ENODEV)
        return QStringLiteral("The adapter was unplugged or the line hung up: plug it in again and reconnect.");
    return {};
}

