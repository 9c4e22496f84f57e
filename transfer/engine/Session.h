// One board's session: the request frame, the receive state, the answer
// flags and the board's file handles, the transmission over the session's
// link and the waits for the board's answers, each bounded by the watchdog's
// interval, and the
// transfers that drive the board (firmware and BIOS images, flash files, the
// data file). A session never shows anything: it reports what happens to its
// TSessionEvents, which a front end implements.
//
// A session is used by one thread at a time. Several sessions, one per board,
// may run at once, each a task of one scheduler (LinkScheduler).
#pragma once

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <array>
#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/AnswerDecoding.h"
#include "protocol/Encoder.h"
#include "transfer/engine/Link.h"

class TFileOfBytes;

inline constexpr int DefaultWatchdogMs = 10000;
inline constexpr std::int32_t BoardRequestPort = 3333;
inline constexpr int FileBlockSize = 512;

// An awaited answer that did not come.
struct TMissingAnswer {
    std::string request;  // "GetBootError", "GetNumberofDataFiles", ...
    std::int64_t block;   // the block it followed (0 before the first block)
    int watchdogMs;       // how long it was awaited
    std::string wait = {};  // the wait's label, as the watchdog's report names it ("Net" on the network)
};

// Which way a frame went.
enum class FrameDirection { Sent, Received };

// What the board is busy with, for a front end's view: nothing it must be
// left alone for, erasing its flash, or burning (it must keep its power).
enum class BoardPhase { None, Erasing, Burning };

// What the session reports. Every call comes on the session's thread.
class TSessionEvents {
public:
    virtual ~TSessionEvents() = default;

    // A status text, exactly as the operator is to read it.
    virtual void Status(const std::string& /*text*/) {}
    // The board's phase changes; told before the status text that goes with it.
    virtual void Phase(BoardPhase /*phase*/) {}
    // A file's transfer starts: its path and size.
    virtual void FileStarted(const std::string& /*path*/, std::int64_t /*size*/) {}
    // A block went out. `gaugePosition` is the gauge's position after it, one
    // block ahead as the board's operators know it; `bytesDone` counts the
    // file's bytes sent so far, `total` is the file's size.
    virtual void BlockSent(std::int64_t /*gaugePosition*/, std::int64_t /*bytesDone*/, std::int64_t /*total*/) {}
    // A frame went to the board, or one of the board's came in, its bytes as
    // on the link (a datagram longer than any answer: as far as it was read).
    // `stray`: a received frame that no wait took, neither the answer awaited
    // nor the alarm. The serial alarm frame and other hosts' datagrams are not
    // told. Called for every frame: it must stay cheap.
    virtual void Frame(FrameDirection /*direction*/, std::span<const Byte> /*bytes*/, bool /*stray*/) {}
    // An answer was decoded (beeps, burn state texts).
    virtual void Answer(const DecodeOutcome& /*outcome*/) {}
    // The watchdog fired: no answer came within its interval for the wait
    // with WaitLabel. The transfer goes on after the call returns.
    virtual void MissingAnswer(const TMissingAnswer& /*missing*/) {}
    // A one-byte serial write did not complete within the watchdog's
    // interval; the transfer is cancelled after the call returns.
    virtual void ShortWrite() {}
    // A flash or data file was not written: the board did not answer its
    // creation, or refused it. Its blocks and its close were not sent.
    virtual void FileNotWritten(const std::string& /*path*/, const std::string& /*reason*/) {}
    // The board has not answered `missingInARow` awaited requests in a row (a
    // multiple of MissingAnswersBeforeAsking): true stops the transfer.
    virtual bool StopAfterSilence(int /*missingInARow*/) { return false; }
};

// After this many awaited answers in a row have not come, the session asks
// its events whether to stop.
inline constexpr int MissingAnswersBeforeAsking = 3;

// Raised before anything is sent when a flash file's name cannot be carried
// by the CreateFlashFile request.
class EUnsendableName : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A board-reported failure: a non-zero result code or boot error in any of
// the board's answers to the requests a transfer sends, taken or stray.
struct TBoardError {
    std::string label;   // the wait it ended or came in: "GetBootError", "Create Flash File", ...
    std::int64_t block;  // the block it followed (1-based; 0 before the first block); for a run
                         // with strays, the last block it may have followed
    Byte result;
    Byte bootError;
    std::string request = {};  // the request answered: "GetBootError", "CreateFlashFile", ...
    std::string file = {};     // the file whose creation the board refused, if it was one
};


// A file whose transfer started: what the board was told and what it got.
struct TSentFile {
    std::string path;
    std::int64_t size = 0;  // as announced to the board
    // The SHA-256 (lower-case hex) of the bytes that went out, once the whole
    // file went out unchanged; empty until then.
    std::string sha256;
};

// What a transfer came to, kept until the next transfer starts.
struct TSessionTally {
    int missingAnswers = 0;
    std::optional<TMissingAnswer> firstMissing;
    int boardErrorCount = 0;
    std::vector<TBoardError> boardErrors;  // the first few, in order
    std::vector<std::string> filesNotWritten;
    std::vector<std::string> notWrittenReasons;  // one a file not written, in the same order
    std::int64_t framesSent = 0;           // frames the link took
    std::int64_t bytesSent = 0;            // file bytes in block frames
    std::int64_t blocksSent = 0;
    int missingInARow = 0;
    // What the board sent that no wait took as its answer: a frame of another
    // answer or of none, a garbled, empty or oversized datagram, a copy of an
    // answer already taken, anything that came before its request went out or
    // was left at the end. Its alarm is no stray.
    int strayAnswers = 0;
    // Datagrams from other hosts: never the board's, counted apart, and no
    // cause against the run.
    int strangerFrames = 0;
    // The longest an awaited answer took, and the boot error of the last
    // answer taken to a boot-error query.
    double slowestAnswerMs = 0;
    Byte lastBootError = 0;
    // The run was stopped while the session listened for the board's last
    // frames: what came after is unknown.
    bool accountOpen = false;
    std::vector<TSentFile> sentFiles;
    // The last request sent gets no answer: it may still be on its way out
    // of the line when the transfer ends, and deserves the time to leave.
    bool lastRequestUnanswered = false;
};

// One board's session over a link. The session hands the link its frames and
// waits on it; what the link receives comes back through TLinkReceiver. Its
// protocol state (the request frame, the receive state, the board's handles)
// is its own: a front end reads it, never writes it.
class TSession : private TRequestFrame, private TAnswerReceiver, private TLinkReceiver {
public:
    explicit TSession(TSessionEvents& events);
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    // The link the session sends over and hears from; it may change between
    // transfers. A link's receiver is the session that uses it.
    void UseLink(TBoardLink& link);
    TBoardLink& Link() const { return *link_; }
    // Makes this session hear what `link` receives also while another link
    // carries its transfers (the serial line's alarm reaches the window in
    // every mode).
    void HearFrom(TBoardLink& link) { link.SetReceiver(this); }

    // The last request built, as it went (or would go) to the board.
    const TRequestFrame& LastRequest() const { return *this; }
    // The receive state: the answer flag, the board's file handles, the buffers.
    const TAnswerReceiver& Received() const { return *this; }

    // The watchdog's interval; it may change between transfers.
    void SetWatchdogMs(int milliseconds) { watchdogMs_ = milliseconds; }

    // The request encoder: looks the call text up in the command table and
    // encodes it into TxFrame, then sends it (Trans).
    void Execute_Command(const std::string& callText);
    // The serial wait for the answer to the request just sent.
    void WaitAck(const std::string& label);

    // The transfers. Each starts a fresh tally. File and link errors are raised.
    // An image into a burn block: SetBurnBlock, then the image's blocks.
    void RunImage(const std::string& path, std::int32_t burnBlock);
    void CopyFlashFile(std::span<const std::string> paths);
    void CopyDataFile(const std::string& path);
    // Asks the board for its boot error once, as the image stream does after
    // every block, and listens until the board is quiet; the tally tells the
    // answer (lastBootError), how long it took and what else came.
    void QueryBootError();

    // Closes the run's account: lets what the line still has to send leave
    // it, then takes every frame of the board until it has been quiet for
    // the settle time (SettleMs). A stop meanwhile leaves the account open.
    void CloseAccount();
    // At least MinSettleMs and four times the slowest answer of the run, at
    // most the watchdog's interval: a copy of an answer, or an answer sent
    // late, has had the time to come.
    int SettleMs() const;

    const TSessionTally& Tally() const { return tally_; }
    // Forgets what the last transfer came to; every transfer starts here, and
    // a front end that refuses one before it starts does too.
    void StartTally();

private:
    void Trans(const std::string& fieldList);
    // The transmitter: sends TxFrame over the link; on a link that reads
    // every answer as it comes (the network), an answered request also
    // receives and decodes its answer.
    void Send_PVR(const std::string& label);
    // The network wait: takes the board's datagrams until one decodes as the
    // answer awaited or the watchdog's interval has passed; every other
    // datagram from the board is counted as stray.
    void Net_Read_Neg();
    DecodeOutcome Translation();
    // Decodes the datagram stored at RxStart, reports it and returns it.
    DecodeOutcome Message_Answer_Decoding();

    struct BlockStream {
        int blockSize;
        Byte group;
        Byte operation;
        const std::int32_t* handle;  // read afresh for every block; none for the image stream
        const char* query;
        const char* label;
    };
    // Streams the image to the board, each block followed by its boot-error query.
    void CopyBootFile(TFileOfBytes& image);
    void StreamBlocks(TFileOfBytes& file, const BlockStream& stream);
    void RequestAndWait(const std::string& callText, const std::string& label);
    // A table command encoded once, to be sent many times.
    TRequestFrame EncodeCall(const std::string& callText) const;
    // Sends the request, runs `meanwhile`, then waits for the answer. The
    // request becomes the session's frame once `meanwhile` has run.
    void SendAndWait(const TRequestFrame& request, const std::string& label, const std::function<void()>& meanwhile);
    // Sends TxFrame, or the frame given, over the link without reading an
    // answer.
    void Transmit();
    void Transmit(std::span<const Byte> frame);
    // Hands on what the link holds that no wait is open for: each frame of
    // it is counted as stray.
    void TakeStrays();
    // The wait both links share: until the answer awaited has come or the
    // watchdog's interval has passed (reported).
    void AwaitAnswer(const std::string& label);
    // Marks a wait that the watchdog ended: the report, and the tally.
    void Watchdog();
    // Whether the create request just waited for was answered without error;
    // tells the events which file was not written when it was not.
    bool FileCreated(const std::string& path);
    void BoundWrites();
    void StreamFile(TFileOfBytes& file, const BlockStream& stream);
    // Takes every frame of the board until it has been quiet for the
    // settle time, or at most the watchdog's interval in all.
    void ListenUntilQuiet();
    bool IsAwaitedAnswer(const DecodeOutcome& outcome) const;
    // Takes the answer awaited, when the frame is it and a wait is open.
    bool TakeAnswer(const DecodeOutcome& decoded);
    // Counts the failure a frame of the board reports, taken or not.
    void CountBoardError(const DecodeOutcome& decoded, bool taken);

    // Who sent a frame, as far as the link can tell.
    enum class FrameKind { Board, Alarm, Stranger };
    // The one place that decides what a frame from a link is: the answer
    // awaited (taken), a stray of the board (counted, and decoded for the
    // failure it reports), the board's alarm (neither), or a stranger's
    // (counted apart, never decoded). Every frame of either link passes here,
    // in every wait, between waits and while the account closes. Returns
    // whether a wait took it.
    bool FrameHeard(std::span<const Byte> bytes, const DecodeOutcome* decoded, FrameKind kind);

    // What the link received.
    void StreamReceived(std::span<const Byte> bytes) override;
    void DatagramReceived(std::span<const Byte> bytes, std::int32_t length, bool fromBoard) override;

    TSessionEvents& events_;
    int watchdogMs_ = DefaultWatchdogMs;
    std::string waitLabel_;  // the label of the wait under way, or of the last one
    TNoLink noLink_;
    TBoardLink* link_ = &noLink_;
    TSessionTally tally_;
    std::int64_t currentBlock_ = 0;
    // The answer to the last answered request: awaited (its wait may not
    // have begun yet: the network sends first), taken, or neither (none was
    // sent, or its wait ended without it). Only an awaited answer is taken.
    enum class AnswerState { None, Awaited, Taken };
    AnswerState answer_ = AnswerState::None;
    Byte awaitedResult_ = 0;
    Byte awaitedGroup_ = 0;
    Byte awaitedOperation_ = 0;
    std::string command_;         // the command of the request going out (encoding consumes CallText)
    std::string awaitedRequest_;  // the awaited request's command: "GetBootError", ...
    QElapsedTimer requestSent_;   // when the last answered request went out
    QElapsedTimer boardHeard_;    // when the board's last frame came
    std::int64_t boardFrames_ = 0;  // the board's frames heard, for the settle
};

// The shortest settle time at the end of a run.
inline constexpr int MinSettleMs = 200;

// Raised before anything is sent for a firmware or BIOS image of 0 bytes: the
// board would empty its burn block.
class EEmptyImage : public std::runtime_error {
public:
    explicit EEmptyImage(const std::string& path);
};

// The command a call text calls: "GetBootError" of " GetBootError :",
// "CreateFlashFile" of " CreateFlashFile(logo.bin;10;3)".
std::string CommandOf(const std::string& callText);

// Raises EUnsendableName, naming the file, when a flash file's name cannot
// reach the board whole: it holds a character that ends a name in the request
// grammar (":", "(", ")", ";"), it is longer than the request's 12 bytes, or
// another of the files has the same name (the board would keep one of them).
void CheckSendableNames(std::span<const std::string> paths);

// The last component of a path, as bytes.
std::string FileNameOf(const std::string& path);

