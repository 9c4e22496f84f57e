#include "transfer/engine/SignalsHeld.h"

// Nothing to hold: see SignalsHeld.h.
struct TSignalsHeld::Before {
};

TSignalsHeld::TSignalsHeld() : before_(std::make_unique<Before>())
{
}

TSignalsHeld::~TSignalsHeld() = default;
