#include "cli/Links.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "cli/BoardUpdate.h"
#include "cli/ErrorText.h"
#include "cli/Interrupt.h"
#include "cli/Reporter.h"
#include "network/IdException.h"
#include "network/IdUDPClient.h"
#include "protocol/RuntimeErrors.h"
#include "serial/CPort.h"
#include "serial/SerialChoices.h"
#include "transfer/SettingsFile.h"
#include "transfer/BoardLock.h"
#include "transfer/PortHints.h"

namespace {

// Takes the choice at `position` when the table has one.
template <typename T, std::size_t Count>
void ChoosePosition(const std::array<T, Count>& choices, Byte position, T& target)
{
    if (position < Count)
        target = choices[position];
}

void ApplySerialRecord(const TSettingsRecord& record, TCliOptions& options)
{
    // Every field is read before anything changes, so a short record changes nothing.
    std::array<Byte, SerialFieldCount> positions{};
    for (std::size_t k = 0; k < SerialFieldCount; ++k)
        positions[k] = record.Field(k);
    options.link = CliLink::Serial;
    ChoosePosition(PortNames, positions[0], options.serial.port);
    ChoosePosition(BaudRates, positions[1], options.serial.baudRate);
    ChoosePosition(DataBitsChoices, positions[2], options.serial.dataBits);
    ChoosePosition(ParityChoices, positions[3], options.serial.parity);
    ChoosePosition(StopBitsChoices, positions[4], options.serial.stopBits);
}

void ApplyNetworkRecord(const TSettingsRecord& record, TCliOptions& options)
{
    TIdIPv4Address address{};
    for (std::size_t k = 0; k < address.size(); ++k)
        address[k] = record.Field(k);
    options.link = CliLink::Udp;
    options.hosts = {TIdStack::AddressToText(address)};
}

// A board that got nothing: the reason is told once, as its error; the
// summary says only that nothing was sent.
TBoardResult NothingSent(TReporter& reporter, std::size_t board, const std::string& name, const std::string& message,
                         BoardOutcome outcome = BoardOutcome::LinkFailed)
{
    TBoardResult result;
    result.board = name;
    result.outcome = outcome;
    result.message = message;
    result.nothingSent = true;
    reporter.Error(board, message);
    return result;
}

// A failed socket in words: the socket layer's own, or the reason of any
// other failure (another updater holding the board).
std::string OpenFailureText(const std::string& host, const std::runtime_error& error)
{
    if (const auto* socketError = dynamic_cast<const EIdException*>(&error))
        return SocketFailureText(host, *socketError);
    return OneLine(error.what());
}

// The driver's error and, where there is one, the advice for it.
std::string PortFailureText(const EComPort& error)
{
    const QString hint = PortHint(error);
    return hint.isEmpty() ? error.what() : std::string(error.what()) + " (" + hint.toStdString() + ")";
}

// The line as chosen, every event; the driver's defaults already leave out
// every kind of handshake, as the window's port does.
void ConfigurePort(TComPort& port, const TSerialLine& line)
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

// Closing a port discards what its line has not sent yet. A transfer whose
// last request gets no answer (SetBurnMode) may still have it in the output
// queue, so the port stays open until the queue has run empty and no further
// write has followed for a while, or the watchdog's interval has passed.
void AwaitDrainedLine(TCliEvents& events, const int& emptied, int watchdogMs)
{
    constexpr int QuietMs = 100;
    const QDeadlineTimer deadline(watchdogMs);
    QDeadlineTimer quiet(QDeadlineTimer::Forever);
    int seen = emptied;
    try {
        while (!deadline.hasExpired() && !quiet.hasExpired()) {
            events.AwaitEvents(QDeadlineTimer(std::min<qint64>(QuietMs, deadline.remainingTime())));
            if (emptied != seen) {
                seen = emptied;
                quiet.setRemainingTime(QuietMs);
            }
        }
    } catch (const ESessionEnded&) {
        // Ctrl-C: the port closes now.
    }
}

// Whether the transfer ran to its end, so that its last requests deserve the
// time to leave the line; one that failed or was stopped closes at once.
bool RanToTheEnd(const TBoardResult& result)
{
    return result.outcome == BoardOutcome::Updated || result.outcome == BoardOutcome::Warnings;
}

// The port's receive events reach the session on this (the main) thread
// while the session waits for its answers.
TBoardResult UpdateOverSerial(const TUpdatePlan& plan, TReporter& reporter)
{
    const TCliOptions& options = plan.options;
    TCliEvents events(reporter, 0, plan.totalBytes, options.keepGoing, plan.trace, plan.boards.front());
    TSession session(events);
    session.WatchdogMs = options.watchdogMs;
    std::optional<TBoardLock> lock;
    try {
        lock.emplace(SerialBoardKey(options.serial.port), options.serial.port);
    } catch (const std::runtime_error& error) {
        return NothingSent(reporter, 0, plan.boards.front(), error.what());
    }
    int emptied = 0;  // how often the output queue has run empty
    TComPort port;    // closed before the session it feeds goes
    try {
        ConfigurePort(port, options.serial);
        port.OnRxChar = [&session](QObject*, int count) { session.ReceiveFromPort(count); };
        port.OnTxEmpty = [&emptied](QObject*) { ++emptied; };
        port.Open();
    } catch (const EComPort& error) {
        return NothingSent(reporter, 0, plan.boards.front(), PortFailureText(error));
    }
    session.Link = {LinkKind::Serial, &port, nullptr};
    TBoardResult result = UpdateBoard(session, events, reporter, 0, plan.boards.front(), options);
    if (session.NoReply != 0 && RanToTheEnd(result))
        AwaitDrainedLine(events, emptied, options.watchdogMs);
    return result;
}

// A board's socket, for a board whose address is known.
class TBoardClient : public TIdUDPClient {
public:
    void Open(const std::string& address)
    {
        Host = address;
        Port = BoardRequestPort;
        Binding();
    }
    std::string Resolve(const std::string& host) { return Stack().ResolveAddress(host); }
};

TBoardResult UpdateOverUdp(const TUpdatePlan& plan, TReporter& reporter, std::size_t board)
{
    const std::string& host = plan.boards[board];
    const TResolvedBoard& resolved = plan.addresses[board];
    if (Interrupted()) {
        TBoardResult result;
        result.board = host;
        result.outcome = BoardOutcome::Interrupted;
        result.message = "not started";
        return result;
    }
    TCliEvents events(reporter, board, plan.totalBytes, plan.options.keepGoing, plan.trace, host);
    TSession session(events);
    session.WatchdogMs = plan.options.watchdogMs;
    if (resolved.address.empty())
        return NothingSent(reporter, board, host, resolved.error);
    TBoardClient client;
    std::optional<TBoardLock> lock;
    try {
        lock.emplace(NetworkBoardKey(resolved.address), host);
        client.Open(resolved.address);
    } catch (const std::runtime_error& error) {
        return NothingSent(reporter, board, host, OpenFailureText(host, error));
    }
    session.Link = {LinkKind::Network, nullptr, &client};
    return UpdateBoard(session, events, reporter, board, host, plan.options);
}

// What a try that failed or was stopped after sending leaves to another; a
// link that could not be used, an interrupted run or a sound update leave
// nothing.
bool WorthAnotherTry(const TBoardResult& result)
{
    return (result.outcome == BoardOutcome::Failed || result.outcome == BoardOutcome::Stopped) &&
           !result.nothingSent && !Interrupted();
}

// Runs `once` for the board until a try is worth no other or --retries more
// tries have been made; each try is reported and told to the plan.
template <typename Once>
TBoardResult WithRetries(const TUpdatePlan& plan, TReporter& reporter, std::size_t board, const Once& once)
{
    TBoardResult result;
    for (int attempt = 1;; ++attempt) {
        result = once();
        result.attempt = attempt;
        reporter.Done(board, result);
        if (plan.tried)
            plan.tried(result);
        if (attempt > plan.options.retries || !WorthAnotherTry(result))
            return result;
    }
}

// Each board has its own session and socket on a thread of its own, at most
// --jobs of them at a time; one board's failure never touches the others.
std::vector<TBoardResult> UpdateEveryUdpBoard(const TUpdatePlan& plan, TReporter& reporter)
{
    const std::size_t count = plan.boards.size();
    std::vector<TBoardResult> results(count);
    std::atomic<std::size_t> next{0};
    const auto worker = [&] {
        for (std::size_t k = next++; k < count; k = next++)
            results[k] = WithRetries(plan, reporter, k, [&] { return UpdateOverUdp(plan, reporter, k); });
    };
    const std::size_t jobs = plan.options.jobs > 0 ? std::min<std::size_t>(plan.options.jobs, count) : count;
    std::vector<std::jthread> threads;
    for (std::size_t k = 0; k < jobs; ++k)
        threads.emplace_back(worker);
    threads.clear();  // joins them
    return results;
}

// The USB link has no transport: a transfer over it would send nothing, so
// none is run and the board is not updated.
TBoardResult UpdateOverUsb(const TUpdatePlan& plan, TReporter& reporter)
{
    return WithRetries(plan, reporter, 0, [&] {
        return NothingSent(reporter, 0, plan.boards.front(), UsbHasNoTransport, BoardOutcome::Failed);
    });
}

} // namespace

bool ApplySavedLink(TCliOptions& options, std::string& error)
{
    try {
        const std::optional<TSettingsRecord> record = ReadSettingsFile();
        if (!record) {
            error = "no link given and no " + SettingsFileName +
                    " in the working folder: use --serial, --udp, --udp-search or --usb";
        } else if (record->IsSerial()) {
            ApplySerialRecord(*record, options);
        } else if (record->IsNetwork()) {
            ApplyNetworkRecord(*record, options);
        } else {
            error = "no link given, and " + SettingsFileName + " holds no link (its first byte is " +
                    std::to_string(record->Kind()) + ")";
        }
    } catch (const EInOutError& failure) {
        error = SettingsFileName + ": " + failure.what();
    }
    return error.empty();
}

bool ResolveBoards(TUpdatePlan& plan, std::string& error)
{
    if (plan.options.link != CliLink::Udp && plan.options.link != CliLink::UdpSearch)
        return true;
    TBoardClient resolver;
    plan.addresses.clear();
    for (const std::string& host : plan.boards) {
        TResolvedBoard resolved;
        try {
            resolved.address = resolver.Resolve(host);
        } catch (const EIdException& failure) {
            resolved.error = SocketFailureText(host, failure);
        }
        plan.addresses.push_back(resolved);
    }
    std::map<std::string, std::size_t> named;  // address -> the first board named so
    for (std::size_t k = 0; k < plan.boards.size(); ++k) {
        const std::string& address = plan.addresses[k].address;
        if (address.empty())
            continue;
        const auto [first, fresh] = named.emplace(address, k);
        if (!fresh) {
            error = "the board at " + address + " is named twice (" + plan.boards[first->second] + " and " +
                    plan.boards[k] + ")";
            return false;
        }
    }
    return true;
}

std::vector<TBoardResult> UpdateBoards(const TUpdatePlan& plan, TReporter& reporter)
{
    switch (plan.options.link) {
    case CliLink::Serial:
        return {WithRetries(plan, reporter, 0, [&] { return UpdateOverSerial(plan, reporter); })};
    case CliLink::Udp:
    case CliLink::UdpSearch:
        return UpdateEveryUdpBoard(plan, reporter);
    case CliLink::Usb:
    case CliLink::Saved:
        break;
    }
    return {UpdateOverUsb(plan, reporter)};
}
