// What an update will do, told before anything is sent: --dry-run's plan, and
// the question a search-selected update asks before it flashes what it found.
#pragma once

#include <cstdio>
#include <string>

#include "cli/UpdateBoards.h"

// Prints the plan: every board with its key, its spelling as given and its
// link, then every file with its size and SHA-256; with --json one plan
// object. False, with the reason,
// when the plan is not sound (a board without an address, a file that cannot
// be read).
bool PrintPlan(const TUpdatePlan& plan, std::FILE* out, std::string& error);

// Whether the boards a search found may be updated: --yes says so; on a
// terminal the operator is asked (after the list on standard error); without
// one the update is refused, with the reason.
bool ConfirmSearchedBoards(const TUpdatePlan& plan, bool yes, std::string& error);
