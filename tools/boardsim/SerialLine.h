// The board's end of a serial line: the master side of a pseudo-terminal,
// whose slave side the updater opens as its port. Optionally reads at the
// speed of a real line (RATE/10 bytes a second for 8N1), so that what the
// updater sees of the board's pace is what a cable would give it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "tools/boardsim/Outbox.h"

namespace boardsim {

class SerialLine {
public:
    // Opens the pseudo-terminal in raw mode and makes `link` point to it
    // (replacing an old link there). Throws std::system_error on failure.
    SerialLine(const std::optional<std::filesystem::path>& link, std::uint32_t baud);
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    const std::string& Path() const { return path_; }
    int Fd() const { return master_; }

    // The poll events the line waits for now, and when it next needs a wake-up
    // (the next paced byte or the next due write).
    short Events(Clock::time_point now) const;
    std::optional<Clock::time_point> NextWake(Clock::time_point now) const;

    // Reads what the pacing allows. Throws std::system_error on failure.
    Bytes Read(Clock::time_point now);
    void Send(const std::vector<Transmission>& pieces, Clock::time_point now);
    // Writes the due bytes the line takes. Throws std::system_error on failure.
    void Flush(Clock::time_point now);

private:
    std::size_t Allowance(Clock::time_point now) const;

    int master_ = -1;
    int slave_ = -1;  // held open so that the master never sees a hang-up between the updater's opens
    std::string path_;
    std::optional<std::filesystem::path> link_;
    std::optional<Clock::duration> byteTime_;
    Clock::duration catchUp_{};      // how far the line may fall behind the clock
    Clock::time_point lineClock_{};  // when the line has delivered every byte read so far
    Outbox<int> outbox_;
};

}  // namespace boardsim
