// Answer decoding on the network link, fed arbitrary datagrams.
//
// The input is a sequence of answer datagrams, each a size byte (1 to the
// largest answer the network receive path reads) followed by its bytes (fewer
// at the end of the input). Each datagram is put where the network receive
// path puts it: staged in RxBlock, copied to RxBuffer from position 1, RxStart
// 1 and RxCount its length; the bytes that earlier datagrams left behind it in
// RxBuffer stay there, as they do in the program. Decoding must stay within
// the datagram's frame, set the handles only from create answers, and raise
// AnswerReceived only for the answers the network link decodes.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "transfer/engine/Session.h"
#include "protocol/AnswerDecoding.h"
#include "protocol/ReceiveState.h"
#include "tests/fuzz/AnswerChecks.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

void ReceiveDatagram(std::span<const std::uint8_t> datagram)
{
    // An empty receive is the watchdog's case, not a datagram to decode.
    if (datagram.empty())
        return;
    std::copy(datagram.begin(), datagram.end(), Receiver.RxBlock.begin());
    Receiver.RxCount = static_cast<std::int32_t>(datagram.size());
    std::copy_n(Receiver.RxBlock.begin(), Receiver.RxCount, Receiver.RxBuffer.begin());
    Receiver.RxStart = 1;
    fuzz::DecodeAndCheck(fuzz::Link::Network);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto datagramSize = [](fuzz::FuzzInput& input) -> std::size_t {
        return input.TakeByte() % NetAnswerSize + 1;
    };
    fuzz::ReceiveAll(fuzz::FuzzInput(data, size), datagramSize, ReceiveDatagram);
    return 0;
}
