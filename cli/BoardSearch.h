// The board search, as the network window makes it: "DRVK" broadcast to UDP
// port 3334, answered by each board with the same four bytes from its port
// 3334; the replies are collected until a wait of 1000 ms passes without any
// datagram.
#pragma once

#include <string>
#include <vector>

class TIdUDPClient;

// The addresses of the boards that answered, in the order their replies came,
// each once, at most 101. Ends early on Ctrl-C. Socket errors are raised.
std::vector<std::string> SearchBoards(TIdUDPClient& client);
