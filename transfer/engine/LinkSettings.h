// Which board, over what: the link settings both front ends make from the
// operator's choice, the board they name (made once, locked while it is
// updated), and the one place a link to it is opened.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "serial/CPort.h"
#include "transfer/board/BoardIdentity.h"
#include "transfer/board/BoardLock.h"
#include "transfer/record/History.h"
#include "transfer/engine/Link.h"

class TIdUDPClient;

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

// What a front end already holds open for its links: the serial window owns
// its port for the whole run, the main window its UDP component. A link over
// them neither opens nor closes them.
struct TLinkEnds {
    TCustomComPort* port = nullptr;
    TIdUDPClient* client = nullptr;
};

// The one way to reach a board, for both front ends: serial over the port
// held open in `ends`, else over a port of its own opened with the settings'
// line; network over the UDP component in `ends`, else over a socket of its
// own to the board at `address` (the host resolved); USB over no transport
// (nothing is sent, and RunUpdate fails such an update). Raises
// ELinkNotOpened, with the words an operator needs, when the port or socket
// cannot be opened.
std::unique_ptr<TOpenLink> OpenLink(const TLinkSettings& settings, const std::string& address = {},
                                    TLinkEnds ends = {});

// The board the settings name, made once before anything is sent; both front
// ends lock, compare and record the board by it. Raises EIdSocketError for a
// network name without an address, ENotABoard for an address that is no
// single board's.
TBoardIdentity IdentifyBoard(const TLinkSettings& settings);
// The same for one board of many: a network board is checked against
// `network` (MachineNetworks), read once for all of them.
TBoardIdentity IdentifyBoard(const TLinkSettings& settings, const TLocalNetwork& network);

// The link as the history names it.
constexpr HistoryLink HistoryLinkOf(LinkKind kind)
{
    if (kind == LinkKind::Serial)
        return HistoryLink::Serial;
    return kind == LinkKind::Usb ? HistoryLink::Usb : HistoryLink::Udp;
}
