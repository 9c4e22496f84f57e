// The transmitter: takes the frame in TxFrame to the board over the link that
// CommMode selects, and waits for the board's answers.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <algorithm>

#include "app/Application.h"
#include "app/Encoder.h"
#include "app/Feedback.h"
#include "app/Unit1.h"
#include "network/IdUDPClient.h"
#include "serial/CPort.h"
#include "serial/ReceiveState.h"
#include "serial/Unit2.h"

std::array<Byte, NetBufferSize> NetBuffer{};

namespace {

// The serial wait looks at its flags at least this often.
constexpr int AnswerPollMs = 1;
// The network wait services the window at least this often.
constexpr int NetServiceSliceMs = 50;

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

void TForm1::FSend(Byte value)
{
    if (Form2->ComPort1->WriteBytes(&value, 1) != 1)
        ShowMessage(QStringLiteral("RS232 Error Operation Cancelled \r\n"), QStringLiteral("Error"), true);
}

void TForm1::SendDatagram(std::span<const Byte> frame)
{
    std::copy(frame.begin(), frame.end(), NetBuffer.begin());
    IdUDPClient1->SendBytes(NetBuffer.data(), static_cast<std::int32_t>(frame.size()));
}

void TForm1::Net_Read_Neg()
{
    WaitLabel = "Net";
    TimedOut = 0;
    std::fill_n(NetBuffer.begin(), NetAnswerSize, Byte{0});
    const std::int32_t n = ReceiveAnswerDatagram();
    if (n == 0) {
        // The board did not answer within the watchdog's interval: the same
        // report as on the serial link, and the transfer goes on.
        Timer1Timer();
        return;
    }
    std::copy_n(NetBuffer.begin(), n, RxBlock.begin());
    RxCount = n;
    Translation();
}

std::int32_t TForm1::ReceiveAnswerDatagram()
{
    // Bounded by the watchdog's interval. The window is serviced (repaint,
    // Escape) whenever a slice has passed since it last was, also between
    // answers that come quickly, so that it never looks frozen.
    QDeadlineTimer deadline(Timer1->interval());
    for (;;) {
        const auto slice = static_cast<std::int32_t>(std::min<qint64>(deadline.remainingTime(), NetServiceSliceMs));
        const std::int32_t n = IdUDPClient1->ReceiveBytes(NetBuffer.data(), NetAnswerSize, slice);
        if (!lastService_.isValid() || lastService_.hasExpired(NetServiceSliceMs)) {
            lastService_.start();
            ProcessMessages();
        }
        if (n > 0 || deadline.hasExpired())
            return n;
    }
}

void TForm1::Translation()
{
    std::copy_n(RxBlock.begin(), RxCount, RxBuffer.begin());
    RxStart = 1;
    Form2->Message_Answer_Decoding();
}
