// Network namespaces for tests that must not touch the machine's own network:
// broadcasts, name lookups that are meant to fail, several hosts on one
// machine. Each namespace is made with `ip netns add`, starts with nothing but
// its loopback interface (up), and is removed again with its links when the
// object is destroyed. Namespaces that a crashed test process left behind are
// removed by the next test process that makes one.
//
// Two ways to put code inside a namespace:
//  - NetNamespaceScope moves the calling thread in, and back out when it ends
//    (setns() affects only the calling thread). A socket belongs to the
//    namespace it was created in for its whole life, whichever thread uses it
//    later; a host-name lookup runs in the namespace of the thread that makes
//    it. So one test thread can create a client socket in one namespace and
//    its peer's socket in another, and then drive both. Create the sockets,
//    and run the lookups, while the scope is alive.
//  - Start() runs a program inside with `ip netns exec`, for peers that are
//    programs of their own (a simulated board, for example).
//
// Namespaces need root: a test calls Unavailable() first and skips with its
// message when that is not empty. Every failure to set a namespace up raises
// std::runtime_error with the failing command and what it said.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <memory>
#include <string>
#include <utility>

class QProcess;

class NetNamespace {
public:
    // Why namespaces cannot be used here, or empty when they can.
    static std::string Unavailable();

    NetNamespace();
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    const std::string& Name() const { return name_; }

    // Links this namespace to `peer` with a veth pair, both ends up, with the
    // given addresses in CIDR form ("192.0.2.1/24"). Returns the name of this
    // end's interface.
    std::string Connect(NetNamespace& peer, const std::string& address, const std::string& peerAddress);
    // Sends everything without a nearer route out of `device`, so that a
    // broadcast to 255.255.255.255 has a way out.
    void SetDefaultRoute(const std::string& device);
    // Makes every address of `range` (CIDR form) local here, so that several
    // peers can each listen on an address of their own.
    void AddLocalRange(const std::string& range);
    // Sends what goes to `destination` (CIDR form, or "default") through
    // the router at `gateway`.
    void AddRoute(const std::string& destination, const std::string& gateway);
    // Makes this namespace a router: it forwards what is not its own.
    void EnableForwarding();
    // Lets programs started inside (Start) resolve `host` to `address`.
    void NameHost(const std::string& host, const std::string& address) const;
    // Runs `ip` with `arguments` on this namespace's network.
    void RunIp(const QStringList& arguments) const;

    // Starts `program` inside this namespace.
    void Start(QProcess& process, const QString& program, const QStringList& arguments) const;

private:
    std::string NextDevice();

    std::string name_;
    int devices_ = 0;
};

// A host and the LAN it is linked to: the host's default route leads onto
// the LAN, so that a broadcast has a way out, and every address of
// `localRange` is local on the LAN's side, one for each simulated board.
std::pair<std::unique_ptr<NetNamespace>, std::unique_ptr<NetNamespace>>
HostAndLan(const std::string& hostAddress, const std::string& lanAddress, const std::string& localRange);

// A host on two LANs, its default route on the first, and a third LAN
// behind a router on a link of its own: the router forwards both ways, the
// host reaches the third LAN through it, and the third LAN's default route
// leads back. Each LAN's namespace has one address, its peer address.
struct RoutedNetworks {
    static constexpr std::size_t LanCount = 3;  // the first LAN, the second, the one behind the router
    std::unique_ptr<NetNamespace> host;
    std::unique_ptr<NetNamespace> router;
    std::array<std::unique_ptr<NetNamespace>, LanCount> lans;
    std::array<std::string, LanCount> peers;     // dotted
    std::array<std::string, LanCount> networks;  // CIDR form
    std::array<std::string, LanCount - 1> devices;  // the host's interfaces onto the first two LANs
};
RoutedNetworks MakeRoutedNetworks();

class NetNamespaceScope {
public:
    explicit NetNamespaceScope(const NetNamespace& target);
    // Back to the namespace the thread was in; a thread that cannot go back
    // ends the test process, since every later test would run in the wrong
    // network.
    ~NetNamespaceScope();
    NetNamespaceScope(const NetNamespaceScope&) = delete;
    NetNamespaceScope& operator=(const NetNamespaceScope&) = delete;

private:
    int previous_;
};
