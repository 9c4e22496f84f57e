// The main window's side (TForm1) of its session: the link it runs over, and what the
// window shows of the session's events.
#include <QLabel>

#include "app/Gauge.h"
#include "app/Unit1.h"
#include "app/Unit2.h"

namespace {

constexpr qint64 GaugeTextIntervalMs = 250;

} // namespace

TBoardLink& TForm1::LinkOfMode()
{
    if (CommMode == ModeRS232 && Form2 != nullptr)
        return Form2->SerialLink();
    if (CommMode == ModeNetwork)
        return udpLink_->Link();
    return noLink_->Link();
}

TSession& TForm1::Session()
{
    session_.UseLink(LinkOfMode());
    // The serial line's alarm and late answers reach the window in every mode.
    if (Form2 != nullptr)
        session_.HearFrom(Form2->SerialLink());
    session_.SetWatchdogMs(WatchdogMs);
    return session_;
}

void TForm1::ShowStatus(const QString& text)
{
    // The stream repeats its status after every block: an unchanged text
    // needs no painting.
    if (text == Panel1->text())
        return;
    Panel1->setText(text);
    // Between a block and the end of its query nothing else is serviced.
    Panel1->repaint();
    emit StatusShown(text);
}

void TForm1::Status(const std::string& text)
{
    ShowStatus(QString::fromStdString(text));
}

void TForm1::FileStarted(const std::string& /*path*/, std::int64_t size)
{
    Gauge1->SetMaxValue(size);
    progress_.emplace(size);
    gaugeTextShown_.invalidate();
}

void TForm1::BlockSent(std::int64_t gaugePosition, std::int64_t bytesDone, std::int64_t /*total*/)
{
    Gauge1->SetProgress(gaugePosition);
    if (!progress_)
        return;
    progress_->Record(bytesDone);
    // The text changes with every block; a few times a second is all an
    // operator can read.
    if (!gaugeTextShown_.isValid() || gaugeTextShown_.hasExpired(GaugeTextIntervalMs)) {
        gaugeTextShown_.start();
        Gauge1->ShowLabel(*progress_);
    }
}

void TForm1::Answer(const DecodeOutcome& outcome)
{
    Feedback.BeepTimes(outcome.beeps);
    // The burn line replaces the burn state at once.
    if (!outcome.burnStateText.empty())
        Panel1->setText(QString::fromStdString(outcome.burnStateText));
    if (!outcome.burnLineText.empty())
        Panel1->setText(QString::fromStdString(outcome.burnLineText));
}

void TForm1::MissingAnswer(const TMissingAnswer& missing)
{
    Timer1Timer(missing.wait);
}

void TForm1::ShortWrite()
{
    ShowMessage(QStringLiteral("RS232 Error Operation Cancelled \r\n"), QStringLiteral("Error"), true);
}

void TForm1::FileNotWritten(const std::string& path, const std::string& reason)
{
    ShowWarning(QStringLiteral("The file '%1' was not written: %2.").arg(QString::fromStdString(path),
                                                                          QString::fromStdString(reason)),
                QStringLiteral("Update Warning"));
}

bool TForm1::StopAfterSilence(int missingInARow)
{
    return AskYesNo(QStringLiteral("The board has not answered %1 times in a row. Stop the update?").arg(missingInARow),
                    QStringLiteral("Board Not Answering"));
}
