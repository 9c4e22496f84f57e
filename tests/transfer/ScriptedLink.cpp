#include "tests/transfer/ScriptedLink.h"

#include <algorithm>
#include <set>

#include "protocol/AnswerDecoding.h"

namespace {

// The requests the board answers: boot error, flash info, the creations and
// the number of data files.
const std::set<RequestCode> AnsweredRequests = {
    GetBootErrorCode, {0x13, 0x78}, CreateFlashFileCode, CreateDataFileCode, {0x11, 0x22}};

// A read of the serial stream: shorter than any answer's header and data.
constexpr std::size_t StreamPieceSize = 5;

// Get Version: an answer no transfer waits for.
constexpr RequestCode OtherAnswerCode{0x0B, 0x0A};

// The result code, then room for a handle (0) or a boot error.
Bytes AnswerTo(RequestCode code, Byte result, Byte bootError = 0)
{
    return AnswerFrame(code.first, code.second, {result, bootError, 0x00, 0x00, 0x00});
}

RequestCode CodeOf(std::span<const Byte> frame)
{
    if (frame.size() <= static_cast<std::size_t>(OffsetOperation))
        return {};
    return {frame[OffsetGroup], frame[OffsetOperation]};
}

} // namespace

void TScriptedLink::Script(RequestCode code, std::vector<Reply> replies)
{
    script_[code] = std::deque<Reply>(replies.begin(), replies.end());
}

Reply TScriptedLink::NextReply(RequestCode code)
{
    std::deque<Reply>& replies = script_[code];
    if (replies.empty())
        return Reply::Answer;
    const Reply reply = replies.front();
    if (replies.size() > 1)
        replies.pop_front();
    return reply;
}

bool TScriptedLink::Send(std::span<const Byte> frame)
{
    if (failFrom_ && sent_.size() + 1 >= *failFrom_)
        return false;
    sent_.emplace_back(frame.begin(), frame.end());
    const RequestCode code = CodeOf(frame);
    if (!AnsweredRequests.contains(code))
        return true;
    const Bytes answer = AnswerTo(code, 0);
    switch (NextReply(code)) {
    case Reply::Answer:
        Answer(code, answer);
        break;
    case Reply::Silence:
        break;
    case Reply::Late:
        afterWait_.push_back(answer);
        break;
    case Reply::Repeated:
        duringWait_.push_back(answer);
        afterWait_.push_back(answer);
        break;
    case Reply::OtherFirst:
        duringWait_.push_back(AnswerTo(OtherAnswerCode, 0));
        duringWait_.push_back(answer);
        break;
    case Reply::OtherOnly:
        duringWait_.push_back(AnswerTo(OtherAnswerCode, 0));
        break;
    case Reply::Refusal:
        Answer(code, AnswerTo(code, RefusalResult));
        break;
    case Reply::BootError:
        Answer(code, AnswerTo(code, 0, BootErrorCode));
        break;
    case Reply::Cancel:
        cancelInWait_ = true;
        break;
    }
    return true;
}

void TScriptedLink::Answer(RequestCode code, const Bytes& answer)
{
    duringWait_.push_back(answer);
    switch (extra_) {
    case Extra::None:
        break;
    case Extra::BackToBack:
        duringWait_.push_back(answer);
        break;
    case Extra::Apart:
        afterWait_.push_back(answer);
        break;
    case Extra::Spoofed:
        afterWait_.push_back(AnswerTo(code, 0));
        break;
    }
}

void TScriptedLink::Hand(std::vector<Bytes>& answers)
{
    // Taken out first: a receiver may send, and so add answers, while it hears.
    const std::vector<Bytes> handed = std::exchange(answers, {});
    for (const Bytes& answer : handed) {
        if (receiver_ == nullptr)
            continue;
        if (delivery_ == Delivery::Datagram) {
            receiver_->DatagramReceived(answer, static_cast<std::int32_t>(answer.size()), true);
            continue;
        }
        const std::span<const Byte> stream(answer);
        for (std::size_t at = 0; at < stream.size(); at += StreamPieceSize)
            receiver_->StreamReceived(stream.subspan(at, std::min(StreamPieceSize, stream.size() - at)));
    }
}

void TScriptedLink::TakePending()
{
    Hand(inLine_);
}

bool TScriptedLink::Await(const std::function<bool()>& answered, const QDeadlineTimer& /*deadline*/)
{
    Pulse();
    // What the line still holds comes first, as it would from a real line.
    Hand(inLine_);
    Hand(duringWait_);
    if (std::exchange(cancelInWait_, false)) {
        Cancel();
        Pulse();
    }
    inLine_ = std::exchange(afterWait_, {});
    return answered();
}

std::size_t TScriptedLink::CountSent(RequestCode code) const
{
    return static_cast<std::size_t>(
        std::count_if(sent_.begin(), sent_.end(), [code](const Bytes& frame) { return CodeOf(frame) == code; }));
}
