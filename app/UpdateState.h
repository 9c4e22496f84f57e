// The update state: program-wide variables shared by every window of the
// updater: the link and the operator's selection. What a transfer needs while
// it runs (frames, flags, handles) belongs to the session the main window
// owns. They live as long as the program and are touched by the GUI thread
// only, so they need no locks (the serial event thread hands its work over to
// the GUI thread before it touches any of them).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "protocol/Bytes.h"

// CommMode values.
inline constexpr Byte ModeRS232 = 0;
inline constexpr Byte ModeUSB = 1;
inline constexpr Byte ModeNetwork = 3;

// UpdateKind values.
inline constexpr Byte KindFirmware = 0;
inline constexpr Byte KindFlashFiles = 2;
inline constexpr Byte KindBios = 3;

inline constexpr int MaxFlashFiles = 10;

extern Byte CommMode;
extern Byte UpdateKind;
extern std::string FirmwareFileName;
extern std::string BiosFileName;
extern std::string DataFileName;
extern std::array<std::string, MaxFlashFiles> FlashFileNames;
extern std::int32_t FlashFileCount;
extern std::int32_t BurnBlockNumber;
extern Byte BiosUnlocked;

// Puts every variable above back to its value at program start. The program
// itself never calls it; tests that create the windows more than once do.
void ResetUpdateState();
