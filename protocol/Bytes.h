// The byte of the board's protocol: frames, answers and the settings record
// are sequences of these.
#pragma once

#include <cstdint>

using Byte = std::uint8_t;
