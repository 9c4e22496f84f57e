#include "transfer/LinkSettings.h"

#include "network/IdException.h"
#include "network/IdStack.h"
#include "network/IdUDPClient.h"
#include "serial/SerialChoices.h"
#include "transfer/ErrorText.h"
#include "transfer/PortHints.h"
#include "transfer/Session.h"
#include "transfer/SettingsFile.h"

namespace {

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
