// One-line advice for an operator whose serial port failed: what the driver's
// error usually means on the system at hand and what to do about it.
#pragma once

#include <QString>

#include <cstdint>

class EComPort;

// The hint for a driver error (its code and the system's error number), or an
// empty text when there is no advice beyond the error itself.
QString PortHint(std::int32_t code, std::int32_t osError);
QString PortHint(const EComPort& error);
