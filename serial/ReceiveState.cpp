#include "serial/ReceiveState.h"

std::array<Byte, RxChunkSize> RxChunk{};
std::array<Byte, RxBufferSize> RxBuffer{};
std::array<Byte, RxBlockSize> RxBlock{};
std::int32_t RxCount = 0;
std::int32_t RxStart = 0;
std::int32_t FrameRemaining = 0;

void ResetReceiveState()
{
    RxChunk.fill(0);
    RxBuffer.fill(0);
    RxBlock.fill(0);
    RxCount = 0;
    RxStart = 0;
    FrameRemaining = 0;
}
