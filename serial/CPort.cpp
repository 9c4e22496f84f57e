#include "serial/CPort.h"

#include <array>
#include <cerrno>
#include <thread>

#include "serial/CPortDevice.h"
#include "serial/CPortThread.h"

namespace {

// Bit rates of TBaudRate, indexed by its ordinal; brCustom takes CustomBaudRate.
constexpr std::array<std::int32_t, br256000 + 1> BitsPerSecond = {
    0, 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000,
};

// The order in which the events of one set are handled.
constexpr std::array<TComEvent, evRx80Full + 1> DispatchOrder = {
    evError, evRxChar, evTxEmpty, evBreak, evRing, evCTS, evDSR, evRxFlag, evRLSD, evRx80Full,
};

// The input queue fills reported by evRx80Full, and the XON/XOFF thresholds.
constexpr std::int32_t Rx80Percent = 80;
constexpr std::int32_t Percent = 100;
constexpr std::int32_t XonXoffDivisor = 4;

std::int32_t EvenSize(std::int32_t size)
{
    return size - size % 2;
}

template <typename Handler, typename... Arguments>
void Call(const Handler& handler, Arguments... arguments)
{
    if (handler)
        handler(arguments...);
}

} // namespace

// --- Settings groups ---

template <typename T>
void TComParity::Change(T& member, T value)
{
    if (member == value)
        return;
    member = value;
    port_.ApplyLineStateIfOpen();
}

void TComParity::Assign(const TComParity& source)
{
    bits_ = source.bits_;
    check_ = source.check_;
    replace_ = source.replace_;
    replaceChar_ = source.replaceChar_;
    port_.ApplyLineStateIfOpen();
}

void TComParity::SetBits(TParityBits value) { Change(bits_, value); }
void TComParity::SetCheck(bool value) { Change(check_, value); }
void TComParity::SetReplace(bool value) { Change(replace_, value); }
void TComParity::SetReplaceChar(std::uint8_t value) { Change(replaceChar_, value); }

template <typename T>
void TComFlowControl::Change(T& member, T value)
{
    if (member == value)
        return;
    member = value;
    port_.ApplyLineStateIfOpen();
}

void TComFlowControl::Assign(const TComFlowControl& source)
{
    outCTSFlow_ = source.outCTSFlow_;
    outDSRFlow_ = source.outDSRFlow_;
    controlDTR_ = source.controlDTR_;
    controlRTS_ = source.controlRTS_;
    xonXoffOut_ = source.xonXoffOut_;
    xonXoffIn_ = source.xonXoffIn_;
    dsrSensitivity_ = source.dsrSensitivity_;
    txContinueOnXoff_ = source.txContinueOnXoff_;
    xonChar_ = source.xonChar_;
    xoffChar_ = source.xoffChar_;
    port_.ApplyLineStateIfOpen();
}

TFlowControl TComFlowControl::FlowControl() const
{
    bool noXonXoff = !xonXoffIn_ && !xonXoffOut_;
    if (controlRTS_ == rtsHandshake && outCTSFlow_ && noXonXoff)
        return fcHardware;
    if (controlRTS_ == rtsDisable && !outCTSFlow_ && xonXoffIn_ && xonXoffOut_)
        return fcSoftware;
    if (controlRTS_ != rtsDisable || outCTSFlow_ || !noXonXoff)
        return fcCustom;
    return fcNone;
}

void TComFlowControl::SetFlowControl(TFlowControl value)
{
    if (value != fcCustom) {
        controlRTS_ = value == fcHardware ? rtsHandshake : rtsDisable;
        outCTSFlow_ = value == fcHardware;
        xonXoffIn_ = value == fcSoftware;
        xonXoffOut_ = value == fcSoftware;
    }
    port_.ApplyLineStateIfOpen();
}

void TComFlowControl::SetOutCTSFlow(bool value) { Change(outCTSFlow_, value); }
void TComFlowControl::SetOutDSRFlow(bool value) { Change(outDSRFlow_, value); }
void TComFlowControl::SetControlDTR(TDTRFlowControl value) { Change(controlDTR_, value); }
void TComFlowControl::SetControlRTS(TRTSFlowControl value) { Change(controlRTS_, value); }
void TComFlowControl::SetXonXoffOut(bool value) { Change(xonXoffOut_, value); }
void TComFlowControl::SetXonXoffIn(bool value) { Change(xonXoffIn_, value); }
void TComFlowControl::SetDSRSensitivity(bool value) { Change(dsrSensitivity_, value); }
void TComFlowControl::SetTxContinueOnXoff(bool value) { Change(txContinueOnXoff_, value); }
void TComFlowControl::SetXonChar(std::uint8_t value) { Change(xonChar_, value); }
void TComFlowControl::SetXoffChar(std::uint8_t value) { Change(xoffChar_, value); }

void TComTimeouts::Change(std::int32_t& member, std::int32_t value)
{
    if (member == value)
        return;
    member = value;
    port_.ApplyTimeoutsIfOpen();
}

void TComTimeouts::Assign(const TComTimeouts& source)
{
    readInterval_ = source.readInterval_;
    readTotalMultiplier_ = source.readTotalMultiplier_;
    readTotalConstant_ = source.readTotalConstant_;
    writeTotalMultiplier_ = source.writeTotalMultiplier_;
    writeTotalConstant_ = source.writeTotalConstant_;
    port_.ApplyTimeoutsIfOpen();
}

void TComTimeouts::SetReadInterval(std::int32_t value) { Change(readInterval_, value); }
void TComTimeouts::SetReadTotalMultiplier(std::int32_t value) { Change(readTotalMultiplier_, value); }
void TComTimeouts::SetReadTotalConstant(std::int32_t value) { Change(readTotalConstant_, value); }
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t value) { Change(writeTotalMultiplier_, value); }
void TComTimeouts::SetWriteTotalConstant(std::int32_t value) { Change(writeTotalConstant_, value); }

void TComBuffer::Change(std::int32_t& member, std::int32_t value)
{
    value = EvenSize(value);
    if (member == value)
        return;
    member = value;
    port_.ApplyBufferIfOpen();
}

void TComBuffer::Assign(const TComBuffer& source)
{
    inputSize_ = source.inputSize_;
    outputSize_ = source.outputSize_;
    port_.ApplyBufferIfOpen();
}

void TComBuffer::SetInputSize(std::int32_t value) { Change(inputSize_, value); }
void TComBuffer::SetOutputSize(std::int32_t value) { Change(outputSize_, value); }

// --- The port ---

TCustomComPort::TCustomComPort(QObject* owner, std::shared_ptr<TComSync> sync)
    : QObject(owner), sync_(sync ? std::move(sync) : MakeQtComSync())
{
}

TCustomComPort::~TCustomComPort()
{
    try {
        Close();
    } catch (...) {
        // A handler failed during the close; the port is closed below all the same.
    }
    StopThread();
    device_.reset();
}

void TCustomComPort::SetConnected(bool value)
{
    if (loading_) {
        connectedWhenLoaded_ = value;
        return;
    }
    if (value)
        Open();
    else
        Close();
}

void TCustomComPort::Open()
{
    if (connected_)
        return;
    DoBeforeOpen();
    device_ = TComDevice::Open(port_);
    connected_ = true;
    ++opening_;
    try {
        SetupPort();
        StartThread();
    } catch (...) {
        device_.reset();
        connected_ = false;
        throw;
    }
    DoAfterOpen();
    NotifyModemLines();
}

void TCustomComPort::Close()
{
    if (!connected_)
        return;
    NotifyLinesOff();
    DoBeforeClose();
    // Every read and write is complete when its call returns: no request is
    // left to abort. The thread's pending dispatch still runs while it stops.
    StopThread();
    device_.reset();
    connected_ = false;
    DoAfterClose();
}

bool TCustomComPort::CanApply() const
{
    return connected_ && updateCount_ == 0 && !loading_;
}

void TCustomComPort::SetupPort()
{
    ApplyBuffer();
    ApplyDCB();
    ApplyTimeouts();
}

void TCustomComPort::ApplyLineStateIfOpen()
{
    if (CanApply())
        ApplyDCB();
}

void TCustomComPort::ApplyTimeoutsIfOpen()
{
    if (CanApply())
        ApplyTimeouts();
}

void TCustomComPort::ApplyBufferIfOpen()
{
    if (CanApply())
        ApplyBuffer();
}

TComLineSettings TCustomComPort::LineSettings() const
{
    TComLineSettings settings;
    settings.bitsPerSecond = baudRate_ == brCustom ? customBaudRate_ : BitsPerSecond[baudRate_];
    settings.dataBits = dataBits_;
    settings.stopBits = stopBits_;
    settings.parity = parity_.Bits();
    settings.parityCheck = parity_.Check();
    settings.parityReplace = parity_.Replace();
    settings.parityReplaceChar = parity_.ReplaceChar();
    settings.discardNull = discardNull_;
    settings.outCTSFlow = flowControl_.OutCTSFlow();
    settings.outDSRFlow = flowControl_.OutDSRFlow();
    settings.dsrSensitivity = flowControl_.DSRSensitivity();
    settings.controlDTR = flowControl_.ControlDTR();
    settings.controlRTS = flowControl_.ControlRTS();
    settings.xonXoffOut = flowControl_.XonXoffOut();
    settings.xonXoffIn = flowControl_.XonXoffIn();
    settings.xonChar = flowControl_.XonChar();
    settings.xoffChar = flowControl_.XoffChar();
    return settings;
}

void TCustomComPort::ApplyDCB()
{
    device_->SetLineState(LineSettings());
}

void TCustomComPort::ApplyTimeouts()
{
    device_->SetTimeouts({timeouts_.ReadInterval(), timeouts_.ReadTotalMultiplier(), timeouts_.ReadTotalConstant(),
                          timeouts_.WriteTotalMultiplier(), timeouts_.WriteTotalConstant()});
}

void TCustomComPort::ApplyBuffer()
{
    device_->SetQueueSizes(buffer_.InputSize(), buffer_.OutputSize());
    if (thread_)
        thread_->SetRx80Mark(Rx80Mark());
}

std::int32_t TCustomComPort::Rx80Mark() const
{
    return static_cast<std::int32_t>(std::int64_t{buffer_.InputSize()} * Rx80Percent / Percent);
}

std::int32_t TCustomComPort::XonXoffLimit() const
{
    return buffer_.InputSize() / XonXoffDivisor;
}

template <typename T>
void TCustomComPort::ChangeLineSetting(T& member, T value)
{
    if (member == value)
        return;
    member = value;
    ApplyLineStateIfOpen();
}

void TCustomComPort::SetBaudRate(TBaudRate value) { ChangeLineSetting(baudRate_, value); }
void TCustomComPort::SetCustomBaudRate(std::int32_t value) { ChangeLineSetting(customBaudRate_, value); }
void TCustomComPort::SetDataBits(TDataBits value) { ChangeLineSetting(dataBits_, value); }
void TCustomComPort::SetStopBits(TStopBits value) { ChangeLineSetting(stopBits_, value); }
void TCustomComPort::SetDiscardNull(bool value) { ChangeLineSetting(discardNull_, value); }
void TCustomComPort::SetEventChar(std::uint8_t value) { ChangeLineSetting(eventChar_, value); }

void TCustomComPort::SetPort(const std::string& value)
{
    if (port_ == value)
        return;
    port_ = value;
    if (connected_) {
        Close();
        Open();
    }
}

void TCustomComPort::SetEvents(TComEvents value)
{
    events_ = value;
}

void TCustomComPort::SetSyncMethod(TSyncMethod value)
{
    if (syncMethod_ == value)
        return;
    if (connected_)
        throw EComPort(ecSetWhileConnected);
    syncMethod_ = value;
}

void TCustomComPort::BeginUpdate()
{
    ++updateCount_;
}

void TCustomComPort::EndUpdate()
{
    if (updateCount_ == 0)
        return;
    --updateCount_;
    if (CanApply())
        SetupPort();
}

void TCustomComPort::BeginLoading()
{
    loading_ = true;
}

void TCustomComPort::Loaded()
{
    loading_ = false;
    if (!connectedWhenLoaded_)
        return;
    try {
        Open();
    } catch (...) {
        sync_->Queue([error = std::current_exception()] { std::rethrow_exception(error); });
    }
}

// --- Reading and writing ---

std::int32_t TCustomComPort::ReadBytes(void* Buffer, std::int32_t Count)
{
    if (!device_)
        throw EComPort(ecRead, EBADF);
    if (Count < 0 || (Buffer == nullptr && Count > 0))
        throw EComPort(ecRead, EINVAL);
    std::int32_t read = device_->Read(static_cast<std::uint8_t*>(Buffer), Count);
    BytesWaiting();
    return read;
}

std::int32_t TCustomComPort::WriteBytes(const void* Buffer, std::int32_t Count)
{
    if (!device_)
        throw EComPort(ecWrite, EBADF);
    if (Count < 0 || (Buffer == nullptr && Count > 0))
        throw EComPort(ecWrite, EINVAL);
    std::int32_t written = device_->Write(static_cast<const std::uint8_t*>(Buffer), Count);
    if (written > 0 && thread_)
        thread_->NotifyWritten();
    return written;
}

std::int32_t TCustomComPort::BytesWaiting()
{
    if (!device_)
        throw EComPort(ecClearError, EBADF);
    return device_->InputCount();
}

TComErrors TCustomComPort::LineErrors()
{
    if (!device_)
        throw EComPort(ecClearError, EBADF);
    return device_->TakeErrors(parity_.Check());
}

TComSignals TCustomComPort::ModemSignals()
{
    if (!device_)
        throw EComPort(ecModemStatus, EBADF);
    return ReadModemLines(device_->Handle()).value_or(TComSignals{});
}

// --- The event thread and the dispatch ---

void TCustomComPort::StartThread()
{
    if (events_.Empty())
        return;
    thread_ = std::make_unique<TComThread>(*this, device_->Handle(), events_, syncMethod_, sync_, Rx80Mark());
    thread_->Start();
}

void TCustomComPort::StopThread()
{
    if (!thread_)
        return;
    thread_->Stop();
    thread_.reset();
}

bool TCustomComPort::ThreadRunning() const
{
    return thread_ && thread_->Running();
}

void TCustomComPort::DispatchEvents(TComEvents events)
{
    const std::uint64_t opening = opening_;
    for (TComEvent event : DispatchOrder) {
        // A handler may have closed the port, or reopened it.
        if (!connected_ || opening_ != opening)
            return;
        if (events.Contains(event))
            DispatchOne(event);
    }
}

void TCustomComPort::QueueEvents(TComSync& sync, TComEvents events)
{
    const std::uint64_t opening = opening_;
    for (TComEvent event : DispatchOrder) {
        if (!events.Contains(event))
            continue;
        sync.Queue([this, event, opening] {
            if (connected_ && opening_ == opening)
                DispatchOne(event);
        });
    }
}

void TCustomComPort::DispatchOne(TComEvent event)
{
    switch (event) {
    case evError:
        if (TComErrors errors = LineErrors(); !errors.Empty())
            DoError(errors);
        break;
    case evRxChar:
        if (std::int32_t count = BytesWaiting(); count > 0)
            DoRxChar(count);
        break;
    case evTxEmpty: DoTxEmpty(); break;
    case evBreak: DoBreak(); break;
    case evRing: DoRing(); break;
    case evCTS: DoCTSChange(ModemSignals().Contains(csCTS)); break;
    case evDSR: DoDSRChange(ModemSignals().Contains(csDSR)); break;
    case evRxFlag: DoRxFlag(); break;
    case evRLSD: DoRLSDChange(ModemSignals().Contains(csRLSD)); break;
    case evRx80Full: DoRx80Full(); break;
    }
}

void TCustomComPort::NotifyModemLines()
{
    std::optional<TComSignals> lines = ReadModemLines(device_->Handle());
    if (!lines)
        return;
    DoCTSChange(lines->Contains(csCTS));
    DoDSRChange(lines->Contains(csDSR));
    DoRLSDChange(lines->Contains(csRLSD));
}

void TCustomComPort::NotifyLinesOff()
{
    DoCTSChange(false);
    DoDSRChange(false);
    DoRLSDChange(false);
}

// --- Notifications ---

void TCustomComPort::DoAfterClose() { Call(OnAfterClose, this); }
void TCustomComPort::DoAfterOpen() { Call(OnAfterOpen, this); }
void TCustomComPort::DoBeforeClose() { Call(OnBeforeClose, this); }
void TCustomComPort::DoBeforeOpen() { Call(OnBeforeOpen, this); }
void TCustomComPort::DoRxChar(int Count) { Call(OnRxChar, this, Count); }
void TCustomComPort::DoTxEmpty() { Call(OnTxEmpty, this); }
void TCustomComPort::DoBreak() { Call(OnBreak, this); }
void TCustomComPort::DoRing() { Call(OnRing, this); }
void TCustomComPort::DoRxFlag() { Call(OnRxFlag, this); }
void TCustomComPort::DoCTSChange(bool OnOff) { Call(OnCTSChange, this, OnOff); }
void TCustomComPort::DoDSRChange(bool OnOff) { Call(OnDSRChange, this, OnOff); }
void TCustomComPort::DoError(TComErrors Errors) { Call(OnError, this, Errors); }
void TCustomComPort::DoRLSDChange(bool OnOff) { Call(OnRLSDChange, this, OnOff); }
void TCustomComPort::DoRx80Full() { Call(OnRx80Full, this); }
