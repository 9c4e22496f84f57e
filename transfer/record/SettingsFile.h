// The settings file ZEVEVI.CFG: reading its record and replacing it with
// another (the record's bytes are protocol/SettingsRecord.h's). Saving in
// either window replaces whatever record the file held.
//
// Errors are the runtime's input/output errors (EInOutError): "File not found",
// "File access denied", "Invalid filename", "I/O error %d", and "Read beyond end
// of file" for a record shorter than its kind needs.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "protocol/SettingsRecord.h"

inline const std::string SettingsFileName = "ZEVEVI.CFG";
// Reads the settings file. Returns nothing when the file does not exist;
// raises EInOutError when it exists but cannot be read, or is empty.
std::optional<TSettingsRecord> ReadSettingsFile(const std::string& path = SettingsFileName);

// Replace the file's content with one record. The record is written to a
// temporary file beside it and renamed over it, so a failed or interrupted save
// leaves the previous content whole. When the file is a symbolic link, the file
// it leads to is replaced and the link stays; the replaced file's permissions
// carry over to the new one. Raises EInOutError on failure.
void WriteSerialRecord(const std::array<Byte, SerialFieldCount>& positions,
                       const std::string& path = SettingsFileName);
void WriteNetworkRecord(const std::array<Byte, NetworkFieldCount>& address,
                        const std::string& path = SettingsFileName);
