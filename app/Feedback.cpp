#include "app/Feedback.h"

#include <QApplication>
#include <QMessageBox>

int BeepCount = 0;

QString ErrorReportText(const std::string& message)
{
    QString text = QString::fromLatin1(message.data(), static_cast<qsizetype>(message.size()));
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        text += QLatin1Char('.');
    return text;
}

void ShowException(const std::exception& error)
{
    if (dynamic_cast<const EAbort*>(&error) != nullptr)
        return;
    QMessageBox::critical(QApplication::activeWindow(), ProgramName, ErrorReportText(error.what()));
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

void Beep()
{
    ++BeepCount;
    QApplication::beep();
}

void BeepTimes(int count)
{
    for (int k = 0; k < count; ++k)
        Beep();
}
