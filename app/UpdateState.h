// The values of the update state the main window holds: the link mode and
// what the operator chose to send.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "protocol/Bytes.h"

// CommMode values.
inline constexpr Byte ModeRS232 = 0;
inline constexpr Byte ModeUSB = 1;
inline constexpr Byte ModeNetwork = 3;

// UpdateKind values.
inline constexpr Byte KindFirmware = 0;
inline constexpr Byte KindFlashFiles = 2;
inline constexpr Byte KindBios = 3;

inline constexpr int MaxFlashFiles = 10;
