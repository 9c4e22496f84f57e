// What the platform's half of Password reads.
#pragma once

#include <string>

// A line of standard input, typed without echo when it is a terminal; false
// when there is none to read.
bool ReadUnechoedLine(std::string& line);
