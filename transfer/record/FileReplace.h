// The system's part of saving the settings file, one file per platform.
#pragma once

#include <filesystem>
#include <span>

#include "protocol/SettingsRecord.h"

// The system's error number for a chain of links too long to follow.
extern const int TooManyLinksError;

// Writes `bytes` to a temporary file beside `target`, flushed to the device,
// and renames it over `target`, whose permissions it keeps: a failed or
// interrupted save leaves the previous content whole. Raises EInOutError.
void ReplaceContent(const std::filesystem::path& target, std::span<const Byte> bytes);
