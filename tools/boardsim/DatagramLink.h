// The board on the network: requests on ADDRESS:3333, the search message on
// ADDRESS:3334. A search is a broadcast to 255.255.255.255, which a socket
// bound to one unicast address never receives; so for an address that is not
// loopback the board also listens on the broadcast address (shared with other
// boards in the same network namespace) and replies from ADDRESS:3334.
// Forged answers go out from ADDRESS and a port of the system's choosing.
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/boardsim/Outbox.h"
#include "tools/boardsim/Session.h"

namespace boardsim {

class DatagramLink {
public:
    // Binds the sockets, with those the faults send from. Throws
    // std::system_error on failure.
    DatagramLink(const std::string& address, const FaultOptions& faults);
    ~DatagramLink();
    DatagramLink(const DatagramLink&) = delete;
    DatagramLink& operator=(const DatagramLink&) = delete;

    // The sockets to wait on for reading.
    std::vector<int> Sockets() const;
    std::optional<Clock::time_point> NextWake() const { return outbox_.NextDue(); }

    // Takes one datagram from a readable socket, if one is there, and lets the
    // session handle it. True when it was a request that got no answer: the
    // sender may well have sent the next one right behind it.
    bool Receive(int socket, Session& session, Clock::time_point now);
    // Sends the due datagrams; one that cannot be sent is reported on stderr and lost.
    void Flush(Clock::time_point now);

private:
    struct Destination {
        int socket;
        sockaddr_in to;
    };

    int requests_ = -1;
    int search_ = -1;
    int broadcast_ = -1;        // -1: not listening for broadcasts
    int searchFrom_ = -1;       // -1: replies come from the search port
    int forger_ = -1;           // -1: no answers are forged
    Outbox<Destination> outbox_;
    // Every datagram lands here, so that a receive neither allocates nor
    // clears a buffer of the largest datagram's size.
    Bytes buffer_;
};

}  // namespace boardsim
