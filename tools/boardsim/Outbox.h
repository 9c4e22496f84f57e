// What the board still has to send, in order, each piece at its due time.
// A new answer never overtakes an earlier one: its pauses count from the later
// of now and the due time of the last piece already queued.
#pragma once

#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>
#include <vector>

#include "tools/boardsim/Faults.h"

namespace boardsim {

using Clock = std::chrono::steady_clock;

template <typename Destination>
class Outbox {
public:
    struct Entry {
        Clock::time_point due;
        Bytes bytes;
        Destination to;
    };

    void Schedule(const std::vector<Transmission>& pieces, Clock::time_point now, const Destination& to)
    {
        Clock::time_point due = std::max(now, last_);
        for (const Transmission& piece : pieces) {
            due += piece.pause;
            entries_.push_back(Entry{due, piece.bytes, to});
        }
        last_ = due;
    }

    bool HasDue(Clock::time_point now) const { return !entries_.empty() && entries_.front().due <= now; }

    std::optional<Clock::time_point> NextDue() const
    {
        if (entries_.empty()) {
            return std::nullopt;
        }
        return entries_.front().due;
    }

    Entry& Front() { return entries_.front(); }
    void Pop() { entries_.pop_front(); }

private:
    std::deque<Entry> entries_;
    Clock::time_point last_{};
};

}  // namespace boardsim
