#include "transfer/board/BoardIdentity.h"

#include <QString>

#include "serial/CPortDevice.h"

namespace {

// What opening a port puts before its name ("\\.\COM1").
const QString DevicePrefix = QStringLiteral("\\\\.\\");

} // namespace

std::string SerialDeviceName(const std::string& port)
{
    // The port as the system lists it: "COM1", however it was typed (com1,
    // \\.\COM1). The system's device names are case-blind.
    QString name = QString::fromStdString(ComDevicePath(port)).toUpper();
    if (name.startsWith(DevicePrefix))
        name.remove(0, DevicePrefix.size());
    return name.toStdString();
}
