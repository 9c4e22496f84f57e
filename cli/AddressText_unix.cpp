#include "cli/AddressText.h"

#include <arpa/inet.h>

bool IsInetAddress(const std::string& text)
{
    in_addr address{};
    return ::inet_aton(text.c_str(), &address) != 0;
}
