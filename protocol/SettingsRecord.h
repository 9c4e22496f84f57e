// The record of the settings file ZEVEVI.CFG, as bytes: one record of single
// unsigned bytes, either the serial record of the serial settings window or the
// network record of the network window. No header, version, checksum or
// padding:
//
//   serial record (6 bytes):  0, port, baud rate, data bits, parity, stop bits
//                             (the selected combo box positions, 255 = none)
//   network record (5 bytes): 1, the four numbers of the board's IPv4 address
//                             in dotted order
//
// A first byte other than 0 or 1 makes both windows ignore the file. Reading
// and writing the file itself is transfer/record/SettingsFile.h's part.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include "protocol/Bytes.h"

inline constexpr Byte SerialRecordKind = 0;
inline constexpr Byte NetworkRecordKind = 1;
inline constexpr std::size_t SerialFieldCount = 5;   // port, baud rate, data bits, parity, stop bits
inline constexpr std::size_t NetworkFieldCount = 4;  // the address numbers in dotted order
inline constexpr std::size_t MaxFieldCount = SerialFieldCount;
// The most bytes a record takes: its kind byte and the longest record's fields.
inline constexpr std::size_t MaxRecordSize = 1 + MaxFieldCount;

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

// The record the file's first bytes hold (at most MaxRecordSize of them count).
// Raises the runtime's read-beyond-end error (EInOutError) for no bytes at all.
TSettingsRecord ParseSettingsRecord(std::span<const Byte> content);

// The bytes of a record: the kind byte, then the fields.
std::array<Byte, 1 + SerialFieldCount> SerialRecordBytes(const std::array<Byte, SerialFieldCount>& positions);
std::array<Byte, 1 + NetworkFieldCount> NetworkRecordBytes(const std::array<Byte, NetworkFieldCount>& address);

// The fields of the network record for a dotted address: the text is cut at
// its first three dots, each part is read as a decimal integer and cut to its
// low byte ("10.0.0.7" gives 0A 00 00 07). Raises EConvertError for a part
// that is not a decimal integer.
std::array<Byte, NetworkFieldCount> AddressRecordBytes(const std::string& address);
