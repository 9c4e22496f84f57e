// The password that unlocks the BIOS image, compared exactly and
// case-sensitively with everything the operator entered.
#pragma once

#include <string>

inline bool IsBiosPassword(const std::string& entered)
{
    static const std::string BiosPassword = "marsh17";
    return entered == BiosPassword;
}
