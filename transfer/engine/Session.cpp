#include "transfer/engine/Session.h"

#include <algorithm>
#include <array>
#include <set>
#include <string_view>

#include "transfer/engine/FileOfBytes.h"

namespace {

// The label of every wait on a link that reads each answer as it comes.
const std::string NetWaitLabel = "Net";
// How many board-reported failures a tally keeps in detail.
constexpr std::size_t KeptBoardErrors = 16;

constexpr auto EraseSettleTime = std::chrono::milliseconds(1000);
constexpr auto BurnStartTime = std::chrono::milliseconds(1000);
constexpr auto WriteSettleTime = std::chrono::milliseconds(500);
constexpr int FlashFileType = 3;
constexpr double NanosecondsPerMs = 1e6;

std::string SetBurnBlockCall(std::int32_t block)
{
    return " SetBurnBlock(" + std::to_string(block) + ")";
}

std::string Unsigned(std::int32_t handle)
{
    return std::to_string(static_cast<std::uint32_t>(handle));
}

// The characters that end a name in the request grammar: a name with one of
// them would turn its CreateFlashFile call into another text.
constexpr std::string_view NameBreakers = ":();";

using OpenFiles = std::vector<std::unique_ptr<TFileOfBytes>>;

[[noreturn]] void RaiseUnsendable(const std::string& path, const std::string& why)
{
    throw EUnsendableName("The flash file '" + path + "' cannot be written to the board: " + why +
                          ". Rename the file and choose it again.");
}

// Every file is opened before anything is sent, so that a file that cannot
// be read announces nothing to the board.
OpenFiles OpenAll(std::span<const std::string> paths)
{
    OpenFiles files;
    CheckSendableNames(paths);
    for (const std::string& path : paths)
        files.push_back(std::make_unique<TFileOfBytes>(path));
    return files;
}

// The answers to the requests a transfer sends, by their operation code, and
// the request each answers: the only answers whose result code and boot
// error are the board's word on the transfer.
struct TTransferAnswer {
    Byte operation;
    const char* request;
};
constexpr std::array<TTransferAnswer, 5> TransferAnswers = {{
    {0x01, "GetBootError"},
    {0x1B, "CreateDataFile"},
    {0x7B, "CreateFlashFile"},
    {0x22, "GetNumberofDataFiles"},
    {0x78, "GetFlashInfo"},
}};

// The request a decoded answer answers, or none for an answer no transfer
// asks for.
const char* RequestAnswered(const DecodeOutcome& decoded)
{
    if (decoded.answer == nullptr || decoded.discarded || !decoded.answer->decodedOnNetwork)
        return nullptr;
    const auto match = std::find_if(TransferAnswers.begin(), TransferAnswers.end(),
                                     [&](const TTransferAnswer& each) { return each.operation == decoded.operation; });
    return match == TransferAnswers.end() ? nullptr : match->request;
}

constexpr int SettleAnswerFactor = 4;

const std::string BootErrorQuery = " GetBootError :";
const std::string BootErrorWait = "GetBootError";

} // namespace

EEmptyImage::EEmptyImage(const std::string& path)
    : std::runtime_error("The image '" + path + "' is empty (0 bytes): the board would lose its image")
{
}

std::string FileNameOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string CommandOf(const std::string& callText)
{
    const auto start = callText.find_first_not_of(' ');
    if (start == std::string::npos)
        return {};
    const auto end = callText.find_first_of(" :(", start);
    return callText.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void CheckSendableNames(std::span<const std::string> paths)
{
    std::set<std::string> names;
    for (const std::string& path : paths) {
        const std::string name = FileNameOf(path);
        const auto at = name.find_first_of(NameBreakers);
        if (at != std::string::npos)
            RaiseUnsendable(path, std::string("its name contains '") + name[at] + "'");
        // The request carries the name in a field of its own size; the board
        // would keep a longer name cut, and two such names as one file.
        if (name.size() > static_cast<std::size_t>(NameFieldSize))
            RaiseUnsendable(path, "its name is longer than " + std::to_string(NameFieldSize) + " bytes");
        if (!names.insert(name).second)
            RaiseUnsendable(path, "another chosen file has the same name");
    }
}

TSession::TSession(TSessionEvents& events) : events_(events)
{
}

void TSession::UseLink(TBoardLink& link)
{
    link_ = &link;
    HearFrom(link);
}

void TSession::Execute_Command(const std::string& callText)
{
    command_ = CommandOf(callText);
    CallText = callText;
    const CommandMatch match = MatchCommand(CallText);
    NoReply = match.noReply;
    if (match.found)
        Trans(match.fieldList);
}

void TSession::Trans(const std::string& fieldList)
{
    // The DB parameter type appends a data block that no command uses.
    TxLength = EncodeRequest(fieldList, CallText, TxFrame, {});
    Send_PVR("NEW");
}

void TSession::Send_PVR(const std::string& /*label*/)
{
    Transmit();
    if (link_->ReadsEachAnswer() && NoReply == 0)
        Net_Read_Neg();
}

void TSession::Transmit()
{
    Transmit(std::span(TxFrame.data(), static_cast<std::size_t>(TxLength - 1)));
}

void TSession::Transmit(std::span<const Byte> frame)
{
    if (NoReply == 0 && frame.size() > static_cast<std::size_t>(OffsetOperation)) {
        // What the link holds before an answered request goes out was sent
        // before the board saw the request: a late or repeated answer to an
        // earlier one, or a forgery. It is decoded for its effects and
        // counted as stray now, so that it cannot end the coming wait.
        TakeStrays();
        answer_ = AnswerState::Awaited;
        requestSent_.start();
        awaitedResult_ = 0;
        awaitedGroup_ = frame[OffsetGroup];
        awaitedOperation_ = frame[OffsetOperation];
        awaitedRequest_ = command_;
    }
    tally_.lastRequestUnanswered = NoReply != 0;
    events_.Frame(FrameDirection::Sent, frame, false);
    // The writes are bounded by the watchdog's interval (BoundWrites): a line
    // that takes no byte within it cancels the transfer, with one report.
    if (!link_->Send(frame)) {
        events_.ShortWrite();
        throw ETransferStopped(ETransferStopped::Reason::WriteCancelled, "RS232 Error Operation Cancelled");
    }
    ++tally_.framesSent;
}

void TSession::TakeStrays()
{
    // Whatever the link hands now answers no open wait.
    if (answer_ == AnswerState::Awaited)
        answer_ = AnswerState::None;
    link_->TakePending();
}

void TSession::BoundWrites()
{
    link_->BoundWrites(watchdogMs_);
}

void TSession::WaitAck(const std::string& label)
{
    AwaitAnswer(label);
    AnswerReceived = 0;
}

void TSession::Net_Read_Neg()
{
    AwaitAnswer(NetWaitLabel);
}

void TSession::AwaitAnswer(const std::string& label)
{
    waitLabel_ = label;
    const QDeadlineTimer deadline(watchdogMs_, Qt::PreciseTimer);
    if (link_->Await([this] { return answer_ != AnswerState::Awaited; }, deadline))
        return;
    // The board did not answer within the watchdog's interval: reported, and
    // the transfer goes on; a late answer is a stray.
    answer_ = AnswerState::None;
    Watchdog();
}

void TSession::Watchdog()
{
    const TMissingAnswer missing{awaitedRequest_, currentBlock_, watchdogMs_, waitLabel_};
    if (!tally_.firstMissing)
        tally_.firstMissing = missing;
    ++tally_.missingAnswers;
    ++tally_.missingInARow;
    events_.MissingAnswer(missing);
    if (tally_.missingInARow % MissingAnswersBeforeAsking == 0 && events_.StopAfterSilence(tally_.missingInARow))
        throw ETransferStopped(ETransferStopped::Reason::Silence,
                               "stopped after " + std::to_string(tally_.missingInARow) + " missing answers in a row");
}

// A read of the serial line: the receiver completes the frames (the alarm
// it keeps to itself, beeping), each then heard as the network's datagrams are.
void TSession::StreamReceived(std::span<const Byte> bytes)
{
    const DecodeOutcome outcome =
        ReceiveChunk(bytes, [this](const DecodeOutcome& each) { FrameHeard(each.frame, &each, FrameKind::Board); });
    events_.Answer(outcome);
}

bool TSession::FrameHeard(std::span<const Byte> bytes, const DecodeOutcome* decoded, FrameKind kind)
{
    if (kind == FrameKind::Stranger) {
        ++tally_.strangerFrames;
        return false;
    }
    ++boardFrames_;
    boardHeard_.start();
    if (kind == FrameKind::Alarm) {
        events_.Frame(FrameDirection::Received, bytes, false);
        return true;
    }
    // Without sequence numbers a copy of an answer is the answer's twin: the
    // first that comes while a wait is open is taken, every other frame is a
    // stray, and a failure is counted whichever frame carries it.
    const bool taken = decoded != nullptr && TakeAnswer(*decoded);
    if (!taken)
        ++tally_.strayAnswers;
    if (decoded != nullptr)
        CountBoardError(*decoded, taken);
    events_.Frame(FrameDirection::Received, bytes, !taken);
    return taken;
}

bool TSession::IsAwaitedAnswer(const DecodeOutcome& outcome) const
{
    return outcome.operation == awaitedOperation_ &&
           (outcome.answer->group == AnyGroup || outcome.group == awaitedGroup_);
}

bool TSession::TakeAnswer(const DecodeOutcome& decoded)
{
    if (answer_ != AnswerState::Awaited || decoded.answer == nullptr || !decoded.answer->raisesAnswer ||
        !IsAwaitedAnswer(decoded))
        return false;
    answer_ = AnswerState::Taken;
    awaitedResult_ = decoded.result;
    tally_.lastBootError = decoded.bootError;
    tally_.missingInARow = 0;
    tally_.slowestAnswerMs =
        std::max(tally_.slowestAnswerMs, static_cast<double>(requestSent_.nsecsElapsed()) / NanosecondsPerMs);
    return true;
}

void TSession::CountBoardError(const DecodeOutcome& decoded, bool taken)
{
    const char* request = RequestAnswered(decoded);
    if (request == nullptr || (decoded.result == 0 && decoded.bootError == 0))
        return;
    ++tally_.boardErrorCount;
    if (tally_.boardErrors.size() >= KeptBoardErrors)
        return;
    // A wait labelled by its link alone is named by the request answered.
    const std::string answered = taken ? awaitedRequest_ : request;
    const std::string label = waitLabel_ == NetWaitLabel || waitLabel_.empty() ? answered : waitLabel_;
    tally_.boardErrors.push_back({label, currentBlock_, decoded.result, decoded.bootError, answered});
}

// One datagram: a stranger's when another host sent it; the board's is a
// stray when it is empty, longer than any answer (its end is lost), or
// neither the answer awaited nor the alarm. Only the answer to the awaited
// request ends a wait; any other keeps its effect (handles, texts) but
// leaves the wait running, so that a stray or late answer never lets the
// next block go out early.
void TSession::DatagramReceived(std::span<const Byte> bytes, std::int32_t length, bool fromBoard)
{
    if (!fromBoard) {
        FrameHeard(bytes, nullptr, FrameKind::Stranger);
        return;
    }
    if (length <= 0 || length > NetAnswerSize) {
        FrameHeard(bytes, nullptr, FrameKind::Board);
        return;
    }
    std::copy(bytes.begin(), bytes.end(), RxBlock.begin());
    RxCount = length;
    const DecodeOutcome outcome = Translation();
    const bool alarm = outcome.beeps > 0 && outcome.answer == nullptr;
    FrameHeard(bytes, &outcome, alarm ? FrameKind::Alarm : FrameKind::Board);
}

DecodeOutcome TSession::Translation()
{
    std::copy_n(RxBlock.begin(), RxCount, RxBuffer.begin());
    RxStart = 1;
    return Message_Answer_Decoding();
}

DecodeOutcome TSession::Message_Answer_Decoding()
{
    const DecodeOutcome outcome = DecodeNetworkAnswer();
    events_.Answer(outcome);
    return outcome;
}

void TSession::StartTally()
{
    tally_ = {};
    currentBlock_ = 0;
    answer_ = AnswerState::None;
    waitLabel_.clear();
}

int TSession::SettleMs() const
{
    const double settle = std::max<double>(MinSettleMs, SettleAnswerFactor * tally_.slowestAnswerMs);
    return static_cast<int>(std::min<double>(settle, watchdogMs_));
}

void TSession::CloseAccount()
{
    if (!link_->Carries())
        return;
    try {
        if (tally_.lastRequestUnanswered)
            link_->Finish(watchdogMs_);
        ListenUntilQuiet();
    } catch (const ETransferStopped&) {
        // The operator or a signal: the run ends now, its account open.
        tally_.accountOpen = true;
    }
}

void TSession::ListenUntilQuiet()
{
    const int settle = SettleMs();
    // A board that never falls quiet is heard at most this long.
    const QDeadlineTimer bound(std::max(settle, watchdogMs_), Qt::PreciseTimer);
    const qint64 quietSoFar = boardHeard_.isValid() ? boardHeard_.elapsed() : 0;
    QDeadlineTimer quiet(std::max<qint64>(settle - quietSoFar, 0), Qt::PreciseTimer);
    for (;;) {
        const std::int64_t heard = boardFrames_;
        // Another host's datagrams neither end the quiet nor prolong it.
        link_->Await([&] { return boardFrames_ != heard; }, std::min(quiet, bound));
        if (boardFrames_ == heard || bound.hasExpired())
            return;
        quiet.setRemainingTime(settle, Qt::PreciseTimer);
    }
}

void TSession::QueryBootError()
{
    StartTally();
    BoundWrites();
    RequestAndWait(BootErrorQuery, BootErrorWait);
    CloseAccount();
}

void TSession::RequestAndWait(const std::string& callText, const std::string& label)
{
    Execute_Command(callText);
    if (link_->Carries() && !link_->ReadsEachAnswer())
        WaitAck(label);
}

void TSession::RunImage(const std::string& path, std::int32_t burnBlock)
{
    StartTally();
    TFileOfBytes image(path);
    if (image.Size() == 0)
        throw EEmptyImage(path);
    BoundWrites();
    Execute_Command(SetBurnBlockCall(burnBlock));
    CopyBootFile(image);
}

void TSession::CopyBootFile(TFileOfBytes& image)
{
    BoundWrites();
    events_.FileStarted(image.Path(), image.Size());
    StreamFile(image, {ImageBlockSize, GroupBoot, OperationImageBlock, nullptr, " GetBootError :", "GetBootError"});
    TakeStrays();
    events_.Phase(BoardPhase::None);
    events_.Status("Finish Update");
}

void TSession::StreamFile(TFileOfBytes& file, const BlockStream& stream)
{
    tally_.sentFiles.push_back({file.Path(), file.Size(), {}});
    StreamBlocks(file, stream);
    // A file that grew or was rewritten behind the last read is not what the
    // board got.
    file.CheckUnchanged();
    tally_.sentFiles.back().sha256 = file.Sha256();
}

void TSession::StreamBlocks(TFileOfBytes& file, const BlockStream& stream)
{
    // size div block + 1 blocks: a file that fills its last block exactly
    // still ends with an empty block, which the board expects.
    const std::int64_t count = file.Size() / stream.blockSize + 1;
    const TRequestFrame query = EncodeCall(stream.query);
    command_ = CommandOf(stream.query);
    // Each block is read straight into its place in the frame.
    const std::span<Byte> data = std::span<Byte>(TxFrame).subspan(BlockDataOffset(stream.handle != nullptr),
                                                                  static_cast<std::size_t>(stream.blockSize));
    std::int64_t done = 0;
    std::int64_t k = 1;
    // The query follows its block at once; the block is hashed, in the frame
    // the query leaves alone, and the progress shown while the board works on
    // them. One block ahead, as the board's operators know it: the gauge is
    // full when the last block goes out. Made once, so that a block
    // allocates nothing; the status text is one for all sessions, so that
    // a thousand boards at once do not read a thousand copies.
    static const std::string updating = "Updating Please Wait !";
    const std::function<void()> meanwhile = [&] {
        file.HashRead();
        events_.BlockSent((k + 1) * stream.blockSize, done, file.Size());
        events_.Status(updating);
    };
    for (; k <= count; ++k) {
        const std::size_t n = file.Read(data.data(), data.size());
        std::optional<std::uint32_t> handle;
        if (stream.handle != nullptr)
            handle = static_cast<std::uint32_t>(*stream.handle);
        TxLength = EncodeBlockWrite(TxFrame, stream.group, stream.operation, handle, data.first(n));
        NoReply = 1;
        Send_PVR("Main");
        currentBlock_ = k;
        done += static_cast<std::int64_t>(n);
        tally_.bytesSent += static_cast<std::int64_t>(n);
        ++tally_.blocksSent;
        SendAndWait(query, stream.label, meanwhile);
    }
}

TRequestFrame TSession::EncodeCall(const std::string& callText) const
{
    TRequestFrame request;
    request.CallText = callText;
    const CommandMatch match = MatchCommand(request.CallText);
    request.NoReply = match.noReply;
    request.TxLength = EncodeRequest(match.fieldList, request.CallText, request.TxFrame, {});
    return request;
}

void TSession::SendAndWait(const TRequestFrame& request, const std::string& label,
                           const std::function<void()>& meanwhile)
{
    NoReply = request.NoReply;
    CallText = request.CallText;
    // The frame's own bytes only: the rest of the buffer is never sent.
    const auto length = static_cast<std::size_t>(std::max(request.TxLength - 1, 0));
    const std::span<const Byte> frame(request.TxFrame.data(), length);
    // Sent from the request itself: the session's frame still holds what went
    // before it (a block, read in place), which `meanwhile` may look at.
    Transmit(frame);
    meanwhile();
    std::copy(frame.begin(), frame.end(), TxFrame.begin());
    TxLength = request.TxLength;
    // Without a transport nothing is awaited, but the front end still gets
    // its turn once a block, and a cancel ends the transfer there.
    if (!link_->Carries()) {
        link_->Await([] { return true; }, QDeadlineTimer());
        return;
    }
    if (!link_->ReadsEachAnswer())
        WaitAck(label);
    else if (NoReply == 0)
        Net_Read_Neg();
}

bool TSession::FileCreated(const std::string& path)
{
    // Without a transport nothing answers, and nothing is written either.
    if (!link_->Carries())
        return true;
    const bool answered = answer_ == AnswerState::Taken;
    if (answered && awaitedResult_ == 0)
        return true;
    const std::string reason = answered
                                   ? "the board refused to create it (result " + std::to_string(awaitedResult_) + ")"
                                   : "the board did not answer its creation";
    tally_.filesNotWritten.push_back(path);
    tally_.notWrittenReasons.push_back(reason);
    // The refusal was counted as it came; it is told by the file it refused.
    if (answered && !tally_.boardErrors.empty() && tally_.boardErrors.back().file.empty())
        tally_.boardErrors.back().file = path;
    events_.FileNotWritten(path, reason);
    return false;
}

void TSession::CopyFlashFile(std::span<const std::string> paths)
{
    StartTally();
    OpenFiles files = OpenAll(paths);
    BoundWrites();
    events_.Phase(BoardPhase::Erasing);
    events_.Status("Erasing Flash Please Wait !");
    Execute_Command(" EraseFlash : ");
    link_->Settle(EraseSettleTime);
    RequestAndWait(" GetFlashInfo :", "GetFlashInfo :");
    for (const auto& file : files) {
        const std::string& path = file->Path();
        const std::int64_t size = file->Size();
        events_.FileStarted(path, size);
        RequestAndWait(" CreateFlashFile(" + FileNameOf(path) + ";" + std::to_string(size) + ";" +
                           std::to_string(FlashFileType) + ")",
                       "Create Flash File");
        // No block goes out under a handle the board did not give for this file.
        if (!FileCreated(path))
            continue;
        StreamFile(*file, {FileBlockSize, GroupBoot, OperationFlashFileBlock, &FlashFileHandle,
                             " GetNumberofDataFiles :", "GetNumberofDataFiles :"});
        Execute_Command(" CloseFlashFile(" + Unsigned(FlashFileHandle) + ")");
    }
    TakeStrays();
    events_.Phase(BoardPhase::None);
    events_.Status("Finish Write");
    link_->Settle(WriteSettleTime);
}

void TSession::CopyDataFile(const std::string& path)
{
    StartTally();
    TFileOfBytes file(path);
    BoundWrites();
    RequestAndWait(" CreateDataFile(Flash.dat)", "Create Data File");
    // Without the board's file there is nothing to write or to burn.
    if (!FileCreated(path))
        return;
    events_.FileStarted(path, file.Size());
    StreamFile(file, {FileBlockSize, GroupDataFile, OperationDataFileBlock, &DataFileHandle,
                        " GetNumberofDataFiles :", "GetNumberofDataFiles :"});
    Execute_Command(" CloseDataFile(" + Unsigned(DataFileHandle) + ")");
    events_.Status("Finish Phase 1");
    link_->Settle(BurnStartTime);
    Execute_Command(" SetBurnMode(0B)");
    TakeStrays();
    events_.Phase(BoardPhase::Burning);
    events_.Status("Please Wait for Burning to Finish");
}
