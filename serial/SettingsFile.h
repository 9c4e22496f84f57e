// The settings file ZEVEVI.CFG: one record of single unsigned bytes, either the
// serial record of the serial settings window or the network record of the
// network window. No header, version, checksum or padding:
//
//   serial record (6 bytes):  0, port, baud rate, data bits, parity, stop bits
//                             (the selected combo box positions, 255 = none)
//   network record (5 bytes): 1, the four numbers of the board's IPv4 address
//                             in dotted order
//
// A first byte other than 0 or 1 makes both windows ignore the file. Saving in
// either window replaces whatever record the file held.
//
// Errors are the runtime's input/output errors (EInOutError): "File not found",
// "File access denied", "Invalid filename", "I/O error %d", and "Read beyond end
// of file" for a record shorter than its kind needs.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "protocol/Bytes.h"

inline const std::string SettingsFileName = "ZEVEVI.CFG";

inline constexpr Byte SerialRecordKind = 0;
inline constexpr Byte NetworkRecordKind = 1;
inline constexpr std::size_t SerialFieldCount = 5;   // port, baud rate, data bits, parity, stop bits
inline constexpr std::size_t NetworkFieldCount = 4;  // the address numbers in dotted order
inline constexpr std::size_t MaxFieldCount = SerialFieldCount;

// A combo box without a selected item (position -1 cut to one byte).
inline constexpr Byte NoSelection = 255;

// The record found in the file: its kind byte and the bytes behind it, as far
// as the file holds them (bytes beyond the longest record are not read).
class TSettingsRecord {
public:
    TSettingsRecord(Byte kind, const std::array<Byte, MaxFieldCount>& fields, std::size_t fieldCount);

    Byte Kind() const { return kind_; }
    bool IsSerial() const { return kind_ == SerialRecordKind; }
    bool IsNetwork() const { return kind_ == NetworkRecordKind; }

    // The field at `index` (0 = the byte after the kind byte). Raises the
    // read-beyond-end error when the file ended before it, so that a reader
    // taking the fields one by one keeps those before a short record's end.
    Byte Field(std::size_t index) const;

private:
    Byte kind_;
    std::array<Byte, MaxFieldCount> fields_;
    std::size_t fieldCount_;
};

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
