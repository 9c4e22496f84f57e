// A plain UDP socket for tests: the other end of the code under test (a board,
// a name server, a stranger). It lives in the network namespace of the thread
// that creates it (see NetNamespace.h). Failures of its own set-up raise
// std::runtime_error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct Datagram {
    std::string bytes;
    std::string address; // the sender's dotted address
    std::uint16_t port = 0;
};

class UdpPeer {
public:
    // Bound to `address`:`port`; port 0 takes any free one.
    explicit UdpPeer(const std::string& address = "127.0.0.1", std::uint16_t port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    std::uint16_t Port() const { return port_; }
    // The socket, for code under test that waits for it to turn readable.
    int Handle() const { return socket_; }

    void SendTo(const std::string& address, std::uint16_t port, const std::string& bytes);
    // The next datagram, or nothing when none came within `limitMs`. The limit
    // only keeps a broken test from hanging; tests wait for what they expect.
    std::optional<Datagram> Receive(int limitMs = DefaultLimitMs);

    static constexpr int DefaultLimitMs = 10000;

    // Whether what a peer sends leaves from the address it is bound to: not
    // under Wine, which binds a socket asked for 127.0.0.10 to every address,
    // so that its answers leave from 127.0.0.1.
    static bool SendsFromItsAddress();

private:
    int socket_;
    std::uint16_t port_ = 0;
};
