// The UDP endpoint where loopback does not do: broadcasts and failing host
// lookups, each inside network namespaces the test makes, so that nothing
// reaches the machine's own network or its name server.
#include <gtest/gtest.h>

#include <QFile>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>

#include "network/IdException.h"
#include "network/IdUDPClient.h"
#include "tests/network/IdTestHelpers.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/UdpPeer.h"

namespace {

constexpr std::uint16_t SearchPort = 3334;
const std::string Search = "DRVK";
const std::string HostAddress = "192.0.2.1";
const std::string BoardAddress = "192.0.2.10";
const std::string PrefixLength = "/24";

// Whether a host lookup made inside a namespace stays there. It does when the
// only sources are the hosts file and DNS (sent from inside the namespace);
// nscd and other sources answer through local sockets from the machine's own
// network.
std::string LookupLeavesNamespace()
{
    if (QFile::exists("/var/run/nscd/socket"))
        return "nscd runs here and would look the name up outside the namespace";
    QFile nsswitch("/etc/nsswitch.conf");
    if (!nsswitch.open(QIODevice::ReadOnly))
        return {};
    for (const QString& line : QString::fromLocal8Bit(nsswitch.readAll()).split('\n')) {
        const QStringList words = line.section('#', 0, 0).simplified().split(' ', Qt::SkipEmptyParts);
        if (words.value(0) != "hosts:")
            continue;
        for (const QString& source : words.mid(1)) {
            if (source != "files" && source != "dns" && !source.startsWith('['))
                return "host lookups here also ask '" + source.toStdString() + "', which may leave the namespace";
        }
    }
    return {};
}

class UdpEndpointInNamespace : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string reason = NetNamespace::Unavailable(); !reason.empty())
            GTEST_SKIP() << reason;
        host = std::make_unique<NetNamespace>();
    }

    std::unique_ptr<NetNamespace> host;
};

// The host namespace is linked to a "lan" namespace that holds the board, and
// routes everything, broadcasts included, onto that link.
TEST_F(UdpEndpointInNamespace, BroadcastPermissionIsOnForOneSendOnly)
{
    NetNamespace lan;
    host->SetDefaultRoute(host->Connect(lan, HostAddress + PrefixLength, BoardAddress + PrefixLength));
    std::unique_ptr<UdpPeer> board;
    {
        const NetNamespaceScope inside(lan);
        board = std::make_unique<UdpPeer>("0.0.0.0", SearchPort);
    }
    const NetNamespaceScope inside(*host);
    TIdUDPClient client;

    client.BroadcastText(Search, SearchPort);
    EXPECT_FALSE(BroadcastOption(client));
    const auto search = board->Receive();
    ASSERT_TRUE(search.has_value());
    EXPECT_EQ(search->bytes, Search);
    EXPECT_EQ(search->address, HostAddress);

    board->SendTo(search->address, search->port, Search);
    std::string address;
    std::int32_t port = 0;
    EXPECT_EQ(client.ReceiveTextFrom(address, port, 1000), Search);
    EXPECT_EQ(address, BoardAddress);
    EXPECT_EQ(port, SearchPort);

    client.Host = "255.255.255.255";
    client.Port = SearchPort;
    const EIdSocketError refused = SocketErrorOf([&] { client.SendBytes(Search.data(), 4); });
    EXPECT_EQ(refused.ErrorNumber, Id_WSAEACCES);
    EXPECT_STREQ(refused.what(), "Socket Error # 10013\r\nAccess denied.");

    client.Host = BoardAddress;
    client.SendBytes("request", 7);
    const auto request = board->Receive();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->port, search->port) << "the broadcast and the send used different sockets";
}

// A namespace with nothing but loopback: no route leads anywhere.
TEST_F(UdpEndpointInNamespace, FailedBroadcastStillTurnsThePermissionOff)
{
    const NetNamespaceScope inside(*host);
    TIdUDPClient client;
    const EIdSocketError error = SocketErrorOf([&] { client.BroadcastText(Search, SearchPort); });
    EXPECT_STREQ(error.what(), "Socket Error # 10051\r\nNetwork is unreachable.");
    EXPECT_FALSE(BroadcastOption(client));
}

TEST_F(UdpEndpointInNamespace, NameThatIsNoAddressGoesToTheResolverWhoseFailureIsRaised)
{
    if (const std::string reason = LookupLeavesNamespace(); !reason.empty())
        GTEST_SKIP() << reason;
    const NetNamespaceScope inside(*host);
    TIdUDPClient client;
    client.Port = SearchPort;
    for (const char* name : {"192.168.0.300", ""}) {
        client.Host = name;
        const EIdSocketError error = SocketErrorOf([&] { client.SendBytes(Search.data(), 4); });
        EXPECT_GE(error.ErrorNumber, Id_WSAHOST_NOT_FOUND) << '"' << name << '"';
        EXPECT_LE(error.ErrorNumber, Id_WSANO_DATA) << '"' << name << '"';
        EXPECT_EQ(error.what(), "Socket Error # " + std::to_string(error.ErrorNumber) + "\r\n");
        // A failed lookup leaves no address behind: it fails again.
        EXPECT_GE(SocketErrorOf([&] { client.HostAddress(); }).ErrorNumber, Id_WSAHOST_NOT_FOUND);
    }
    EXPECT_FALSE(client.Active()) << "a failed lookup comes before the socket";
}

} // namespace
