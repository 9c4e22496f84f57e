// What the platform's handler of Interrupt calls.
#pragma once

// A run ended by a signal exits with this plus the signal's number.
inline constexpr int SignalExitBase = 128;

// Asks the run to end with `exitStatus`: raises the flag, cancels every
// link's wait, and ends the program at once during a wait that holds nothing.
// Safe in a signal handler.
void EndRunOnRequest(int exitStatus);
