// The one place where a failed system call becomes an exception.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

namespace boardsim {

[[noreturn]] inline void ThrowSystemError(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace boardsim
