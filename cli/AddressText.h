// Board names that are meant as IPv4 addresses.
#pragma once

#include <string>

// Whether `text` is an IPv4 address in a form the C library's inet_aton
// takes: "a.b.c.d", "a.b.c", "a.b" or "a", each part decimal, octal (a
// leading 0) or hexadecimal (a leading 0x), the last part filling the bytes
// left. So "10.1" is 10.0.0.1, and "127.0.0.300" and "192.168.0.09" are none.
bool IsInetAddress(const std::string& text);
