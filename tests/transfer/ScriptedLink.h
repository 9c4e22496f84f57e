// A board link for the engine's tests: in memory, with no socket, thread or
// event loop. It keeps every frame that went out and answers each answered
// request as its script says. A wait never sleeps: it hands over what the
// script gives and returns at once, answered or not, so a silent board costs
// no watchdog interval.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "tests/serial/Unit2TestSupport.h"
#include "transfer/engine/Link.h"

// How the board's answers reach the session: pieces of a serial byte stream
// (each answer cut across reads, as a slow line hands it), or one datagram
// each (which also makes the link read each answer).
enum class Delivery { Stream, Datagram };

// What the board does with one answered request.
enum class Reply {
    Answer,      // its answer, during the wait
    Silence,     // nothing at all
    Late,        // nothing during the wait; its answer waits in the line for the next request
    Repeated,    // its answer during the wait, and once more after it
    OtherFirst,  // an answer to another request, then its own
    OtherOnly,   // an answer to another request alone
    Refusal,     // its answer with a non-zero result
    BootError,   // its answer carrying boot error BootErrorCode
    Cancel,      // nothing, and the operator cancels during the wait
};

// What comes besides each answer the board gives.
enum class Extra {
    None,
    BackToBack,  // the answer once more, right behind it
    Apart,       // the answer once more, once its wait has ended (the line holds it for the next request)
    Spoofed,     // an answer without error to the same request, once its wait has ended
};

// A request's group and operation, as the frame carries them.
using RequestCode = std::pair<Byte, Byte>;

inline constexpr RequestCode GetBootErrorCode{0x13, 0x01};
inline constexpr RequestCode CreateFlashFileCode{0x13, 0x7B};
inline constexpr RequestCode CreateDataFileCode{0x11, 0x1B};
inline constexpr Byte RefusalResult = 5;
inline constexpr Byte BootErrorCode = 9;

class TScriptedLink : public TBoardLink {
public:
    explicit TScriptedLink(Delivery delivery) : delivery_(delivery) {}

    bool ReadsEachAnswer() const override { return delivery_ == Delivery::Datagram; }
    std::string BoardName() const override { return "scripted"; }
    bool Send(std::span<const Byte> frame) override;
    void TakePending() override;
    bool Await(const std::function<bool()>& answered, const QDeadlineTimer& deadline) override;
    // The scripted board needs no time to settle.
    void Settle(std::chrono::milliseconds /*duration*/) override {}

    // The replies to the next requests of `code`, one a request; the last one
    // stays for the rest. A request the board answers has Reply::Answer
    // until scripted otherwise.
    void Script(RequestCode code, std::vector<Reply> replies);
    // What comes with every later answer.
    void AddToEachAnswer(Extra extra) { extra_ = extra; }
    // From the `frame`-th frame on (1-based) a write fails.
    void FailWritesFrom(std::size_t frame) { failFrom_ = frame; }

    // The frames that went out, in order.
    const std::vector<Bytes>& Sent() const { return sent_; }
    // How many of them carry `code`.
    std::size_t CountSent(RequestCode code) const;

private:
    Reply NextReply(RequestCode code);
    void Hand(std::vector<Bytes>& answers);
    void Answer(RequestCode code, const Bytes& answer);

    Delivery delivery_;
    std::map<RequestCode, std::deque<Reply>> script_;
    std::optional<std::size_t> failFrom_;
    Extra extra_ = Extra::None;
    std::vector<Bytes> sent_;
    std::vector<Bytes> duringWait_;  // what comes while the last request's wait runs
    std::vector<Bytes> afterWait_;   // what comes once that wait has ended
    std::vector<Bytes> inLine_;      // what came and was not handed yet
    bool cancelInWait_ = false;
};
