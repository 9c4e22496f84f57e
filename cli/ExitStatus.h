// The exit statuses of orvenda-update.
#pragma once

inline constexpr int ExitUpdated = 0;       // every board updated, every answer received
inline constexpr int ExitIncomplete = 1;    // a missing answer, a board-reported error, a failed board
inline constexpr int ExitBadInput = 2;      // a bad command line or a file that cannot be read; nothing sent
inline constexpr int ExitLinkFailed = 3;    // a link that cannot be opened
inline constexpr int ExitInterrupted = 130; // Ctrl-C
