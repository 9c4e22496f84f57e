#include "app/Feedback.h"

#include <QApplication>
#include <QMessageBox>

#include "serial/CPort.h"
#include "transfer/report/PortHints.h"

namespace {

// The report's text: the error's message and, for a serial port's failure,
// on a line of its own the advice that the command line gives for it too.
QString ReportText(const std::exception& error)
{
    QString text = ErrorReportText(error.what());
    if (const auto* portError = dynamic_cast<const EComPort*>(&error)) {
        const QString hint = PortHint(*portError);
        if (!hint.isEmpty())
            text += QLatin1Char('\n') + hint;
    }
    return text;
}

} // namespace

QString ErrorReportText(const std::string& message)
{
    QString text = QString::fromLatin1(message.data(), static_cast<qsizetype>(message.size()));
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        text += QLatin1Char('.');
    return text;
}

void ShowException(const std::exception& error)
{
    QMessageBox::critical(QApplication::activeWindow(), ProgramName, ReportText(error));
}

void ShowMessage(const QString& text, const QString& caption, bool errorIcon)
{
    QMessageBox box(errorIcon ? QMessageBox::Critical : QMessageBox::NoIcon, caption, text,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

bool ConfirmOkCancel(const QString& text, const QString& caption)
{
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok | QMessageBox::Cancel,
                    QApplication::activeWindow());
    return box.exec() == QMessageBox::Ok;
}

void ShowWarning(const QString& text, const QString& caption)
{
    QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

bool AskYesNo(const QString& text, const QString& caption)
{
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No,
                    QApplication::activeWindow());
    return box.exec() == QMessageBox::Yes;
}

void TFeedback::Beep()
{
    ++beeps_;
    QApplication::beep();
}

void TFeedback::BeepTimes(int count)
{
    for (int k = 0; k < count; ++k)
        Beep();
}
