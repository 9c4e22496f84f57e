// The platform's half of the port hints: advice by the system's error number.
#pragma once

#include <QString>

#include <cstdint>

// Why a port would not open, and what to do about it; empty without advice.
QString OpenHint(std::int32_t osError);
// A read or write that fails on an open port: the line went away under it.
QString LineHint(std::int32_t osError);
