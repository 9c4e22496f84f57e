#include "tests/support/ErrorReports.h"

#include <gtest/gtest.h>

#include <exception>

namespace {

// Events are handled on the main thread only, so one current recorder does.
ErrorReports* current = nullptr;

} // namespace

bool TReportingApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QCoreApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        if (current == nullptr)
            ADD_FAILURE() << "error reported with no test taking it: " << error.what();
        else
            current->texts_.emplace_back(error.what());
    }
    return false;
}

ErrorReports::ErrorReports()
{
    current = this;
}

ErrorReports::~ErrorReports()
{
    current = nullptr;
}
