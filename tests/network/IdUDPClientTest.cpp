// The UDP endpoint on loopback: a real client socket against a real peer
// socket on 127.0.0.1.
#include <gtest/gtest.h>

#include <QObject>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "network/IdException.h"
#include "network/IdUDPClient.h"
#include "tests/network/IdTestHelpers.h"
#include "tests/support/UdpPeer.h"

namespace {

constexpr std::int32_t WaitMs = 10000; // only keeps a broken test from hanging
constexpr std::int32_t AnswerSize = 100;
constexpr std::int32_t LargestRequest = 1500;
constexpr std::int32_t TooLongForIPv4 = 65508;
constexpr char Filler = '\x5a';

std::string Pattern(std::size_t length)
{
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>(i * 7 + 3);
    return bytes;
}

class UdpEndpoint : public ::testing::Test {
protected:
    UdpEndpoint()
    {
        client.Host = "127.0.0.1";
        client.Port = board.Port();
    }

    void Send(const std::string& bytes) { client.SendBytes(bytes.data(), static_cast<std::int32_t>(bytes.size())); }

    // Sends a datagram so that the system gives the client its local port;
    // returns that port as the board sees it.
    std::uint16_t Introduce()
    {
        Send("hello");
        const auto datagram = board.Receive();
        EXPECT_TRUE(datagram.has_value());
        return datagram ? datagram->port : 0;
    }

    std::string ReceiveText(std::int32_t timeout = WaitMs)
    {
        std::string address;
        std::int32_t port = -1;
        return client.ReceiveTextFrom(address, port, timeout);
    }

    UdpPeer board;
    TIdUDPClient client;
};

TEST_F(UdpEndpoint, FirstSendCreatesTheSocketAndEveryLaterOperationReusesIt)
{
    EXPECT_FALSE(client.Active());
    const std::string frame = Pattern(LargestRequest);
    Send(frame);
    EXPECT_TRUE(client.Active());

    const auto request = board.Receive();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->bytes, frame);
    EXPECT_EQ(request->address, "127.0.0.1");
    EXPECT_EQ(request->port, client.Binding().Port());

    board.SendTo("127.0.0.1", request->port, "answer");
    std::array<std::uint8_t, AnswerSize> answer{};
    ASSERT_EQ(client.ReceiveBytes(answer.data(), AnswerSize, WaitMs), 6);
    EXPECT_EQ(std::string(answer.begin(), answer.begin() + 6), "answer");

    Send("again");
    const auto second = board.Receive();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->port, request->port);
}

TEST_F(UdpEndpoint, ReceiveWithNothingSentTimesOutEmpty)
{
    std::string address = "stale";
    std::int32_t port = -1;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client.ReceiveTextFrom(address, port, 1000), "");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
    EXPECT_EQ(address, "");
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(client.Active());
}

// A board that is off leaves a wait for the others' answers to run on: the
// "port unreachable" its system sends back is no error of the next receive.
TEST_F(UdpEndpoint, SendToAPortWhereNothingListensLeavesTheReceivesAlone)
{
    const std::uint16_t clientPort = Introduce();
    std::uint16_t closedPort = 0;
    {
        const UdpPeer gone;
        closedPort = gone.Port();
    }
    client.Port = closedPort;
    Send("nobody");
    client.Port = board.Port();
    Send("somebody");
    ASSERT_TRUE(board.Receive().has_value());
    board.SendTo("127.0.0.1", clientPort, "answer");
    EXPECT_EQ(ReceiveText(), "answer");
}

TEST_F(UdpEndpoint, ReceiveTextFromGivesTheBytesUnchangedWithTheSender)
{
    const std::uint16_t clientPort = Introduce();
    const std::string withZero("DR\0VK", 5);
    board.SendTo("127.0.0.1", clientPort, withZero);
    std::string address;
    std::int32_t port = 0;
    EXPECT_EQ(client.ReceiveTextFrom(address, port, WaitMs), withZero);
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(port, board.Port());
    EXPECT_EQ(client.Binding().PeerPort(), board.Port());
}

TEST_F(UdpEndpoint, DatagramThatFitsIsWholeLongerOneRaisesAndIsLost)
{
    const std::uint16_t clientPort = Introduce();
    std::vector<std::uint8_t> buffer(AnswerSize + 10, Filler);

    board.SendTo("127.0.0.1", clientPort, Pattern(AnswerSize));
    ASSERT_EQ(client.ReceiveBytes(buffer.data(), AnswerSize, WaitMs), AnswerSize);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + AnswerSize), Pattern(AnswerSize));

    buffer.assign(buffer.size(), Filler);
    board.SendTo("127.0.0.1", clientPort, Pattern(AnswerSize + 1));
    board.SendTo("127.0.0.1", clientPort, "next");
    const EIdSocketError error = SocketErrorOf([&] { client.ReceiveBytes(buffer.data(), AnswerSize, WaitMs); });
    EXPECT_EQ(error.ErrorNumber, Id_WSAEMSGSIZE);
    EXPECT_STREQ(error.what(), "Socket Error # 10040\r\nMessage too long.");
    for (std::size_t i = AnswerSize; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], Filler) << "written beyond the given size at " << i;

    EXPECT_EQ(ReceiveText(), "next");

    client.BufferSize = 4;
    board.SendTo("127.0.0.1", clientPort, "DRVK!");
    EXPECT_EQ(SocketErrorOf([&] { ReceiveText(); }).ErrorNumber, Id_WSAEMSGSIZE);
}

TEST_F(UdpEndpoint, ZeroLengthDatagramRaisesItsOwnError)
{
    const std::uint16_t clientPort = Introduce();
    board.SendTo("127.0.0.1", clientPort, "");
    board.SendTo("127.0.0.1", clientPort, "after");
    try {
        ReceiveText();
        FAIL() << "no error raised";
    } catch (const EIdUDPException& error) {
        EXPECT_NE(dynamic_cast<const EIdUDPReceiveErrorZeroBytes*>(&error), nullptr);
        EXPECT_STREQ(error.what(), "UDP Receive Error = 0.");
    }
    EXPECT_EQ(ReceiveText(), "after");
}

// The receive for a wait that takes only one sender's datagrams: every
// datagram is reported, none raised.
TEST_F(UdpEndpoint, ReceiveDatagramReportsEveryDatagramWithItsWholeLengthAndSender)
{
    const std::uint16_t clientPort = Introduce();
    std::vector<std::uint8_t> buffer(AnswerSize + 10, Filler);
    UdpPeer stranger;
    stranger.SendTo("127.0.0.1", clientPort, Pattern(AnswerSize + 1));
    stranger.SendTo("127.0.0.1", clientPort, "");
    board.SendTo("127.0.0.1", clientPort, "answer");

    TIdDatagram datagram = client.ReceiveDatagram(buffer.data(), AnswerSize, WaitMs);
    EXPECT_FALSE(datagram.TimedOut);
    EXPECT_EQ(datagram.Length, AnswerSize + 1);
    EXPECT_EQ(datagram.PeerIP, "127.0.0.1");
    EXPECT_EQ(datagram.PeerPort, stranger.Port());
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + AnswerSize), Pattern(AnswerSize));
    for (std::size_t i = AnswerSize; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], Filler) << "written beyond the given size at " << i;

    datagram = client.ReceiveDatagram(buffer.data(), AnswerSize, WaitMs);
    EXPECT_FALSE(datagram.TimedOut);
    EXPECT_EQ(datagram.Length, 0);
    EXPECT_EQ(datagram.PeerIP, "127.0.0.1");
    EXPECT_EQ(datagram.PeerPort, stranger.Port());

    datagram = client.ReceiveDatagram(buffer.data(), AnswerSize, WaitMs);
    EXPECT_EQ(datagram.Length, 6);
    EXPECT_EQ(datagram.PeerPort, board.Port());
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 6), "answer");

    datagram = client.ReceiveDatagram(buffer.data(), AnswerSize, 0);
    EXPECT_TRUE(datagram.TimedOut);
    EXPECT_EQ(datagram.Length, 0);
    EXPECT_EQ(datagram.PeerIP, "");
    EXPECT_EQ(datagram.PeerPort, 0);

    // The call itself is still checked.
    EXPECT_EQ(SocketErrorOf([&] { client.ReceiveDatagram(buffer.data(), -1, 0); }).ErrorNumber, Id_WSAEINVAL);
    EXPECT_EQ(SocketErrorOf([&] { client.ReceiveDatagram(nullptr, AnswerSize, 0); }).ErrorNumber, Id_WSAEFAULT);
    EXPECT_EQ(SocketErrorOf([&] { client.ReceiveDatagram(buffer.data(), AnswerSize, -3); }).ErrorNumber,
              Id_WSAEINVAL);
}

TEST_F(UdpEndpoint, TimeOutArguments)
{
    const std::uint16_t clientPort = Introduce();
    std::array<std::uint8_t, AnswerSize> buffer{};

    client.ReceiveTimeout = 0; // -1 asks for this one
    EXPECT_EQ(client.ReceiveBytes(buffer.data(), AnswerSize, IdTimeoutDefault), 0);

    board.SendTo("127.0.0.1", clientPort, "kept");
    const auto invalid = SocketErrorOf([&] { client.ReceiveBytes(buffer.data(), AnswerSize, -3); });
    EXPECT_STREQ(invalid.what(), "Socket Error # 10022\r\nInvalid argument.");
    client.ReceiveTimeout = IdTimeoutDefault; // a default that names itself names nothing
    EXPECT_EQ(SocketErrorOf([&] { client.ReceiveBytes(buffer.data(), AnswerSize, IdTimeoutDefault); }).ErrorNumber,
              Id_WSAEINVAL);
    EXPECT_EQ(SocketErrorOf([&] { client.ReceiveBytes(buffer.data(), -1, 0); }).ErrorNumber, Id_WSAEINVAL);
    EXPECT_EQ(SocketErrorOf([&] { client.ReceiveBytes(nullptr, AnswerSize, 0); }).ErrorNumber, Id_WSAEFAULT);

    // None of the refused calls took the datagram; no limit waits for it.
    EXPECT_EQ(client.ReceiveBytes(buffer.data(), AnswerSize, IdTimeoutInfinite), 4);
}

TEST_F(UdpEndpoint, HostTexts)
{
    for (const char* host : {"LocalHost", "localhost", "127.000.000.001"}) {
        client.Host = host;
        Send(host);
        const auto datagram = board.Receive();
        ASSERT_TRUE(datagram.has_value()) << host;
        EXPECT_EQ(datagram->bytes, host);
    }

    // Parts are decimal: "010" is ten, not eight.
    UdpPeer ten("127.0.0.10");
    client.Host = "127.0.0.010";
    client.Port = ten.Port();
    Send("decimal");
    const auto datagram = ten.Receive();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->bytes, "decimal");
}

// The address the requests go to, in the form senders are reported in, so
// that the two compare equal.
TEST_F(UdpEndpoint, HostAddressIsTheSendersFormOfTheDestination)
{
    for (const char* host : {"LocalHost", "127.000.000.001", "127.0.0.1"}) {
        client.Host = host;
        EXPECT_EQ(client.HostAddress(), "127.0.0.1") << host;
    }
    if (!UdpPeer::SendsFromItsAddress())
        GTEST_SKIP() << "the peer's answer would not come from 127.0.0.10";
    UdpPeer ten("127.0.0.10");
    client.Host = "127.0.0.010";
    client.Port = ten.Port();
    EXPECT_EQ(client.HostAddress(), "127.0.0.10");
    Send("request");
    const auto request = ten.Receive();
    ASSERT_TRUE(request.has_value());
    ten.SendTo(request->address, request->port, "answer");
    std::array<std::uint8_t, AnswerSize> buffer{};
    EXPECT_EQ(client.ReceiveDatagram(buffer.data(), AnswerSize, WaitMs).PeerIP, client.HostAddress());
}

TEST(DottedAddress, OnlyFourPartsFrom0To255AreAnAddress)
{
    EXPECT_EQ(TIdStack::ParseDotted("192.168.000.010"), (TIdIPv4Address{192, 168, 0, 10}));
    EXPECT_EQ(TIdStack::ParseDotted("255.255.255.255"), (TIdIPv4Address{255, 255, 255, 255}));
    for (const char* text : {"192.168.0.300", "1.2.3", "1.2.3.4.5", "", "...", " 1.2.3.4", "1.2.3.4 ", "a.b.c.d",
                             "1.2.-1.4", "1.2.3.+", "1.2.3.+-0", "1.2.3.99999999999"})
        EXPECT_FALSE(TIdStack::IsIP(text)) << '"' << text << '"';
    EXPECT_EQ(TIdStack::AddressToText({10, 0, 0, 7}), "10.0.0.7");

    const std::unique_ptr<TIdStack> stack = CreatePlatformStack();
    EXPECT_EQ(stack->ResolveAddress("lOcAlHoSt"), "127.0.0.1");
    EXPECT_EQ(stack->ResolveAddress("010.0.0.1"), "010.0.0.1");
}

TEST_F(UdpEndpoint, RefusedSendsRaiseAndLeaveTheSocketAsItWas)
{
    const std::uint16_t clientPort = Introduce();
    const std::string data = "data";
    const auto sendTo = [&](std::int32_t port) {
        client.Port = port;
        Send(data);
    };
    // 65537 and 70000 would wrap to ports that exist, 1 and 4464.
    for (const std::int32_t port : {-1, 0, 65536, 65537, 70000})
        EXPECT_EQ(SocketErrorOf([&] { sendTo(port); }).ErrorNumber, Id_WSAEINVAL) << port;
    client.Port = board.Port();
    EXPECT_EQ(SocketErrorOf([&] { client.SendBytes(data.data(), -1); }).ErrorNumber, Id_WSAEINVAL);
    EXPECT_EQ(SocketErrorOf([&] { client.SendBytes(nullptr, 1); }).ErrorNumber, Id_WSAEFAULT);

    const std::string tooLong(TooLongForIPv4, Filler);
    EXPECT_THROW(
        {
            try {
                Send(tooLong);
            } catch (const EIdPackageSizeTooBig& error) {
                EXPECT_STREQ(error.what(), "Package Size Too Big.");
                throw;
            }
        },
        EIdSocketHandleError);

    Send("still here");
    const auto datagram = board.Receive();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->bytes, "still here");
    EXPECT_EQ(datagram->port, clientPort);
}

TEST_F(UdpEndpoint, ActiveAndBroadcastEnabled)
{
    client.SetActive(true);
    ASSERT_TRUE(client.Active());
    EXPECT_FALSE(BroadcastOption(client));
    client.SetBroadcastEnabled(true);
    EXPECT_TRUE(BroadcastOption(client));
    client.SetBroadcastEnabled(false);
    EXPECT_FALSE(BroadcastOption(client));

    client.SetActive(false);
    EXPECT_FALSE(client.Active());
    client.SetBroadcastEnabled(true); // recorded, applied to the next socket
    EXPECT_FALSE(client.Active());
    client.SetActive(true);
    EXPECT_TRUE(BroadcastOption(client));
}

TEST(SocketErrors, MessagesCarryTheNumberAndItsText)
{
    const auto message = [](std::int32_t number) { return SocketErrorOf([&] { TIdStack::RaiseSocketError(number); }); };
    EXPECT_STREQ(message(12345).what(), "Socket Error # 12345\r\n");
    EXPECT_EQ(message(12345).ErrorNumber, 12345);
    EXPECT_STREQ(message(Id_WSAEWOULDBLOCK).what(), "Socket Error # 10035\r\nOperation would block. ");
    EXPECT_STREQ(message(Id_WSAENOTEMPTY).what(), "Socket Error # 10066\r\nDirectory not empty");
    EXPECT_STREQ(message(Id_WSAHOST_NOT_FOUND).what(), "Socket Error # 11001\r\n");
}

TEST(SocketComponents, ShareOneStackWhileAnyLives)
{
    const int before = TIdComponent::InstanceCount();
    {
        QObject owner;
        new TIdUDPClient(&owner);
        TIdUDPClient second;
        EXPECT_EQ(TIdComponent::InstanceCount(), before + 2);
    }
    EXPECT_EQ(TIdComponent::InstanceCount(), before);
}

TEST(SocketHandle, WaitWithoutSocketIsAClosedConnection)
{
    const std::unique_ptr<TIdStack> stack = CreatePlatformStack();
    TIdSocketHandle handle(*stack);
    try {
        handle.Readable(0);
        FAIL() << "no error raised";
    } catch (const EIdSilentException& error) {
        EXPECT_STREQ(error.what(), "Connection Closed Gracefully.");
    }
    handle.AllocateSocket();
    EXPECT_TRUE(handle.HandleAllocated());
    handle.CloseSocket();
    EXPECT_FALSE(handle.HandleAllocated());
}

} // namespace
