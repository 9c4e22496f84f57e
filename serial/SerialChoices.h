// The serial line choices the operator picks from, by position: the port
// names, bit rates, data bits, parity and stop bits that the serial settings
// window lists and that the settings file's serial record stores as positions.
// The command line takes the same choices by their texts.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "protocol/Bytes.h"
#include "serial/CPort.h"
#include "protocol/SettingsRecord.h"

// What each position selects.
inline const std::array<std::string, 4> PortNames = {"COM1", "COM2", "COM3", "COM4"};
inline constexpr std::array<TBaudRate, 7> BaudRates = {br2400, br4800, br9600, br14400, br19200, br38400, br115200};
inline constexpr std::array<TDataBits, 4> DataBitsChoices = {dbFive, dbSix, dbSeven, dbEight};
inline constexpr std::array<TParityBits, 3> ParityChoices = {prNone, prOdd, prEven};
inline constexpr std::array<TStopBits, 3> StopBitsChoices = {sbOneStopBit, sbOne5StopBits, sbTwoStopBits};

// The texts of the same positions, as the window's lists show them.
inline constexpr std::array<std::string_view, 7> BaudRateTexts = {"2400", "4800", "9600", "14400",
                                                                  "19200", "38400", "115200"};
inline constexpr std::array<std::string_view, 4> DataBitsTexts = {"5", "6", "7", "8"};
inline constexpr std::array<std::string_view, 3> ParityTexts = {"None", "Odd", "Even"};
inline constexpr std::array<std::string_view, 3> StopBitsTexts = {"1", "1.5", "2"};

// COM1, 115200, 8 data bits, no parity, 1 stop bit.
inline constexpr std::array<Byte, SerialFieldCount> DefaultPositions = {0, 6, 3, 0, 0};
