#include "tools/boardsim/Faults.h"

#include <algorithm>

namespace boardsim {

AnswerShaper::AnswerShaper(FaultOptions faults) : faults_(std::move(faults)) {}

bool AnswerShaper::DropsNext()
{
    ++shaped_;
    const bool drop = faults_.noAnswer || (faults_.dropEvery != 0 && shaped_ % faults_.dropEvery == 0);
    dropped_ += drop ? 1 : 0;
    return drop;
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

std::vector<Transmission> AnswerShaper::Shape(const Bytes& answer, Link link)
{
    if (DropsNext()) {
        return {};
    }
    std::vector<Transmission> out;
    if (faults_.alarm) {
        out.push_back({Milliseconds{0}, BuildAlarm()});
    }
    if (link == Link::Serial) {
        if (!faults_.noise.empty()) {
            out.push_back({Milliseconds{0}, faults_.noise});
        }
        AppendChunks(out, answer);
    } else {
        AppendChunks(out, DatagramBody(answer));
    }
    if (faults_.secondAnswer) {
        out.push_back({*faults_.secondAnswer, answer});
    }
    out.front().pause += faults_.delay;
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
    if (faults_.secondAnswer) {
        add("second-answer");
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
