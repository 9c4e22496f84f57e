// The root of the socket components. Every living socket component shares
// one process-wide socket stack: the first component created starts it, the
// last one destroyed shuts it down.
#pragma once

#include <QObject>

#include "network/IdStack.h"

// A component of the socket layer; `owner`, when given, destroys it with
// itself.
class TIdBaseComponent : public QObject {
public:
    explicit TIdBaseComponent(QObject* owner = nullptr) : QObject(owner) {}
};

class TIdComponent : public TIdBaseComponent {
public:
    explicit TIdComponent(QObject* owner = nullptr);
    ~TIdComponent() override;

    // How many socket components are alive in the process.
    static int InstanceCount();

protected:
    // The process-wide stack; it lives at least as long as this component.
    TIdStack& Stack() const { return stack_; }

private:
    TIdStack& stack_;
};
