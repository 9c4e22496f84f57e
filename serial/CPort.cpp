#include "serial/CPort.h"

#include <QScopeGuard>

#include <array>
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

template <typename Values>
void TComSettingsGroup<Values>::Assign(const TComSettingsGroup& source)
{
    values_ = source.values_;
    Reapply();
}

template <typename Values>
template <typename T>
void TComSettingsGroup<Values>::Change(T Values::*member, T value)
{
    if (values_.*member == value)
        return;
    values_.*member = value;
    Reapply();
}

template <typename Values>
void TComSettingsGroup<Values>::Reapply()
{
    (port_.*reapply_)();
}

template class TComSettingsGroup<TComParityValues>;
template class TComSettingsGroup<TComFlowValues>;
template class TComSettingsGroup<TComTimeoutValues>;
template class TComSettingsGroup<TComBufferValues>;

TComParity::TComParity(TCustomComPort& port) : TComSettingsGroup(port, &TCustomComPort::ApplyLineStateIfOpen) {}

void TComParity::SetBits(TParityBits value) { Change(&TComParityValues::Bits, value); }
void TComParity::SetCheck(bool value) { Change(&TComParityValues::Check, value); }
void TComParity::SetReplace(bool value) { Change(&TComParityValues::Replace, value); }
void TComParity::SetReplaceChar(std::uint8_t value) { Change(&TComParityValues::ReplaceChar, value); }

TComFlowControl::TComFlowControl(TCustomComPort& port)
    : TComSettingsGroup(port, &TCustomComPort::ApplyLineStateIfOpen)
{
}

TFlowControl TComFlowControl::FlowControl() const
{
    const TComFlowValues& v = values_;
    bool noXonXoff = !v.XonXoffIn && !v.XonXoffOut;
    if (v.ControlRTS == rtsHandshake && v.OutCTSFlow && noXonXoff)
        return fcHardware;
    if (v.ControlRTS == rtsDisable && !v.OutCTSFlow && v.XonXoffIn && v.XonXoffOut)
        return fcSoftware;
    if (v.ControlRTS != rtsDisable || v.OutCTSFlow || !noXonXoff)
        return fcCustom;
    return fcNone;
}

void TComFlowControl::SetFlowControl(TFlowControl value)
{
    if (value != fcCustom) {
        values_.ControlRTS = value == fcHardware ? rtsHandshake : rtsDisable;
        values_.OutCTSFlow = value == fcHardware;
        values_.XonXoffIn = value == fcSoftware;
        values_.XonXoffOut = value == fcSoftware;
    }
    Reapply();
}

void TComFlowControl::SetOutCTSFlow(bool value) { Change(&TComFlowValues::OutCTSFlow, value); }
void TComFlowControl::SetOutDSRFlow(bool value) { Change(&TComFlowValues::OutDSRFlow, value); }
void TComFlowControl::SetControlDTR(TDTRFlowControl value) { Change(&TComFlowValues::ControlDTR, value); }
void TComFlowControl::SetControlRTS(TRTSFlowControl value) { Change(&TComFlowValues::ControlRTS, value); }
void TComFlowControl::SetXonXoffOut(bool value) { Change(&TComFlowValues::XonXoffOut, value); }
void TComFlowControl::SetXonXoffIn(bool value) { Change(&TComFlowValues::XonXoffIn, value); }
void TComFlowControl::SetDSRSensitivity(bool value) { Change(&TComFlowValues::DSRSensitivity, value); }
void TComFlowControl::SetTxContinueOnXoff(bool value) { Change(&TComFlowValues::TxContinueOnXoff, value); }
void TComFlowControl::SetXonChar(std::uint8_t value) { Change(&TComFlowValues::XonChar, value); }
void TComFlowControl::SetXoffChar(std::uint8_t value) { Change(&TComFlowValues::XoffChar, value); }

TComTimeouts::TComTimeouts(TCustomComPort& port) : TComSettingsGroup(port, &TCustomComPort::ApplyTimeoutsIfOpen) {}

void TComTimeouts::SetReadInterval(std::int32_t value) { Change(&TComTimeoutValues::ReadInterval, value); }
void TComTimeouts::SetReadTotalMultiplier(std::int32_t value) { Change(&TComTimeoutValues::ReadTotalMultiplier, value); }
void TComTimeouts::SetReadTotalConstant(std::int32_t value) { Change(&TComTimeoutValues::ReadTotalConstant, value); }
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t value) { Change(&TComTimeoutValues::WriteTotalMultiplier, value); }
void TComTimeouts::SetWriteTotalConstant(std::int32_t value) { Change(&TComTimeoutValues::WriteTotalConstant, value); }

TComBuffer::TComBuffer(TCustomComPort& port) : TComSettingsGroup(port, &TCustomComPort::ApplyBufferIfOpen) {}

void TComBuffer::SetInputSize(std::int32_t value) { Change(&TComBufferValues::InputSize, EvenSize(value)); }
void TComBuffer::SetOutputSize(std::int32_t value) { Change(&TComBufferValues::OutputSize, EvenSize(value)); }

// --- The port ---

TCustomComPort::TCustomComPort(QObject* owner, std::shared_ptr<TComSync> sync)
    : QObject(owner), sync_(sync ? std::move(sync) : MakeQtComSync())
{
}

TCustomComPort::~TCustomComPort()
{
    CloseWhileDestroying();
}

void TCustomComPort::CloseWhileDestroying() noexcept
{
    try {
        Close();
    } catch (...) {
        // A handler failed during the close; the port is closed below all the same.
    }
    StopThread();
    device_.reset();
    connected_ = false;
}

TComPort::~TComPort()
{
    CloseWhileDestroying();
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
    // A handler of a dispatch that runs while this close waits for the event
    // thread may close the port again: that nested close returns at once and
    // this one finishes the job.
    if (!connected_ || closing_)
        return;
    closing_ = true;
    const auto closed = qScopeGuard([this] { closing_ = false; });
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
    return {baudRate_ == brCustom ? customBaudRate_ : BitsPerSecond[baudRate_], dataBits_, stopBits_, discardNull_,
            parity_.Settings(), flowControl_.Settings(), XonXoffLimit(), eventChar_};
}

void TCustomComPort::ApplyDCB()
{
    device_->SetLineState(LineSettings());
}

void TCustomComPort::ApplyTimeouts()
{
    device_->SetTimeouts(timeouts_.Settings());
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

std::string TCustomComPort::OpenedDevice() const
{
    return device_ ? device_->Path() : std::string();
}

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
        throw EComPort(ecRead, NotOpenError);
    if (Count < 0 || (Buffer == nullptr && Count > 0))
        throw EComPort(ecRead, InvalidValueError);
    std::int32_t read = device_->Read(static_cast<std::uint8_t*>(Buffer), Count);
    BytesWaiting();
    return read;
}

std::int32_t TCustomComPort::WriteBytes(const void* Buffer, std::int32_t Count)
{
    if (!device_)
        throw EComPort(ecWrite, NotOpenError);
    if (Count < 0 || (Buffer == nullptr && Count > 0))
        throw EComPort(ecWrite, InvalidValueError);
    std::int32_t written = device_->Write(static_cast<const std::uint8_t*>(Buffer), Count);
    if (written > 0 && thread_)
        thread_->NotifyWritten();
    return written;
}

std::int32_t TCustomComPort::BytesWaiting()
{
    if (!device_)
        throw EComPort(ecClearError, NotOpenError);
    return device_->InputCount();
}

std::int32_t TCustomComPort::BytesQueued()
{
    if (!device_)
        return 0;
    return device_->OutputCount().value_or(0);
}

TComErrors TCustomComPort::LineErrors()
{
    if (!device_)
        throw EComPort(ecClearError, NotOpenError);
    return device_->TakeErrors(parity_.Check());
}

TComSignals TCustomComPort::ModemSignals()
{
    if (!device_)
        throw EComPort(ecModemStatus, NotOpenError);
    return ReadModemLines(device_->Handle()).value_or(TComSignals{});
}

// --- The event thread and the dispatch ---

void TCustomComPort::StartThread()
{
    if (events_.Empty())
        return;
    auto thread = std::make_unique<TComThread>(*this, *device_, WatchedEvents(), syncMethod_, sync_,
                                               Rx80Mark());
    thread->Start();
    thread_ = std::move(thread);
}

TComEvents TCustomComPort::WatchedEvents() const
{
    // Watching line errors, breaks and modem lines costs the event thread a
    // look at the device several times a second; nobody would hear of them
    // without a handler.
    const std::array<std::pair<TComEvent, bool>, 6> polled = {{
        {evError, bool(OnError)},
        {evBreak, bool(OnBreak)},
        {evRing, bool(OnRing)},
        {evCTS, bool(OnCTSChange)},
        {evDSR, bool(OnDSRChange)},
        {evRLSD, bool(OnRLSDChange)},
    }};
    TComEvents watched = events_;
    for (const auto& [event, bound] : polled) {
        if (!bound)
            watched.Exclude(event);
    }
    return watched;
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
