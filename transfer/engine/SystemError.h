// The system's own words for the error number of a failed call: errno's on
// Linux, GetLastError()'s on Windows, each told the way its system tells it.
#pragma once

#include <string>

std::string SystemErrorText(int error);
