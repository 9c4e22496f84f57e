#include "transfer/report/ErrorText.h"

#include "network/IdStack.h"

namespace {

bool IsResolverError(std::int32_t number)
{
    return number >= Id_WSAHOST_NOT_FOUND && number <= Id_WSANO_DATA;
}

bool IsNoRoute(std::int32_t number)
{
    return number == Id_WSAENETUNREACH || number == Id_WSAEHOSTUNREACH || number == Id_WSAENETDOWN ||
           number == Id_WSAEHOSTDOWN;
}

} // namespace

std::string OneLine(const std::string& text)
{
    std::string line;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (text.compare(k, 2, "\r\n") == 0) {
            line += ": ";
            ++k;
        } else if (text[k] == '\r' || text[k] == '\n') {
            line += ' ';
        } else {
            line += text[k];
        }
    }
    // A text that ended in a line break leaves nothing after its separator.
    while (!line.empty() && (line.back() == ' ' || line.back() == ':'))
        line.pop_back();
    return line;
}

std::string SocketFailureText(const std::string& host, const EIdException& error)
{
    const auto* socketError = dynamic_cast<const EIdSocketError*>(&error);
    if (socketError != nullptr && IsResolverError(socketError->ErrorNumber))
        return "cannot resolve the name \"" + host + "\": check the name, or give the board's address";
    if (socketError != nullptr && IsNoRoute(socketError->ErrorNumber))
        return "no route to " + host + ": check the cable and the address";
    return OneLine(error.what());
}

std::string SilenceHint(bool serial, bool garbled)
{
    if (garbled)
        return serial ? "frames came that answered nothing asked: check the bit rate and the line for noise"
                      : "frames came that answered nothing asked: check what else sends from the board's address";
    return serial ? "check the cable, the port and the bit rate"
                  : "check the address, the board's power and that nothing else updates it";
}

std::string SilentBoardText(const std::string& stopped, bool serial, bool garbled)
{
    return "the board does not answer (" + stopped + "): " + SilenceHint(serial, garbled);
}
