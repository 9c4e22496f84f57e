#include "serial/CPortDevice.h"

#include <windows.h>

#include <QScopeGuard>
#include <QString>

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>
#include <utility>

namespace {

// The bit rates the communications interface names (CBR_*); a driver may
// take others, and SetCommState tells.
constexpr std::array<std::int32_t, 15> StandardRates = {
    CBR_110, CBR_300, CBR_600, CBR_1200, CBR_2400, CBR_4800, CBR_9600, CBR_14400,
    CBR_19200, CBR_38400, CBR_56000, CBR_57600, CBR_115200, CBR_128000, CBR_256000,
};

// The device namespace: a port is a device, not a file, and COM10 and above
// are reachable only through it.
constexpr std::string_view DeviceNamespace = "\\\\.\\";

// The port is the updater's alone while it is open.
constexpr DWORD NoSharing = 0;

// Indexed by TDataBits, TStopBits, TParityBits, TDTRFlowControl and
// TRTSFlowControl.
constexpr std::array<BYTE, 4> ByteSizes = {5, 6, 7, 8};
constexpr std::array<BYTE, 3> StopBitValues = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
constexpr std::array<BYTE, 5> ParityValues = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};
constexpr std::array<DWORD, 3> DtrControls = {DTR_CONTROL_DISABLE, DTR_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE};
constexpr std::array<DWORD, 4> RtsControls = {RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE,
                                              RTS_CONTROL_TOGGLE};

// The device's error flags, as ClearCommError reports them.
constexpr std::array<std::pair<DWORD, TComError>, 8> ErrorFlags = {{
    {CE_FRAME, erFrame},
    {CE_RXPARITY, erParity},
    {CE_OVERRUN, erOverrun},
    {CE_BREAK, erBreak},
    {CE_IOE, erDevice},
    {CE_MODE, erMode},
    {CE_RXOVER, erRxOverflow},
    {CE_TXFULL, erTxFull},
}};

// The modem input lines, as GetCommModemStatus reports them.
constexpr std::array<std::pair<DWORD, TComSignal>, 4> ModemLines = {{
    {MS_CTS_ON, csCTS},
    {MS_DSR_ON, csDSR},
    {MS_RING_ON, csRing},
    {MS_RLSD_ON, csRLSD},
}};

[[noreturn]] void Fail(std::int32_t code, DWORD error)
{
    throw EComPort(code, static_cast<std::int32_t>(error));
}

[[noreturn]] void FailWithLastError(std::int32_t code)
{
    Fail(code, ::GetLastError());
}

// The errors of a device that has no modem lines to tell (a port that Wine
// maps to a pseudo-terminal).
bool NotOffered(DWORD error)
{
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION || error == ERROR_INVALID_PARAMETER;
}

// The input thresholds are counted in a WORD.
WORD ThresholdOf(std::int32_t bytes)
{
    return static_cast<WORD>(std::min<std::int32_t>(bytes, std::numeric_limits<WORD>::max()));
}

void BuildLineState(DCB& state, const TComLineSettings& settings)
{
    const TComParityValues& parity = settings.parity;
    const TComFlowValues& flow = settings.flow;
    state.BaudRate = static_cast<DWORD>(settings.bitsPerSecond);
    // Raw bytes: the interface knows no other transfer.
    state.fBinary = TRUE;
    state.EofChar = 0;
    state.ByteSize = ByteSizes[settings.dataBits];
    state.StopBits = StopBitValues[settings.stopBits];
    state.Parity = ParityValues[parity.Bits];
    state.fParity = parity.Check;
    state.fErrorChar = parity.Check && parity.Replace;
    state.ErrorChar = static_cast<char>(parity.ReplaceChar);
    state.fNull = settings.discardNull;
    state.fOutxCtsFlow = flow.OutCTSFlow;
    state.fOutxDsrFlow = flow.OutDSRFlow;
    state.fDsrSensitivity = flow.DSRSensitivity;
    state.fDtrControl = DtrControls[flow.ControlDTR];
    state.fRtsControl = RtsControls[flow.ControlRTS];
    state.fOutX = flow.XonXoffOut;
    state.fInX = flow.XonXoffIn;
    state.fTXContinueOnXoff = flow.TxContinueOnXoff;
    state.XonChar = static_cast<char>(flow.XonChar);
    state.XoffChar = static_cast<char>(flow.XoffChar);
    state.XonLim = ThresholdOf(settings.xonXoffLimit);
    state.XoffLim = ThresholdOf(settings.xonXoffLimit);
    state.EvtChar = static_cast<char>(settings.eventChar);
    // A line error is reported through the error flags, as on termios; reads
    // and writes go on meanwhile.
    state.fAbortOnError = FALSE;
}

// One overlapped request with a completion signal of its own, started by
// `start` and waited for to its end; the bytes it moved.
template <typename Start>
std::int32_t Transfer(HANDLE handle, std::int32_t failCode, Start start)
{
    OVERLAPPED request{};
    request.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (request.hEvent == nullptr)
        FailWithLastError(failCode);
    const auto release = qScopeGuard([&] { ::CloseHandle(request.hEvent); });
    if (!start(&request) && ::GetLastError() != ERROR_IO_PENDING)
        FailWithLastError(failCode);
    DWORD moved = 0;
    if (!::GetOverlappedResult(handle, &request, &moved, TRUE))
        FailWithLastError(failCode);
    return static_cast<std::int32_t>(moved);
}

} // namespace

const std::int32_t NotOpenError = ERROR_INVALID_HANDLE;
const std::int32_t InvalidValueError = ERROR_INVALID_PARAMETER;

std::vector<std::int32_t> DriverBaudRates()
{
    return {StandardRates.begin(), StandardRates.end()};
}

std::string ComDevicePath(const std::string& name)
{
    if (name.starts_with(DeviceNamespace))
        return name;
    return std::string(DeviceNamespace) + name;
}

std::string ComDeviceName(const std::string& name)
{
    // The system's device names are case-blind.
    const std::string_view bare =
        name.starts_with(DeviceNamespace) ? std::string_view(name).substr(DeviceNamespace.size()) : name;
    return QString::fromUtf8(bare.data(), static_cast<qsizetype>(bare.size())).toUpper().toStdString();
}

std::unique_ptr<TComDevice> TComDevice::Open(const std::string& name)
{
    const std::string path = ComDevicePath(name);
    const std::wstring widePath = QString::fromStdString(path).toStdWString();
    HANDLE handle = ::CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE, NoSharing, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        FailWithLastError(ecOpen);
    // Other devices open by name too (NUL, a disk); only a communications
    // device has a line state.
    DCB state{};
    state.DCBlength = sizeof state;
    if (!::GetCommState(handle, &state)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        Fail(ecOpen, error);
    }
    std::unique_ptr<TComDevice> device(new TComDevice(handle));
    device->path_ = path;
    return device;
}

TComDevice::TComDevice(TComHandle handle) : handle_(handle) {}

TComDevice::~TComDevice()
{
    ::CloseHandle(handle_);
}

std::string TComDevice::Path() const
{
    return path_;
}

void TComDevice::SetQueueSizes(std::int32_t inputSize, std::int32_t outputSize)
{
    if (!QueueSizesUsable(inputSize, outputSize))
        Fail(ecSetup, ERROR_INVALID_PARAMETER);
    if (!::SetupComm(handle_, static_cast<DWORD>(inputSize), static_cast<DWORD>(outputSize)))
        FailWithLastError(ecSetup);
}

void TComDevice::SetLineState(const TComLineSettings& settings)
{
    if (settings.bitsPerSecond <= 0)
        Fail(ecSetState, ERROR_INVALID_PARAMETER);
    // The members the driver does not set keep the device's own values.
    DCB state{};
    state.DCBlength = sizeof state;
    if (!::GetCommState(handle_, &state))
        FailWithLastError(ecSetState);
    BuildLineState(state, settings);
    if (!::SetCommState(handle_, &state))
        FailWithLastError(ecSetState);
}

void TComDevice::SetTimeouts(const TComTimeoutValues& timeouts)
{
    if (!TimeoutsValid(timeouts))
        Fail(ecSetTimeouts, ERROR_INVALID_PARAMETER);
    // MAXDWORD with both read totals 0 is the interface's own "return at once
    // with what is waiting".
    COMMTIMEOUTS values{};
    values.ReadIntervalTimeout =
        timeouts.ReadInterval == NoReadInterval ? MAXDWORD : static_cast<DWORD>(timeouts.ReadInterval);
    values.ReadTotalTimeoutMultiplier = static_cast<DWORD>(timeouts.ReadTotalMultiplier);
    values.ReadTotalTimeoutConstant = static_cast<DWORD>(timeouts.ReadTotalConstant);
    values.WriteTotalTimeoutMultiplier = static_cast<DWORD>(timeouts.WriteTotalMultiplier);
    values.WriteTotalTimeoutConstant = static_cast<DWORD>(timeouts.WriteTotalConstant);
    if (!::SetCommTimeouts(handle_, &values))
        FailWithLastError(ecSetTimeouts);
}

std::int32_t TComDevice::Read(std::uint8_t* buffer, std::int32_t count)
{
    return Transfer(handle_, ecRead, [&](OVERLAPPED* request) {
        return ::ReadFile(handle_, buffer, static_cast<DWORD>(count), nullptr, request);
    });
}

std::int32_t TComDevice::Write(const std::uint8_t* buffer, std::int32_t count)
{
    return Transfer(handle_, ecWrite, [&](OVERLAPPED* request) {
        return ::WriteFile(handle_, buffer, static_cast<DWORD>(count), nullptr, request);
    });
}

std::optional<TComDevice::TStatus> TComDevice::ReadStatus(bool takeErrors)
{
    DWORD flags = 0;
    COMSTAT queues{};
    const std::lock_guard lock(statusLock_);
    if (!::ClearCommError(handle_, &flags, &queues))
        return std::nullopt;
    heldErrorFlags_ |= flags;
    const TStatus status{heldErrorFlags_, static_cast<std::int32_t>(queues.cbInQue),
                         static_cast<std::int32_t>(queues.cbOutQue)};
    if (takeErrors)
        heldErrorFlags_ = 0;
    return status;
}

std::int32_t TComDevice::InputCount()
{
    std::optional<TStatus> status = ReadStatus(true);
    if (!status)
        FailWithLastError(ecClearError);
    return status->inputCount;
}

TComErrors TComDevice::TakeErrors(bool parityCheck)
{
    std::optional<TStatus> status = ReadStatus(true);
    if (!status)
        FailWithLastError(ecClearError);
    TComErrors errors;
    for (const auto& [flag, error] : ErrorFlags) {
        if ((status->errorFlags & flag) != 0)
            errors.Include(error);
    }
    if (!parityCheck)
        errors.Exclude(erParity);
    return errors;
}

std::optional<std::int32_t> TComDevice::OutputCount()
{
    std::optional<TStatus> status = ReadStatus(false);
    if (!status)
        return std::nullopt;
    return status->outputCount;
}

std::optional<std::int32_t> TComDevice::QueuedInput()
{
    std::optional<TStatus> status = ReadStatus(false);
    if (!status)
        return std::nullopt;
    return status->inputCount;
}

std::optional<TComSignals> ReadModemLines(TComHandle handle)
{
    DWORD lines = 0;
    if (!::GetCommModemStatus(handle, &lines)) {
        const DWORD error = ::GetLastError();
        if (NotOffered(error))
            return std::nullopt;
        Fail(ecModemStatus, error);
    }
    TComSignals present;
    for (const auto& [flag, line] : ModemLines) {
        if ((lines & flag) != 0)
            present.Include(line);
    }
    return present;
}

void PurgeQueues(TComHandle handle)
{
    ::PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
}
