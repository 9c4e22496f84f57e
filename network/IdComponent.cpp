#include "network/IdComponent.h"

#include <memory>
#include <mutex>

namespace {

// The window creates its socket components on the GUI thread; the command
// line its boards' on the main thread, and the tests theirs on threads of
// their own, hence the lock.
std::mutex StackLock;
int LivingComponents = 0;
std::unique_ptr<TIdStack> ProcessStack;

TIdStack& AcquireStack()
{
    const std::lock_guard lock(StackLock);
    if (!ProcessStack)
        ProcessStack = CreatePlatformStack();
    ++LivingComponents;
    return *ProcessStack;
}

void ReleaseStack()
{
    const std::lock_guard lock(StackLock);
    if (--LivingComponents == 0)
        ProcessStack.reset();
}

} // namespace

TIdComponent::TIdComponent(QObject* owner) : TIdBaseComponent(owner), stack_(AcquireStack())
{
}

TIdComponent::~TIdComponent()
{
    ReleaseStack();
}

int TIdComponent::InstanceCount()
{
    const std::lock_guard lock(StackLock);
    return LivingComponents;
}
