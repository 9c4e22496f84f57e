// Who a board is, however the operator spelled it. Every text that reaches
// one board (for the network every spelling of its IPv4 address and every
// name that resolves to it; for the serial line every link to its device)
// gives one identity, made once before anything is sent. Its key locks the
// board, tells a board named twice, and names it in the history, the live
// report and the trace.
#pragma once

#include <stdexcept>
#include <string>

#include "network/IdStack.h"
#include "network/SearchPlan.h"

struct TBoardIdentity {
    std::string key;       // "udp:192.168.0.10", "serial:/dev/ttyUSB0", "usb": one per board
    std::string name;      // the key without its link: the address, the device, "usb"
    std::string spelling;  // as the operator gave it
    std::string address;   // the network board's dotted address, as the socket sends to it
};

// An address that reaches no single board (multicast, a broadcast, 0.0.0.0):
// refused before anything is sent, since every board behind it would get
// the same stream.
class ENotABoard : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The board behind a serial port name: the device it opens with every link
// resolved, so that COM1, ./COM1 and the device it points to are one board.
TBoardIdentity SerialBoardIdentity(const std::string& port);
// The device behind a serial port name, one text for all its spellings: on
// Linux the device path with every link resolved, on Windows the port's
// device name (\\.\COM1), which no link can stand for.
std::string SerialDeviceName(const std::string& port);

// The board at `address`, which `spelling` resolved to; `network` tells the
// broadcast addresses of the machine's own networks. Raises ENotABoard for
// an address that names no single board.
TBoardIdentity NetworkBoardIdentity(const std::string& spelling, const TIdIPv4Address& address,
                                    const TLocalNetwork& network);

// The board at `host`: resolved as the socket resolves it (a dotted address in
// any spelling the socket takes, "localhost", a name), checked against
// `network`. Raises EIdSocketError for a name without an address, ENotABoard
// as above.
TBoardIdentity NetworkBoardIdentity(const std::string& host, const TLocalNetwork& network);
// The same, checked against the machine's networks as they are now.
TBoardIdentity NetworkBoardIdentity(const std::string& host);

// The machine's networks, for their broadcast addresses: read once for many
// boards, since every read asks the system for every interface. Empty when
// the system cannot list them; then only the addresses that are never a
// board's are told.
TLocalNetwork MachineNetworks();

// The USB link's board: there is one, and nothing reaches it.
TBoardIdentity UsbBoardIdentity();
