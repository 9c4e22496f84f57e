// The main window's side of its session: the transmitter's and the encoder's
// entry points, and what the window shows of the session's events.
#include <QCoreApplication>
#include <QLabel>
#include <QTimer>

#include "app/Application.h"
#include "app/Feedback.h"
#include "app/Gauge.h"
#include "app/Unit1.h"
#include "network/IdUDPClient.h"
#include "serial/CPort.h"
#include "app/Unit2.h"

namespace {

constexpr qint64 GaugeTextIntervalMs = 250;

LinkKind LinkOfMode(Byte mode)
{
    if (mode == ModeRS232)
        return LinkKind::Serial;
    if (mode == ModeNetwork)
        return LinkKind::Network;
    return LinkKind::Usb;
}

} // namespace

TSession& TForm1::Session()
{
    session_.Link = {LinkOfMode(CommMode), Form2 != nullptr ? Form2->ComPort1 : nullptr, IdUDPClient1};
    session_.WatchdogMs = Timer1->interval();
    return session_;
}

void TForm1::Execute_Command(const std::string& callText)
{
    Session().Execute_Command(callText);
}

void TForm1::Trans(const std::string& fieldList)
{
    Session().Trans(fieldList);
}

void TForm1::Send_PVR(const std::string& label)
{
    Session().Send_PVR(label);
}

void TForm1::FSend(Byte value)
{
    Session().FSend(value);
}

void TForm1::WaitAck(const std::string& label)
{
    Session().WaitAck(label);
}

void TForm1::Net_Read_Neg()
{
    Session().Net_Read_Neg();
}

void TForm1::Translation()
{
    Session().Translation();
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
    BeepTimes(outcome.beeps);
    // The burn line replaces the burn state at once.
    if (!outcome.burnStateText.empty())
        Panel1->setText(QString::fromStdString(outcome.burnStateText));
    if (!outcome.burnLineText.empty())
        Panel1->setText(QString::fromStdString(outcome.burnLineText));
}

void TForm1::MissingAnswer(const std::string& /*label*/)
{
    Timer1Timer();
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

bool TForm1::StopAfterSilence(int /*missingInARow*/)
{
    return AskYesNo(QStringLiteral("The board has not answered 3 times in a row. Stop the update?"),
                    QStringLiteral("Board Not Answering"));
}

void TForm1::AwaitEvents(const QDeadlineTimer& deadline)
{
    // Wakes for every window message (the serial receive events among them)
    // and at the deadline, without spinning.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0)));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    if (ProgramTerminating())
        throw EAbort();
}

void TForm1::Service()
{
    ProcessMessages();
}
