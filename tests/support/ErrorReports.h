// The error report of the test programs without windows: their application
// object catches every exception that ends the handling of an event, as the
// window's does, and hands its text to the ErrorReports that a test holds.
#pragma once

#include <QCoreApplication>
#include <string>
#include <vector>

// The application object of the test programs without windows.
class TReportingApplication : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;
    bool notify(QObject* receiver, QEvent* event) override;
};

// Keeps the texts of the errors reported while it exists, in order. A report
// with no ErrorReports to take it fails the running test.
class ErrorReports {
public:
    ErrorReports();
    ~ErrorReports();
    ErrorReports(const ErrorReports&) = delete;
    ErrorReports& operator=(const ErrorReports&) = delete;

    const std::vector<std::string>& Texts() const { return texts_; }

private:
    friend class TReportingApplication;
    std::vector<std::string> texts_;
};
