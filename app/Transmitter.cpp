// The transmitter: takes the frame in TxFrame to the board over the link that
// CommMode selects, and waits for the board's answers.
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

#include "app/Application.h"
#include "app/Encoder.h"
#include "app/Feedback.h"
#include "app/Unit1.h"
#include "serial/ReceiveState.h"
#include "serial/Unit2.h"

namespace {

// The serial wait looks at its flags at least this often.
constexpr int AnswerPollMs = 1;

} // namespace

void TForm1::Send_PVR(const std::string& /*label*/)
{
    const std::span<const Byte> frame(TxFrame.data(), static_cast<std::size_t>(TxLength - 1));
    if (CommMode == ModeRS232) {
        for (Byte value : frame)
            FSend(value);
    } else if (CommMode == ModeNetwork) {
        SendDatagram(frame);
        if (NoReply == 0)
            Net_Read_Neg();
    }
}

void TForm1::WaitAck(const std::string& label)
{
    WaitLabel = label;
    TimedOut = 0;
    Timer1->start();
    AnswerReceived = 0;
    // Wakes for every window message (the serial receive events among them)
    // and at least every millisecond, without spinning.
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    poll.start(AnswerPollMs);
    try {
        while (AnswerReceived == 0 && TimedOut == 0) {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
            if (ProgramTerminating())
                throw EAbort();
        }
    } catch (...) {
        Timer1->stop();
        throw;
    }
    AnswerReceived = 0;
    Timer1->stop();
}

void TForm1::FSend(Byte /*value*/)
{
    throw std::runtime_error("Serial link not available yet");
}

void TForm1::SendDatagram(std::span<const Byte> /*frame*/)
{
    throw std::runtime_error("Network link not available yet");
}

void TForm1::Net_Read_Neg()
{
}

void TForm1::Translation()
{
}
