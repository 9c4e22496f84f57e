#include "tools/boardsim/Session.h"

#include <algorithm>
#include <cstring>

namespace boardsim {

Session::Session(const SessionSettings& settings, FileStore& store, Transcript& transcript)
    : strict_(settings.strict),
      board_(store, settings.board),
      store_(store),
      transcript_(transcript),
      shaper_(settings.faults)
{
}

void Session::Bad(const std::string& line)
{
    ++counters_.badFrames;
    failed_ = failed_ || strict_;
    transcript_.Line(line);
}

void Session::OnStray(const StreamPiece& piece)
{
    counters_.strayBytes += piece.bytes.size();
    if (piece.startsRun) {
        Bad("rx bad " + piece.reason + ": " + HexDump(piece.bytes) +
            " length=" + std::to_string(piece.bytes.size()));
    }
}

std::vector<Transmission> Session::OnSerialBytes(std::span<const std::uint8_t> bytes)
{
    counters_.bytes += bytes.size();
    assembler_.Feed(bytes);
    std::vector<Transmission> out;
    while (auto piece = assembler_.Next()) {
        if (piece->kind == StreamPiece::Kind::Stray) {
            OnStray(*piece);
            continue;
        }
        auto answer = OnFrame(piece->bytes, Link::Serial);
        out.insert(out.end(), answer.begin(), answer.end());
    }
    return out;
}

std::vector<Transmission> Session::OnDatagram(std::span<const std::uint8_t> datagram)
{
    counters_.bytes += datagram.size();
    return OnFrame(datagram, Link::Datagram);
}

std::vector<Transmission> Session::OnFrame(std::span<const std::uint8_t> frame, Link link)
{
    auto parsed = ParseRequest(frame);
    if (const auto* rejection = std::get_if<Rejection>(&parsed)) {
        Bad("rx bad " + rejection->reason + ": " + HexDump(frame) +
            " length=" + std::to_string(frame.size()));
        return {};
    }
    const Request& request = std::get<Request>(parsed);
    ++counters_.frames;
    ++counters_.perCommand[InfoOf(request.command).name];
    const Outcome outcome = board_.Handle(request);
    std::string line = DescribeRequest(request);
    if (!outcome.error.empty()) {
        ++counters_.refused;
        failed_ = failed_ || strict_;
        line += " refused: " + outcome.error;
    } else if (!outcome.note.empty()) {
        line += " (" + outcome.note + ")";
    }
    counters_.sizeMismatches += outcome.sizeMismatch ? 1 : 0;
    transcript_.Line(line);
    if (!outcome.answer) {
        return {};
    }
    auto pieces = shaper_.Shape(*outcome.answer, link);
    const std::string faults = shaper_.Describe(link);
    if (pieces.empty()) {
        transcript_.Line("tx dropped " + DescribeAnswer(*outcome.answer));
        return {};
    }
    ++counters_.answers;
    transcript_.Line("tx " + DescribeAnswer(*outcome.answer) + (faults.empty() ? "" : " [" + faults + "]"));
    return pieces;
}

std::optional<SearchReply> Session::OnSearch(std::span<const std::uint8_t> datagram, const std::string& sender)
{
    const std::span<const std::uint8_t> message(reinterpret_cast<const std::uint8_t*>(SearchMessage),
                                                std::strlen(SearchMessage));
    const bool isSearch = std::ranges::equal(datagram, message);
    transcript_.Line("rx search from " + sender + (isSearch ? "" : " ignored: " + HexDump(datagram)) +
                     " length=" + std::to_string(datagram.size()));
    const FaultOptions& faults = shaper_.Options();
    if (!isSearch || faults.noSearchReply) {
        return std::nullopt;
    }
    ++counters_.searches;
    SearchReply reply{faults.searchReply.value_or(Bytes(message.begin(), message.end())),
                      faults.searchFrom.value_or(SearchPort)};
    transcript_.Line("tx search reply " + HexDump(reply.bytes) + " from port " +
                     std::to_string(reply.fromPort) + " to " + sender);
    return reply;
}

std::string Session::Summary() const
{
    std::string text;
    const auto add = [&text](const std::string& key, std::uint64_t value) {
        text += key + "=" + std::to_string(value) + "\n";
    };
    add("frames", counters_.frames);
    add("bytes", counters_.bytes);
    add("bad_frames", counters_.badFrames);
    add("stray_bytes", counters_.strayBytes);
    add("refused", counters_.refused);
    add("size_mismatches", counters_.sizeMismatches);
    add("answers", counters_.answers);
    add("answers_dropped", shaper_.Dropped());
    add("searches", counters_.searches);
    add("files_kept", store_.KeptCount());
    for (const auto& [name, count] : counters_.perCommand) {
        add("command." + name, count);
    }
    return text;
}

}  // namespace boardsim
