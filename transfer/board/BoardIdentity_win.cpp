#include "transfer/board/BoardIdentity.h"

#include <QString>

#include "serial/CPortDevice.h"

std::string SerialDeviceName(const std::string& port)
{
    // The system's device names are case-blind: com1 and COM1 are one port.
    return QString::fromStdString(ComDevicePath(port)).toUpper().toStdString();
}
