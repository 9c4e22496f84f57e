// What a thread held back before a TSignalsHeld: the mask a wait that takes
// the signals sleeps with.
#pragma once

#include <csignal>

#include "transfer/engine/SignalsHeld.h"

struct TSignalsHeld::Before {
    sigset_t mask{};
};
