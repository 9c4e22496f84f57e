// The simulated board's request side, fed arbitrary bytes.
//
// The input: a byte giving how many chunk sizes follow (modulo 5), those sizes
// (a byte each, plus one), then the byte stream the board receives. The stream
// is parsed as one frame, and it is cut into frames by the frame assembler,
// fed in chunks of the given sizes in turn (all at once when there are none).
// Every request the board accepts must encode back to exactly its frame, and
// the assembler must hand out every byte once, in order, holding back no more
// than one request's worth.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "tests/fuzz/FuzzSupport.h"
#include "tools/boardsim/FrameAssembler.h"
#include "tools/boardsim/Protocol.h"

namespace {

using boardsim::Bytes;
using boardsim::Command;

constexpr std::size_t MaxChunkSizes = 4;

void AppendName(Bytes& bytes, const std::string& name)
{
    FUZZ_CHECK(name.size() <= boardsim::NameSize);
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.resize(bytes.size() + boardsim::NameSize - name.size(), 0);
}

void AppendBlock(Bytes& bytes, const Bytes& data)
{
    boardsim::AppendWord(bytes, static_cast<std::uint16_t>(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
}

// The parameters of an accepted request, encoded back from what the board
// read out of them.
Bytes EncodeParameters(const boardsim::Request& request)
{
    Bytes parameters;
    switch (request.command) {
    case Command::GetBootError:
    case Command::GetNumberofDataFiles:
    case Command::GetFlashInfo:
    case Command::EraseFlash:
        break;
    case Command::SetBurnBlock:
    case Command::SetBurnMode:
        parameters.push_back(request.value);
        break;
    case Command::CloseDataFile:
    case Command::CloseFlashFile:
        boardsim::AppendLong(parameters, request.handle);
        break;
    case Command::CreateDataFile:
        AppendName(parameters, request.name);
        break;
    case Command::CreateFlashFile:
        AppendName(parameters, request.name);
        boardsim::AppendLong(parameters, request.length);
        parameters.push_back(request.value);
        break;
    case Command::ImageBlock:
        AppendBlock(parameters, request.data);
        break;
    case Command::DataFileBlock:
    case Command::FlashFileBlock:
        boardsim::AppendLong(parameters, request.handle);
        AppendBlock(parameters, request.data);
        break;
    }
    return parameters;
}

void CheckParsed(std::span<const std::uint8_t> frame)
{
    const auto result = boardsim::ParseRequest(frame);
    if (const auto* rejection = std::get_if<boardsim::Rejection>(&result)) {
        FUZZ_CHECK(!rejection->reason.empty());
        return;
    }
    const auto& request = std::get<boardsim::Request>(result);
    FUZZ_CHECK(request.frameLength == frame.size());
    const boardsim::CommandInfo& info = boardsim::InfoOf(request.command);
    Bytes body{info.group, info.operation};
    const Bytes parameters = EncodeParameters(request);
    body.insert(body.end(), parameters.begin(), parameters.end());
    const Bytes rebuilt = boardsim::BuildFrame(body);
    FUZZ_CHECK(std::equal(rebuilt.begin(), rebuilt.end(), frame.begin(), frame.end()));
}

// A frame piece has the layout the assembler promises; a stray piece never
// hides a frame start behind its first byte.
void CheckPiece(const boardsim::StreamPiece& piece, bool afterStray)
{
    FUZZ_CHECK(!piece.bytes.empty());
    if (piece.kind == boardsim::StreamPiece::Kind::Stray) {
        FUZZ_CHECK(piece.startsRun == !afterStray);
        FUZZ_CHECK(std::find(piece.bytes.begin() + 1, piece.bytes.end(), boardsim::StartByte) == piece.bytes.end());
        FUZZ_CHECK(piece.bytes.size() == 1 || piece.bytes.front() != boardsim::StartByte);
        return;
    }
    const std::size_t payload = fuzz::WordAt(piece.bytes, boardsim::LengthOffset);
    FUZZ_CHECK(piece.bytes.front() == boardsim::StartByte);
    FUZZ_CHECK(piece.bytes.size() == boardsim::HeaderSize + payload);
    FUZZ_CHECK(payload >= boardsim::CommandSize && payload <= boardsim::MaxRequestPayload);
    CheckParsed(piece.bytes);
}

void CheckAssembly(std::span<const std::uint8_t> stream, const std::vector<std::size_t>& chunkSizes)
{
    boardsim::FrameAssembler assembler;
    Bytes handedOut;
    bool afterStray = false;
    std::size_t next = 0;
    for (std::size_t chunkIndex = 0; next < stream.size(); ++chunkIndex) {
        const std::size_t size = chunkSizes.empty() ? stream.size() : chunkSizes[chunkIndex % chunkSizes.size()];
        const auto chunk = stream.subspan(next, std::min(size, stream.size() - next));
        next += chunk.size();
        assembler.Feed(chunk);
        while (const auto piece = assembler.Next()) {
            CheckPiece(*piece, afterStray);
            handedOut.insert(handedOut.end(), piece->bytes.begin(), piece->bytes.end());
            afterStray = piece->kind == boardsim::StreamPiece::Kind::Stray;
        }
        FUZZ_CHECK(assembler.Pending() < boardsim::MaxRequestFrame);
        FUZZ_CHECK(handedOut.size() + assembler.Pending() == next);
        FUZZ_CHECK(std::equal(handedOut.begin(), handedOut.end(), stream.begin()));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::FuzzInput input(data, size);
    std::vector<std::size_t> chunkSizes(input.TakeByte() % (MaxChunkSizes + 1));
    for (std::size_t& chunkSize : chunkSizes)
        chunkSize = std::size_t{input.TakeByte()} + 1;
    const auto stream = input.TakeRest();

    CheckParsed(stream);
    CheckAssembly(stream, chunkSizes);
    return 0;
}
