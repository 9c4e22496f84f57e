// The receive state of one session with a board: the buffers shared by the
// serial receive handler and the network receive path. Positions are 1-based
// in the protocol's terms: position p of a buffer is its element p - 1.
#pragma once

#include <array>
#include <cstdint>

#include "protocol/Bytes.h"

inline constexpr int RxChunkSize = 1000;
inline constexpr int RxBufferSize = 5000;
inline constexpr int RxBlockSize = 2000;

struct TReceiveState {
    std::array<Byte, RxBufferSize> RxBuffer{};
    std::array<Byte, RxBlockSize> RxBlock{};
    std::int32_t RxCount = 0;        // position of the last byte stored in RxBuffer (0 = empty)
    std::int32_t RxStart = 0;        // position of the current frame's start byte (0 = none)
    std::int32_t FrameRemaining = 0; // bytes of the current frame still to come

    void ResetReceiveState() { *this = TReceiveState(); }
};
