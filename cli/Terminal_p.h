// What the platform's half of Terminal tells the shared one.
#pragma once

#include "cli/Terminal.h"

// The size the terminal at `stream` tells; zero where it tells none.
TTerminalSize ToldTerminalSize(int stream);
