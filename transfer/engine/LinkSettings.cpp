#include "transfer/engine/LinkSettings.h"

#include "network/IdException.h"
#include "network/IdStack.h"
#include "network/IdUDPClient.h"
#include "serial/CPortDevice.h"
#include "serial/SerialChoices.h"
#include "transfer/report/ErrorText.h"
#include "transfer/report/PortHints.h"
#include "transfer/engine/Session.h"
#include "transfer/engine/SystemError.h"
#include "transfer/record/SettingsFile.h"

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

// Opens the port of a link of its own, or raises ELinkNotOpened in this
// system's words: the device the name stands for, the system's text for
// the error, and the advice for it. (A window's port tells the driver's own
// texts.)
void OpenPort(TCustomComPort& port, const std::string& name)
{
    try {
        port.Open();
    } catch (const EComPort& error) {
        std::string text = "cannot open the serial port " + ComDeviceName(name) + ": " +
                           (error.OsError > 0 ? SystemErrorText(error.OsError) : EComPort::Text(error.Code));
        const QString hint = PortHint(error);
        throw ELinkNotOpened(hint.isEmpty() ? text : text + " (" + hint.toStdString() + ")");
    }
}

// The serial line, over a port of its own or one held open elsewhere.
class TOpenSerialLink : public TOpenLink {
public:
    explicit TOpenSerialLink(const TSerialLine& line) : own_(std::make_unique<TComPort>()), link_(*own_)
    {
        ConfigurePort(*own_, line);
        OpenPort(*own_, line.port);
    }
    explicit TOpenSerialLink(TCustomComPort& held) : link_(held) {}
    TBoardLink& Link() override { return link_; }

private:
    std::unique_ptr<TComPort> own_;  // closed after the link that reads it has gone
    TSerialLink link_;
};

// UDP, over a socket of its own to one board or a component held elsewhere.
class TOpenUdpLink : public TOpenLink {
public:
    TOpenUdpLink(const std::string& host, const std::string& address)
        : own_(std::make_unique<TIdUDPClient>()), link_(*own_)
    {
        own_->Host = address;
        own_->Port = BoardRequestPort;
        try {
            own_->Binding();
        } catch (const EIdException& error) {
            throw ELinkNotOpened(SocketFailureText(host, error));
        }
    }
    explicit TOpenUdpLink(TIdUDPClient& held) : link_(held) {}
    TBoardLink& Link() override { return link_; }

private:
    std::unique_ptr<TIdUDPClient> own_;
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

std::unique_ptr<TOpenLink> OpenLink(const TLinkSettings& settings, const std::string& address, TLinkEnds ends)
{
    switch (settings.kind) {
    case LinkKind::Serial:
        if (ends.port != nullptr)
            return std::make_unique<TOpenSerialLink>(*ends.port);
        return std::make_unique<TOpenSerialLink>(settings.serial);
    case LinkKind::Network:
        if (ends.client != nullptr)
            return std::make_unique<TOpenUdpLink>(*ends.client);
        return std::make_unique<TOpenUdpLink>(settings.host, address);
    case LinkKind::Usb:
        break;
    }
    return std::make_unique<TOpenNoLink>();
}

TBoardIdentity IdentifyBoard(const TLinkSettings& settings)
{
    return IdentifyBoard(settings, settings.kind == LinkKind::Network ? MachineNetworks() : TLocalNetwork{});
}

TBoardIdentity IdentifyBoard(const TLinkSettings& settings, const TLocalNetwork& network)
{
    switch (settings.kind) {
    case LinkKind::Serial:
        return SerialBoardIdentity(settings.serial.port);
    case LinkKind::Network:
        return NetworkBoardIdentity(settings.host, network);
    case LinkKind::Usb:
        break;
    }
    return UsbBoardIdentity();
}
