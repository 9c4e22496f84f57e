// Starts the simulated board (tools/boardsim) as a child process for a test,
// and reads back what it kept. The board runs until Stop() or the destructor
// (SIGTERM, then waitpid; SIGKILL only if it does not end).
//
// Every board gets a fresh temporary folder, and these options before the
// caller's: --out <folder>/board --summary <folder>/summary.txt
// --transcript <folder>/transcript.txt. Give at least --pty or --udp ADDRESS.
// To run it inside a network namespace, pass a launcher such as
// {"ip", "netns", "exec", "<name>"}: it must exec the board in its place.
//
//   BoardSim board({"--pty"});
//   ... point the updater at board.PtyPath(), run a transfer ...
//   EXPECT_EQ(board.Kept("burn0.bin"), imageBytes);
//   board.Stop();
//   EXPECT_EQ(board.Count("bad_frames"), 0);
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

class BoardSim {
public:
    // Starts the board and waits until it says "ready". Throws
    // std::runtime_error when it cannot start or ends before it is ready.
    explicit BoardSim(std::vector<std::string> arguments, std::vector<std::string> launcher = {});
    ~BoardSim();
    BoardSim(const BoardSim&) = delete;
    BoardSim& operator=(const BoardSim&) = delete;

    // The board's process, while it runs.
    pid_t Pid() const { return pid_; }
    // The pseudo-terminal's path (empty without --pty).
    const std::string& PtyPath() const { return ptyPath_; }
    std::filesystem::path OutFolder() const { return folder_ / "board"; }

    // The bytes of a kept file ("burn0.bin", "flash/app.bin", "data/Flash.dat"),
    // or nothing when the board has not kept it. Safe while the board runs: a
    // running board is asked to write what it holds back first.
    std::optional<std::string> Kept(const std::string& relative) const;
    // The whole transcript so far: a running board is asked to write the
    // lines it holds first. Throws std::runtime_error when it does not.
    std::string Transcript() const;
    // Asks a running board to write the transcript lines and kept bytes it
    // holds back (SIGUSR1) and waits for its "flushed" line, so that the
    // files under OutFolder() and TranscriptFile() are complete. Throws
    // std::runtime_error when it does not answer.
    void Flush() const;
    // The transcript file as the board has written it so far, unasked.
    std::filesystem::path TranscriptFile() const { return folder_ / "transcript.txt"; }

    // Ends the board with SIGTERM and returns its exit status (as waitpid's
    // WEXITSTATUS, or 128 + the signal that ended it). Later calls return the
    // same status.
    int Stop();
    // Waits for the board to end by itself (e.g. after --strict met a bad
    // frame), at most `seconds`; returns its exit status, or nothing.
    std::optional<int> WaitForExit(int seconds);

    // The summary the board wrote at exit; stops the board first.
    std::map<std::string, std::uint64_t> Summary();
    // One value of the summary (0 when the key is absent); stops the board first.
    std::uint64_t Count(const std::string& key);

private:
    void WaitForReady();

    std::filesystem::path folder_;
    pid_t pid_ = -1;
    int stdout_ = -1;
    std::optional<int> status_;
    std::string ptyPath_;
};
