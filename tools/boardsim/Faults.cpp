#include "tools/boardsim/Faults.h"

#include <algorithm>
#include <array>

namespace boardsim {

namespace {

struct GarbleName {
    Garble mode;
    const char* name;
};

constexpr std::array<GarbleName, 3> GarbleNameList{{
    {Garble::Lead, "lead"},
    {Garble::Operation, "operation"},
    {Garble::Cut, "cut"},
}};

// No entry of the updater's answer table, in any group, has this operation
// code (the board knows it only as the request EraseFlash, which it never
// answers).
constexpr std::uint8_t StrayOperation = 0x7F;
// A cut answer ends where its result code would begin.
constexpr std::size_t CutLength = ParametersOffset;

// The answer to Get Version: one the updater knows but never asks for while
// it updates, so it answers none of the requests the updater waits on. Its
// data is the version text.
constexpr std::uint8_t VersionGroup = 0x0B;
constexpr std::uint8_t VersionOperation = 0x0A;
constexpr char VersionText[] = "BOARDSIM";

// Answers always hold their result code, so every field touched below exists.
Bytes Lead(const Bytes& answer, Link link)
{
    // A receiver on the serial line skips a stray start byte before a whole
    // answer as noise; shifted by one within its own length, the answer lacks
    // its last byte and never completes.
    Bytes sent{StartByte};
    const auto end = link == Link::Serial ? answer.end() - 1 : answer.end();
    sent.insert(sent.end(), answer.begin(), end);
    return sent;
}

Bytes WithStrayOperation(Bytes answer)
{
    answer[OperationOffset] = StrayOperation;
    answer[ChecksumOffset] = ChecksumOf(answer);
    return answer;
}

Bytes Cut(const Bytes& answer)
{
    return Bytes(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(CutLength));
}

// What the updater hopes to hear after a burn: no boot error. Forged from
// another port, it must not be taken for the board's answer.
Bytes ForgedAnswer()
{
    const CommandInfo& info = InfoOf(Command::GetBootError);
    return BuildAnswer(info.group, info.operation, ResultSuccess, Bytes{NoBootError});
}

Bytes VersionAnswer()
{
    Bytes body{VersionGroup, VersionOperation};
    body.insert(body.end(), std::begin(VersionText), std::end(VersionText) - 1);
    return BuildFrame(body);
}

std::string NameOf(Garble mode)
{
    return std::find_if(GarbleNameList.begin(), GarbleNameList.end(),
                        [mode](const GarbleName& entry) { return entry.mode == mode; })
        ->name;
}

}  // namespace

std::optional<Garble> GarbleNamed(const std::string& name)
{
    const auto it = std::find_if(GarbleNameList.begin(), GarbleNameList.end(),
                                 [&name](const GarbleName& entry) { return name == entry.name; });
    return it == GarbleNameList.end() ? std::nullopt : std::optional(it->mode);
}

std::string GarbleNames()
{
    std::string names;
    for (const GarbleName& entry : GarbleNameList) {
        names += (names.empty() ? "" : ", ") + std::string(entry.name);
    }
    return names;
}

AnswerShaper::AnswerShaper(FaultOptions faults) : faults_(std::move(faults)) {}

bool AnswerShaper::DropsNext()
{
    ++shaped_;
    const bool drop = faults_.noAnswer || shaped_ <= faults_.silentFirst ||
                      (faults_.dropEvery != 0 && shaped_ % faults_.dropEvery == 0);
    dropped_ += drop ? 1 : 0;
    return drop;
}

Bytes AnswerShaper::Sent(const Bytes& answer, Link link) const
{
    if (faults_.wrongAnswer) {
        return VersionAnswer();
    }
    if (!faults_.garble) {
        return answer;
    }
    switch (*faults_.garble) {
    case Garble::Lead:
        return Lead(answer, link);
    case Garble::Operation:
        return WithStrayOperation(answer);
    case Garble::Cut:
        return Cut(answer);
    }
    return answer;
}

Bytes AnswerShaper::DatagramBody(const Bytes& answer) const
{
    if (faults_.emptyDatagram) {
        return {};
    }
    Bytes body = faults_.noise;
    body.insert(body.end(), answer.begin(), answer.end());
    if (body.size() < faults_.padDatagram) {
        body.resize(faults_.padDatagram, 0);
    }
    return body;
}

void AnswerShaper::AppendChunks(std::vector<Transmission>& out, const Bytes& body) const
{
    // The first chunk goes at once, each later one after the pause; a body that
    // outlasts the sizes goes on as one last chunk. An empty body is one piece.
    std::size_t at = 0;
    auto sizes = faults_.split.begin();
    do {
        const std::size_t left = body.size() - at;
        const std::size_t take = sizes == faults_.split.end() ? left : std::min(*sizes++, left);
        out.push_back({at == 0 ? Milliseconds{0} : faults_.splitPause,
                       Bytes(body.begin() + static_cast<std::ptrdiff_t>(at),
                             body.begin() + static_cast<std::ptrdiff_t>(at + take))});
        at += take;
    } while (at < body.size());
}

std::vector<Transmission> AnswerShaper::Ahead(Link link) const
{
    std::vector<Transmission> ahead;
    if (faults_.forgePort && link == Link::Datagram) {
        ahead.push_back({Milliseconds{0}, ForgedAnswer(), true});
    }
    if (faults_.copyFirst && previous_) {
        ahead.push_back({Milliseconds{0}, *previous_});
    }
    return ahead;
}

std::vector<Transmission> AnswerShaper::Shape(const Bytes& answer, Link link)
{
    if (DropsNext()) {
        return {};
    }
    std::vector<Transmission> out = Ahead(link);
    const std::size_t answerStart = out.size();
    if (faults_.alarm) {
        out.push_back({Milliseconds{0}, BuildAlarm()});
    }
    const Bytes sent = Sent(answer, link);
    if (link == Link::Serial) {
        if (!faults_.noise.empty()) {
            out.push_back({Milliseconds{0}, faults_.noise});
        }
        AppendChunks(out, sent);
    } else {
        AppendChunks(out, DatagramBody(sent));
    }
    if (faults_.secondAnswer) {
        out.push_back({*faults_.secondAnswer, answer});
    }
    if (faults_.copyFirst) {
        out[answerStart].pause += *faults_.copyFirst;
    }
    out.front().pause += faults_.delay;
    previous_ = sent;
    return out;
}

std::string AnswerShaper::Describe(Link link) const
{
    std::string text;
    const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : " ") + part; };
    if (faults_.delay.count() != 0) {
        add("delay=" + std::to_string(faults_.delay.count()) + "ms");
    }
    if (faults_.alarm) {
        add("alarm");
    }
    if (!faults_.noise.empty()) {
        add("noise=" + std::to_string(faults_.noise.size()));
    }
    if (!faults_.split.empty()) {
        add("split");
    }
    if (faults_.garble) {
        add("garble=" + NameOf(*faults_.garble));
    }
    if (faults_.wrongAnswer) {
        add("wrong-answer");
    }
    if (faults_.secondAnswer) {
        add("second-answer");
    }
    if (faults_.copyFirst) {
        add("copy-first=" + std::to_string(faults_.copyFirst->count()) + "ms");
    }
    if (link == Link::Datagram && faults_.forgePort) {
        add("forge-port");
    }
    if (link == Link::Datagram && faults_.emptyDatagram) {
        add("empty-datagram");
    }
    if (link == Link::Datagram && faults_.padDatagram != 0) {
        add("pad=" + std::to_string(faults_.padDatagram));
    }
    return text;
}

}  // namespace boardsim
