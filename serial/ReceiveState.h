// The receive state: program-wide buffers shared by the serial receive handler
// and the network receive path. Positions are 1-based in the protocol's terms:
// position p of a buffer is its element p - 1.
#pragma once

#include <array>
#include <cstdint>

#include "app/UpdateState.h"

inline constexpr int RxChunkSize = 1000;
inline constexpr int RxBufferSize = 5000;
inline constexpr int RxBlockSize = 2000;

extern std::array<Byte, RxChunkSize> RxChunk;
extern std::array<Byte, RxBufferSize> RxBuffer;
extern std::array<Byte, RxBlockSize> RxBlock;
extern std::int32_t RxCount;        // position of the last byte stored in RxBuffer (0 = empty)
extern std::int32_t RxStart;        // position of the current frame's start byte (0 = none)
extern std::int32_t FrameRemaining; // bytes of the current frame still to come

void ResetReceiveState();
