#include "serial/CPortDevice.h"

namespace {

// The smallest queue a device can work with.
constexpr std::int32_t MinimumQueueSize = 2;

} // namespace

bool QueueSizesUsable(std::int32_t inputSize, std::int32_t outputSize)
{
    return inputSize >= MinimumQueueSize && outputSize >= MinimumQueueSize;
}

bool TimeoutsValid(const TComTimeoutValues& timeouts)
{
    bool intervalValid = timeouts.ReadInterval >= 0 || timeouts.ReadInterval == NoReadInterval;
    return intervalValid && timeouts.ReadTotalMultiplier >= 0 && timeouts.ReadTotalConstant >= 0
           && timeouts.WriteTotalMultiplier >= 0 && timeouts.WriteTotalConstant >= 0;
}
