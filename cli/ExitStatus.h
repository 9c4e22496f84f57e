// The exit statuses of orvenda-update.
#pragma once

inline constexpr int ExitUpdated = 0;       // every board updated, every answer received
inline constexpr int ExitIncomplete = 1;    // a missing answer, a board-reported error, a failed board
inline constexpr int ExitBadInput = 2;      // a bad command line, a file that cannot be read, a board named
                                            // twice; nothing sent
inline constexpr int ExitLinkFailed = 3;    // a link that cannot be opened, a board another updater holds
// A run ended by a signal exits with 128 + its number (InterruptedExitStatus);
// on Windows a console's event exits as the signal that means the same.
