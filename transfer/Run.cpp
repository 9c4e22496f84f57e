#include "transfer/Run.h"

#include <QElapsedTimer>

#include "network/IdException.h"
#include "network/IdStack.h"
#include "network/IdUDPClient.h"
#include "serial/SerialChoices.h"
#include "transfer/SettingsFile.h"
#include "transfer/ErrorText.h"
#include "transfer/Outcome.h"
#include "transfer/PortHints.h"

namespace {

constexpr double MillisecondsPerSecond = 1000.0;

// Takes the choice at `position` when the table has one.
template <typename T, std::size_t Count>
void ChoosePosition(const std::array<T, Count>& choices, Byte position, T& target)
{
    if (position < Count)
        target = choices[position];
}

TLinkSettings SerialSettingsOf(const TSettingsRecord& record)
{
    // Every field is read before anything changes, so a short record changes nothing.
    std::array<Byte, SerialFieldCount> positions{};
    for (std::size_t k = 0; k < SerialFieldCount; ++k)
        positions[k] = record.Field(k);
    TLinkSettings settings;
    settings.kind = LinkKind::Serial;
    ChoosePosition(PortNames, positions[0], settings.serial.port);
    ChoosePosition(BaudRates, positions[1], settings.serial.baudRate);
    ChoosePosition(DataBitsChoices, positions[2], settings.serial.dataBits);
    ChoosePosition(ParityChoices, positions[3], settings.serial.parity);
    ChoosePosition(StopBitsChoices, positions[4], settings.serial.stopBits);
    return settings;
}

TLinkSettings NetworkSettingsOf(const TSettingsRecord& record)
{
    TIdIPv4Address address{};
    for (std::size_t k = 0; k < address.size(); ++k)
        address[k] = record.Field(k);
    TLinkSettings settings;
    settings.kind = LinkKind::Network;
    settings.host = TIdStack::AddressToText(address);
    return settings;
}

// The line as chosen, every event; the driver's defaults already leave out
// every kind of handshake.
void ConfigurePort(TCustomComPort& port, const TSerialLine& line)
{
    port.SetPort(line.port);
    port.SetBaudRate(line.baudRate);
    if (line.baudRate == brCustom)
        port.SetCustomBaudRate(line.customBaudRate);
    port.SetDataBits(line.dataBits);
    port.Parity().SetBits(line.parity);
    port.SetStopBits(line.stopBits);
    port.SetEvents(TComEvents::All());
}

// Opens the port, or raises ELinkNotOpened with the driver's error and the
// advice for it.
void OpenPort(TCustomComPort& port)
{
    try {
        port.Open();
    } catch (const EComPort& error) {
        const QString hint = PortHint(error);
        throw ELinkNotOpened(hint.isEmpty() ? std::string(error.what())
                                            : std::string(error.what()) + " (" + hint.toStdString() + ")");
    }
}

// The serial line over a port of its own.
class TOpenSerialLink : public TOpenLink {
public:
    explicit TOpenSerialLink(const TSerialLine& line) : link_(port_)
    {
        ConfigurePort(port_, line);
        OpenPort(port_);
    }
    TBoardLink& Link() override { return link_; }

private:
    TComPort port_;  // closed after the link that reads it has gone
    TSerialLink link_;
};

class TOpenUdpLink : public TOpenLink {
public:
    TOpenUdpLink(const std::string& host, const std::string& address) : link_(client_)
    {
        client_.Host = address;
        client_.Port = BoardRequestPort;
        try {
            client_.Binding();
        } catch (const EIdException& error) {
            throw ELinkNotOpened(SocketFailureText(host, error));
        }
    }
    TBoardLink& Link() override { return link_; }

private:
    TIdUDPClient client_;
    TUdpLink link_;
};

class TOpenNoLink : public TOpenLink {
public:
    TBoardLink& Link() override { return link_; }

private:
    TNoLink link_;
};

void RunRequest(TSession& session, const TUpdateRequest& request)
{
    switch (request.kind) {
    case HistoryKind::Firmware:
        session.RunImage(request.files.front(), FirmwareBurnBlock);
        break;
    case HistoryKind::Bios:
        session.RunImage(request.files.front(), BiosBurnBlock);
        break;
    case HistoryKind::Flash:
        session.CopyFlashFile(request.files);
        break;
    case HistoryKind::Data:
        session.CopyDataFile(request.files.front());
        break;
    }
}

BoardOutcome OutcomeOfStop(const ETransferStopped& stopped)
{
    return stopped.WhyStopped() == ETransferStopped::Reason::Operator ? BoardOutcome::Interrupted
                                                                      : BoardOutcome::Stopped;
}

std::string StopText(const ETransferStopped& stopped, bool serial)
{
    return stopped.WhyStopped() == ETransferStopped::Reason::Silence ? SilentBoardText(stopped.what(), serial)
                                                                     : stopped.what();
}

BoardOutcome BoardOutcomeOf(Ending ending)
{
    switch (ending) {
    case Ending::Updated:
        return BoardOutcome::Updated;
    case Ending::Unconfirmed:
        return BoardOutcome::Unconfirmed;
    default:
        return BoardOutcome::Failed;
    }
}

// A transfer that ran to its end: its ending and why. Without a transport
// nothing went out, whatever the run did.
void TakeEnding(const TSession& session, TBoardResult& result)
{
    if (!session.Link().Carries()) {
        result.outcome = BoardOutcome::Failed;
        result.message = UsbHasNoTransport;
        result.nothingSent = true;
        return;
    }
    result.outcome = BoardOutcomeOf(OutcomeOf(session.Tally()));
    result.message = EndingReason(session.Tally(), !session.Link().ReadsEachAnswer());
}

void TakeTally(const TSessionTally& tally, TBoardResult& result)
{
    result.missingAnswers = tally.missingAnswers;
    result.boardErrors = tally.boardErrorCount;
    result.strayAnswers = tally.strayAnswers;
    if (!tally.boardErrors.empty())
        result.firstBoardError = tally.boardErrors.front();
    // What went nowhere is not recorded as the board's.
    if (result.nothingSent)
        return;
    result.bytes = tally.bytesSent;
    result.sentFiles = tally.sentFiles;
}

} // namespace

TSerialLine DefaultSerialLine()
{
    return {PortNames[DefaultPositions[0]], BaudRates[DefaultPositions[1]], DataBitsChoices[DefaultPositions[2]],
            ParityChoices[DefaultPositions[3]], StopBitsChoices[DefaultPositions[4]]};
}

std::optional<TLinkSettings> LinkSettingsOf(const TSettingsRecord& record)
{
    if (record.IsSerial())
        return SerialSettingsOf(record);
    if (record.IsNetwork())
        return NetworkSettingsOf(record);
    return std::nullopt;
}

std::unique_ptr<TOpenLink> OpenLink(const TLinkSettings& settings, const std::string& address)
{
    switch (settings.kind) {
    case LinkKind::Serial:
        return std::make_unique<TOpenSerialLink>(settings.serial);
    case LinkKind::Network:
        return std::make_unique<TOpenUdpLink>(settings.host, address);
    case LinkKind::Usb:
        break;
    }
    return std::make_unique<TOpenNoLink>();
}

TBoardIdentity IdentifyBoard(const TLinkSettings& settings)
{
    switch (settings.kind) {
    case LinkKind::Serial:
        return SerialBoardIdentity(settings.serial.port);
    case LinkKind::Network:
        return NetworkBoardIdentity(settings.host);
    case LinkKind::Usb:
        break;
    }
    return UsbBoardIdentity();
}

std::optional<TBoardLock> LockBoard(const TLinkSettings& settings, const TBoardIdentity& board)
{
    if (settings.kind == LinkKind::Usb)
        return std::nullopt;
    return std::optional<TBoardLock>(std::in_place, board.key, board.name);
}

HistoryLink HistoryLinkOf(LinkKind kind)
{
    if (kind == LinkKind::Serial)
        return HistoryLink::Serial;
    return kind == LinkKind::Usb ? HistoryLink::Usb : HistoryLink::Udp;
}

QString THistoryWriter::Record(const TLinkSettings& settings, const TUpdateRequest& request,
                               const TBoardResult& result)
{
    TUpdateSummary summary;
    summary.link = HistoryLinkOf(settings.kind);
    summary.board = QString::fromStdString(result.board);
    summary.kind = request.kind;
    summary.outcome = EndingOfOutcome(result.outcome);
    summary.missingAnswers = result.missingAnswers;
    summary.boardErrors = result.boardErrors;
    summary.seconds = result.seconds;
    summary.reason = QString::fromStdString(OneLine(result.message));
    if (const std::optional<TBoardError>& first = result.firstBoardError)
        summary.firstBoardError = HistoryBoardError{QString::fromStdString(first->label), first->block,
                                                    int{first->result}, int{first->bootError}};
    const QString error = RecordInHistory(summary, request.files, result.sentFiles, path_);
    if (error.isEmpty() || failureTold_.exchange(true))
        return {};
    return error;
}

TBoardResult RunUpdate(TSession& session, const TUpdateRequest& request, const std::string& board)
{
    TBoardResult result;
    result.board = board;
    QElapsedTimer clock;
    clock.start();
    session.StartTally();
    try {
        RunRequest(session, request);
        TakeEnding(session, result);
    } catch (const ETransferStopped& stopped) {
        result.outcome = OutcomeOfStop(stopped);
        result.message = StopText(stopped, !session.Link().ReadsEachAnswer());
    } catch (const ELinkNotOpened& error) {
        // A front end found the link unusable before anything went out.
        result.outcome = BoardOutcome::LinkFailed;
        result.message = error.what();
        result.nothingSent = true;
    } catch (const EIdException& error) {
        result.message = SocketFailureText(board, error);
        // A socket that could not send the first frame (no route) is a link
        // that could not be used, told once; a later failure broke the transfer.
        result.outcome = session.Tally().framesSent == 0 ? BoardOutcome::LinkFailed : BoardOutcome::Failed;
        result.nothingSent = session.Tally().framesSent == 0;
        result.failure = std::current_exception();
    } catch (const std::exception& error) {
        result.outcome = BoardOutcome::Failed;
        result.message = OneLine(error.what());
        result.failure = std::current_exception();
    }
    result.seconds = static_cast<double>(clock.elapsed()) / MillisecondsPerSecond;
    TakeTally(session.Tally(), result);
    return result;
}
