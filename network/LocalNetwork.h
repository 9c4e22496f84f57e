// The machine's networks, read from the system for a board search.
#pragma once

#include "network/SearchPlan.h"

// Every interface with its IPv4 addresses, and the source of the default
// route. Raises EIdException when the system cannot list the interfaces.
TLocalNetwork ReadLocalNetwork();
