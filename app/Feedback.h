// Everything the updater tells the operator outside its status panels: the
// standard error report, its own message boxes and the beep. One place, so
// that every box the program shows has the same look.
#pragma once

#include <QString>
#include <exception>
#include <string>

// The program's name: the caption of the standard error report.
inline const QString ProgramName = QStringLiteral("Orvenda Updater");

// The text the standard error report shows for an error message: the message
// with "." appended when its last character sorts after ".".
QString ErrorReportText(const std::string& message);

// Shows the standard error report for an exception (error icon, the program's
// name as caption). A serial port's failure gets the advice for it on a second
// line.
void ShowException(const std::exception& error);

// A modal box with an OK button. `errorIcon` chooses between the error icon and none.
void ShowMessage(const QString& text, const QString& caption, bool errorIcon);

// A modal OK/Cancel box without icon; true when the operator chose OK.
bool ConfirmOkCancel(const QString& text, const QString& caption);

// A modal box with a warning icon and an OK button.
void ShowWarning(const QString& text, const QString& caption);

// A modal Yes/No question; true when the operator chose Yes.
bool AskYesNo(const QString& text, const QString& caption);

// The system beep, counted, so that the beeps can be checked.
class TFeedback {
public:
    void Beep();
    void BeepTimes(int count);
    int BeepCount() const { return beeps_; }

private:
    int beeps_ = 0;
};
