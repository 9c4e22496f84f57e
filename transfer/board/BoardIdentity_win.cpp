#include "transfer/board/BoardIdentity.h"

#include "serial/CPortDevice.h"

std::string SerialDeviceName(const std::string& port)
{
    // COM1 however it was typed (com1, \\.\COM1): one port, one board.
    return ComDeviceName(port);
}
