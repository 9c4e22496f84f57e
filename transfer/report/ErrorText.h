// The texts of link errors as both front ends tell them: one line each, naming the cause in
// words, with a hint where one helps.
#pragma once

#include <string>

#include "network/IdException.h"

// `text` on one line: the socket layer's "\r\n" between an error's number and
// its words becomes ": ", any other line break a blank.
std::string OneLine(const std::string& text);

// A socket error of the board at `host`, in words: a name that does not
// resolve, no route, or the socket layer's own text on one line.
std::string SocketFailureText(const std::string& host, const EIdException& error);

// What to check when a board does not answer: on the serial line the cable,
// the port and the bit rate; on the network the address, the board's power
// and that nothing else updates it. When frames came that answered nothing
// (`garbled`), the board is alive and the line or a stranger is at fault: on
// the serial line the bit rate and the line's noise, on the network what
// else sends from the board's address.
std::string SilenceHint(bool serial, bool garbled = false);

// Why a board that stopped answering was given up, and what to check.
std::string SilentBoardText(const std::string& stopped, bool serial, bool garbled = false);

// Why an update over the USB link did not happen.
inline const std::string UsbHasNoTransport = "the USB link has no transport; nothing was sent";
