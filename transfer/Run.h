// One update, as both front ends run it: which board over what (link
// settings, opened in one place with the same hints for both), what to send
// (an update request), one run that sends it over a link, times it and maps
// every error and stop to one outcome, and the history writer that records it.
#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serial/CPort.h"
#include "transfer/BoardIdentity.h"
#include "transfer/BoardLock.h"
#include "transfer/BoardResult.h"
#include "transfer/History.h"
#include "transfer/Link.h"
#include "transfer/Session.h"

class TSettingsRecord;

enum class LinkKind { Serial, Usb, Network };

// The serial line as the driver takes it.
struct TSerialLine {
    std::string port;
    TBaudRate baudRate;
    TDataBits dataBits;
    TParityBits parity;
    TStopBits stopBits;
    std::int32_t customBaudRate = 0;  // the rate when baudRate is brCustom
};

// The serial line of the window's defaults: COM1 at 115200 baud, 8N1.
TSerialLine DefaultSerialLine();

// Which board, over what.
struct TLinkSettings {
    LinkKind kind = LinkKind::Usb;
    TSerialLine serial = DefaultSerialLine();
    std::string host;  // the board's name or dotted address (Network)
};

// The link a settings record of ZEVEVI.CFG names, as the windows restore it:
// a serial record's positions choose the port and its line (a position
// without a choice keeps the default), a network record's address the board.
// Nothing for a record of another kind; the record's read error for one that
// ends early, before anything is taken.
std::optional<TLinkSettings> LinkSettingsOf(const TSettingsRecord& record);

// A link that could not be opened; nothing was sent.
class ELinkNotOpened : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A link together with what it runs on, opened from link settings.
class TOpenLink {
public:
    virtual ~TOpenLink() = default;
    virtual TBoardLink& Link() = 0;
};

// Opens the link the settings name to the board at `address` (Network: the
// host resolved; ignored otherwise). Raises ELinkNotOpened, with the words an
// operator needs, when the port or socket cannot be opened.
std::unique_ptr<TOpenLink> OpenLink(const TLinkSettings& settings, const std::string& address = {});

// The board the settings name, made once before anything is sent; both front
// ends lock, compare and record the board by it. Raises EIdSocketError for a
// network name without an address, ENotABoard for an address that is no
// single board's.
TBoardIdentity IdentifyBoard(const TLinkSettings& settings);

// Takes the lock of `board`; none without transport. Raises EBoardBusy when
// another updater holds it.
std::optional<TBoardLock> LockBoard(const TLinkSettings& settings, const TBoardIdentity& board);

HistoryLink HistoryLinkOf(LinkKind kind);

// What to send.
struct TUpdateRequest {
    HistoryKind kind = HistoryKind::Firmware;
    std::vector<std::string> files;  // one image, or the flash files, or the data file
};

// Appends to the update history and tells its failure once, to whoever runs
// the writer: the operator is told once, not after every update.
class THistoryWriter {
public:
    explicit THistoryWriter(QString path = DefaultHistoryPath()) : path_(std::move(path)) {}
    // One line per file of the request; the text to show when the history
    // cannot be written (the first time only), else empty.
    QString Record(const TLinkSettings& settings, const TUpdateRequest& request, const TBoardResult& result);

private:
    QString path_;
    std::atomic<bool> failureTold_{false};
};

// Runs the request on the session over the link it uses and returns what it
// came to: every error and stop mapped to an outcome, the tally's counts, the
// time it took. Raises nothing but what no outcome can hold (EAbort-like
// unwinds of the front end's own pass through). `board` names the board.
TBoardResult RunUpdate(TSession& session, const TUpdateRequest& request, const std::string& board);

// The burn blocks of the two images.
inline constexpr std::int32_t FirmwareBurnBlock = 0;
inline constexpr std::int32_t BiosBurnBlock = 1;
