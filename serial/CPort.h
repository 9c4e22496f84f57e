// The serial port driver, on POSIX termios and on the Win32 communications
// interface (CPortDevice_unix.cpp / CPortDevice_win.cpp and the event thread's
// wait beside them).
//
// A TComPort opens one serial device exclusively, applies its queue sizes, line
// settings and time-outs, reads and writes, and runs one event thread per open
// port that waits for line events and hands each set of them to the thread that
// owns the port (the GUI thread), where the handlers run in a fixed order.
//
// Contracts:
// - Every property assignment, Open/Close, ReadBytes, WriteBytes, BytesWaiting,
//   LineErrors and ModemSignals are made on the thread that created the port.
// - Every failure raises EComPort; the driver never shows anything itself.
// - Handlers run on the owner thread, one dispatch at a time, only while that
//   thread processes its Qt events (event loop, QCoreApplication::processEvents),
//   and while it waits for the event thread to end in Close.
// - An exception that leaves a handler ends event delivery for that opening of
//   the port (smThreadSync, smNone); the port stays open, ThreadRunning() turns
//   false, and the exception goes once to the owner thread's event handling
//   (TComSync::Report: the application's error report). Closing and opening
//   again restores delivery.
// - A dispatch pending when the port closes still runs during the close, and
//   destroying an open port closes it: destroy the port (or empty its handlers)
//   before the objects its handlers use. A handler of that dispatch may call
//   Close again: the nested call returns at once, the outer one closes.
// - Line events: evRxChar when bytes arrive (bytes a handler leaves unread are
//   reported again only with the next ones), evTxEmpty when the output queue
//   has run empty after a write, evRx80Full when the waiting bytes reach 80 % of
//   Buffer().InputSize(), evError and evBreak from the device's error counters,
//   evCTS, evDSR, evRLSD and evRing from its modem lines. A device without
//   counters or modem lines (a pseudo-terminal) reports none of those. evRxFlag
//   when EventChar arrives, on Win32 only: termios does not tell.
// - Port names on termios: an absolute path is used as it is. "COM1".."COM4"
//   name the entry of that name in the working directory when there is one
//   (usually a symbolic link to a device), else /dev/ttyS0../dev/ttyS3. Other
//   names are paths relative to the working directory.
// - Port names on Win32: the device of that name, "COM1" opens "\\.\COM1".
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "serial/CPortSync.h"

enum TBaudRate {
    brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
    br19200, br38400, br56000, br57600, br115200, br128000, br256000
};
// The bit rates the driver can set on a line, lowest first: those termios can
// express (any other rate fails to open), or those the Win32 interface names
// (a device may take others).
std::vector<std::int32_t> DriverBaudRates();

enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent {
    evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full
};
enum TComError { erFrame, erParity, erOverrun, erBreak, erDevice, erMode, erRxOverflow, erTxFull };
enum TComSignal { csCTS, csDSR, csRing, csRLSD };
enum TSyncMethod { smThreadSync, smWindowSync, smNone };

// A set of the first `Size` members of an enumeration: bit n is member n.
template <typename Member, int Size>
class TComSet {
public:
    constexpr TComSet() = default;
    constexpr TComSet(std::initializer_list<Member> members)
    {
        for (Member member : members)
            Include(member);
    }
    static constexpr TComSet All() { return FromBits(AllBits); }
    // Bits beyond the set's members are dropped.
    static constexpr TComSet FromBits(std::uint32_t bits)
    {
        TComSet set;
        set.bits_ = bits & AllBits;
        return set;
    }

    constexpr bool Contains(Member member) const { return (bits_ & Bit(member)) != 0; }
    constexpr void Include(Member member) { bits_ |= Bit(member); }
    constexpr void Exclude(Member member) { bits_ &= ~Bit(member); }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr std::uint32_t Bits() const { return bits_; }
    constexpr bool operator==(const TComSet&) const = default;

private:
    static constexpr std::uint32_t AllBits = (std::uint32_t{1} << Size) - 1;
    static constexpr std::uint32_t Bit(Member member) { return std::uint32_t{1} << member; }
    std::uint32_t bits_ = 0;
};

using TComEvents = TComSet<TComEvent, evRx80Full + 1>;
using TComErrors = TComSet<TComError, erTxFull + 1>;
using TComSignals = TComSet<TComSignal, csRLSD + 1>;

// The driver's error codes; each selects its message text.
enum TComErrorCode : std::int32_t {
    ecOpen = 1, ecWrite, ecRead, ecAsyncParameter, ecPurge, ecAsyncStatus, ecSetState,
    ecSetTimeouts, ecSetup, ecClearError, ecModemStatus, ecEscape, ecTransmit,
    ecSetWhileConnected, ecEnumPorts, ecStoreSettings, ecLoadSettings, ecLinkRegistration,
    ecLedState, ecThreadCreated, ecWaitForEvent, ecRxBufLinked, ecRegistry
};

// Every failure of the driver. what() is the full message: the code's text,
// followed by " (win error code: N)" with the system's error number of the
// failed call (errno, or GetLastError() on Win32) when there was one. OsError
// is -1 when the failure is not a system call's.
class EComPort : public std::runtime_error {
public:
    static constexpr std::int32_t NoOsError = -1;

    EComPort(std::int32_t code, std::int32_t osError);
    // A failure without a system call behind it (codes 4 and 14).
    explicit EComPort(std::int32_t code);

    // The text of a code alone; empty for a code outside 1..23.
    static std::string Text(std::int32_t code);

    std::int32_t Code;
    std::int32_t OsError;
};

class TCustomComPort;

// The values of each settings group.
struct TComParityValues {
    TParityBits Bits = prNone;
    bool Check = false;         // the device checks received parity
    bool Replace = false;       // bytes with a parity error are replaced (with Check)
    std::uint8_t ReplaceChar = 0;
};

inline constexpr std::uint8_t DefaultXonChar = 0x11;
inline constexpr std::uint8_t DefaultXoffChar = 0x13;

struct TComFlowValues {
    bool OutCTSFlow = false;    // output waits for CTS
    bool OutDSRFlow = false;    // output waits for DSR
    TDTRFlowControl ControlDTR = dtrDisable;
    TRTSFlowControl ControlRTS = rtsDisable;
    bool XonXoffOut = false;    // output obeys XON/XOFF from the peer
    bool XonXoffIn = false;     // the device sends XON/XOFF to the peer
    bool DSRSensitivity = false; // input is ignored while DSR is off
    bool TxContinueOnXoff = false; // Linux always goes on sending after XOFF
    std::uint8_t XonChar = DefaultXonChar;
    std::uint8_t XoffChar = DefaultXoffChar;
};

// Read and write time-outs in milliseconds.
// - A read completes when the requested count has arrived, when more than
//   ReadInterval ms pass between two bytes (after the first one), or when
//   ReadTotalMultiplier * count + ReadTotalConstant ms have passed.
//   ReadInterval = NoReadInterval (-1) with both read totals 0 completes at once
//   with what is waiting, possibly nothing. ReadInterval 0 or -1 sets no interval
//   limit; all three 0 waits until the count has arrived.
// - A write that has not finished after WriteTotalMultiplier * count +
//   WriteTotalConstant ms completes with the bytes written so far; both 0 means
//   no limit. A peer that stops reading (its side of the line full) therefore
//   makes WriteBytes return a short count, possibly 0, once that time is up;
//   only a port without write time-outs can wait for it forever.
// Negative values other than ReadInterval -1 are refused when applied (code 8).
inline constexpr std::int32_t NoReadInterval = -1;
inline constexpr std::int32_t DefaultWriteTotalMultiplier = 100;
inline constexpr std::int32_t DefaultWriteTotalConstant = 1000;

struct TComTimeoutValues {
    std::int32_t ReadInterval = NoReadInterval;
    std::int32_t ReadTotalMultiplier = 0;
    std::int32_t ReadTotalConstant = 0;
    std::int32_t WriteTotalMultiplier = DefaultWriteTotalMultiplier;
    std::int32_t WriteTotalConstant = DefaultWriteTotalConstant;
};

// Queue sizes requested for the port. An odd size is stored as the even size
// below it (1025 becomes 1024). The input size sets the 80 % mark of evRx80Full
// and the XON/XOFF thresholds; sizes below 2 are refused when applied (code 9).
inline constexpr std::int32_t DefaultQueueSize = 1024;

struct TComBufferValues {
    std::int32_t InputSize = DefaultQueueSize;
    std::int32_t OutputSize = DefaultQueueSize;
};

// A settings group: keeps a back reference to its port and re-applies the
// group to an open port when one of its values changes; assigning a value
// equal to the current one does nothing.
template <typename Values>
class TComSettingsGroup {
public:
    TComSettingsGroup(const TComSettingsGroup&) = delete;
    TComSettingsGroup& operator=(const TComSettingsGroup&) = delete;

    const Values& Settings() const { return values_; }
    // Copies every value of another group of the same kind and re-applies the
    // group once.
    void Assign(const TComSettingsGroup& source);

protected:
    using Reapplier = void (TCustomComPort::*)();
    TComSettingsGroup(TCustomComPort& port, Reapplier reapply) : port_(port), reapply_(reapply) {}
    ~TComSettingsGroup() = default;

    template <typename T>
    void Change(T Values::*member, T value);
    void Reapply();

    Values values_;

private:
    TCustomComPort& port_;
    Reapplier reapply_;
};

class TComParity : public TComSettingsGroup<TComParityValues> {
public:
    explicit TComParity(TCustomComPort& port);

    TParityBits Bits() const { return values_.Bits; }
    bool Check() const { return values_.Check; }
    bool Replace() const { return values_.Replace; }
    std::uint8_t ReplaceChar() const { return values_.ReplaceChar; }
    void SetBits(TParityBits value);
    void SetCheck(bool value);
    void SetReplace(bool value);
    void SetReplaceChar(std::uint8_t value);
};

class TComFlowControl : public TComSettingsGroup<TComFlowValues> {
public:
    explicit TComFlowControl(TCustomComPort& port);

    // The summary of the members below; assigning fcHardware, fcSoftware or
    // fcNone sets ControlRTS, OutCTSFlow and both XON/XOFF directions to match
    // (fcCustom changes nothing) and re-applies the line state in every case.
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl value);

    bool OutCTSFlow() const { return values_.OutCTSFlow; }
    bool OutDSRFlow() const { return values_.OutDSRFlow; }
    TDTRFlowControl ControlDTR() const { return values_.ControlDTR; }
    TRTSFlowControl ControlRTS() const { return values_.ControlRTS; }
    bool XonXoffOut() const { return values_.XonXoffOut; }
    bool XonXoffIn() const { return values_.XonXoffIn; }
    bool DSRSensitivity() const { return values_.DSRSensitivity; }
    bool TxContinueOnXoff() const { return values_.TxContinueOnXoff; }
    std::uint8_t XonChar() const { return values_.XonChar; }
    std::uint8_t XoffChar() const { return values_.XoffChar; }
    void SetOutCTSFlow(bool value);
    void SetOutDSRFlow(bool value);
    void SetControlDTR(TDTRFlowControl value);
    void SetControlRTS(TRTSFlowControl value);
    void SetXonXoffOut(bool value);
    void SetXonXoffIn(bool value);
    void SetDSRSensitivity(bool value);
    void SetTxContinueOnXoff(bool value);
    void SetXonChar(std::uint8_t value);
    void SetXoffChar(std::uint8_t value);
};

class TComTimeouts : public TComSettingsGroup<TComTimeoutValues> {
public:
    explicit TComTimeouts(TCustomComPort& port);

    std::int32_t ReadInterval() const { return values_.ReadInterval; }
    std::int32_t ReadTotalMultiplier() const { return values_.ReadTotalMultiplier; }
    std::int32_t ReadTotalConstant() const { return values_.ReadTotalConstant; }
    std::int32_t WriteTotalMultiplier() const { return values_.WriteTotalMultiplier; }
    std::int32_t WriteTotalConstant() const { return values_.WriteTotalConstant; }
    void SetReadInterval(std::int32_t value);
    void SetReadTotalMultiplier(std::int32_t value);
    void SetReadTotalConstant(std::int32_t value);
    void SetWriteTotalMultiplier(std::int32_t value);
    void SetWriteTotalConstant(std::int32_t value);
};

class TComBuffer : public TComSettingsGroup<TComBufferValues> {
public:
    explicit TComBuffer(TCustomComPort& port);

    std::int32_t InputSize() const { return values_.InputSize; }
    std::int32_t OutputSize() const { return values_.OutputSize; }
    void SetInputSize(std::int32_t value);
    void SetOutputSize(std::int32_t value);
};

using TNotifyEvent = std::function<void(QObject* Sender)>;
using TRxCharEvent = std::function<void(QObject* Sender, int Count)>;
using TComSignalEvent = std::function<void(QObject* Sender, bool OnOff)>;
using TComErrorEvent = std::function<void(QObject* Sender, TComErrors Errors)>;

class TComThread;
class TComDevice;
struct TComLineSettings;

class TCustomComPort : public QObject {
public:
    static constexpr std::int32_t DefaultCustomBaudRate = 9600;

    // `sync` hands event sets to the owner thread; the default is the Qt
    // hand-over to the thread that creates the port.
    explicit TCustomComPort(QObject* owner = nullptr, std::shared_ptr<TComSync> sync = nullptr);
    // Closes the port when it is open; a failure to close is swallowed here.
    ~TCustomComPort() override;
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    // Opening and closing. SetConnected(true) on a closed port runs the opening
    // sequence, SetConnected(false) on an open one the closing sequence; the
    // other way round nothing happens. A failed opening leaves the port closed.
    bool Connected() const { return connected_; }
    void SetConnected(bool value);
    void Open();
    void Close();

    // Line settings. Changing one on an open port re-applies the whole line
    // state at once (code 7 on failure: the device keeps its previous state
    // while the property already holds the new value). On termios, rates it
    // cannot express (14400, 56000, 128000, 256000, custom rates other than the
    // standard ones), 1.5 stop bits, DiscardNull, DSR flow and sensitivity, DTR
    // handshake, RTS toggle, CTS flow without RTS handshake (or the reverse)
    // and a parity replacement other than 0 fail with code 7; a device may keep
    // what it cannot carry without failing (a pseudo-terminal stays at 8 data
    // bits without parity), and with Parity().Check() a byte with a parity
    // error arrives as 0. The Win32 device takes every setting its driver can
    // carry and refuses the rest (code 7).
    TBaudRate BaudRate() const { return baudRate_; }
    std::int32_t CustomBaudRate() const { return customBaudRate_; }
    TDataBits DataBits() const { return dataBits_; }
    TStopBits StopBits() const { return stopBits_; }
    bool DiscardNull() const { return discardNull_; }
    std::uint8_t EventChar() const { return eventChar_; }
    void SetBaudRate(TBaudRate value);
    void SetCustomBaudRate(std::int32_t value);
    void SetDataBits(TDataBits value);
    void SetStopBits(TStopBits value);
    void SetDiscardNull(bool value);
    void SetEventChar(std::uint8_t value);

    TComParity& Parity() { return parity_; }
    const TComParity& Parity() const { return parity_; }
    TComFlowControl& FlowControl() { return flowControl_; }
    const TComFlowControl& FlowControl() const { return flowControl_; }
    TComTimeouts& Timeouts() { return timeouts_; }
    const TComTimeouts& Timeouts() const { return timeouts_; }
    TComBuffer& Buffer() { return buffer_; }
    const TComBuffer& Buffer() const { return buffer_; }

    // A different name on an open port closes it and opens the new one (exact
    // comparison, case included).
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& value);
    // The device the open port reads and writes, links resolved: the one it
    // opened, even when its name now leads elsewhere. Empty when closed.
    std::string OpenedDevice() const;

    // Takes effect at the next opening. evError, evBreak, evRing, evCTS, evDSR
    // and evRLSD are watched only when their handler (OnError, OnBreak, ...)
    // is bound at the opening: the device is looked at for them four times a
    // second, and an idle port with none of them bound never wakes its thread.
    TComEvents Events() const { return events_; }
    void SetEvents(TComEvents value);

    // Only while closed: on an open port raises code 14 and keeps the old value.
    // smThreadSync blocks the event thread until the handlers have run on the
    // owner thread; smWindowSync queues each event to the owner thread without
    // waiting (an exception there goes to the application's event handling);
    // smNone runs the handlers on the event thread itself (handlers must then
    // not open or close the port).
    TSyncMethod SyncMethod() const { return syncMethod_; }
    void SetSyncMethod(TSyncMethod value);

    // While a settings update is in progress nothing reaches the device; the
    // last EndUpdate applies every group to an open port.
    void BeginUpdate();
    void EndUpdate();

    // While the port is being loaded from a window description, SetConnected
    // only records the value and nothing reaches the device. Loaded() ends
    // loading and opens the port when true was recorded; an opening failure is
    // then handed to the owner thread's event handling (the application's
    // error report) instead of to the caller.
    void BeginLoading();
    void Loaded();

    // Reads up to Count bytes into Buffer under the time-outs; returns how many
    // were read (0..Count). Code 3 on failure, also on a closed port, a
    // negative Count or a null Buffer with Count > 0.
    std::int32_t ReadBytes(void* Buffer, std::int32_t Count);
    // Writes Count bytes from Buffer under the time-outs; returns how many were
    // written. Code 2 on failure, also on a closed port, a negative Count or a
    // null Buffer with Count > 0.
    std::int32_t WriteBytes(const void* Buffer, std::int32_t Count);

    // Bytes received and not yet read. Clears the pending line errors, as
    // LineErrors does. Code 10 on failure (also on a closed port).
    std::int32_t BytesWaiting();
    // Bytes written and not yet sent (the output queue); 0 on a closed port
    // or a device that does not tell.
    std::int32_t BytesQueued();
    // The line errors since the last BytesWaiting or LineErrors call. A parity
    // error counts only while Parity().Check() is on. A device without error
    // counters (a pseudo-terminal) reports none. Code 10 on failure.
    TComErrors LineErrors();
    // The modem input lines; empty on a device without modem lines. Code 11 on
    // failure.
    TComSignals ModemSignals();

    // The input queue fill, in bytes, at which XON is sent and the free room at
    // which XOFF is sent: both a quarter of the input size. The Win32 device
    // takes them; the termios kernel keeps thresholds of its own.
    std::int32_t XonXoffLimit() const;

    // True from the opening that created the event thread until the closing;
    // the thread itself may have ended earlier after a handler failed.
    bool ThreadCreated() const { return thread_ != nullptr; }
    // True while the event thread runs.
    bool ThreadRunning() const;

    // Handlers; an empty one is skipped.
    TNotifyEvent OnAfterOpen;
    TNotifyEvent OnAfterClose;
    TNotifyEvent OnBeforeOpen;
    TNotifyEvent OnBeforeClose;
    TRxCharEvent OnRxChar;
    TNotifyEvent OnTxEmpty;
    TNotifyEvent OnBreak;
    TNotifyEvent OnRing;
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComSignalEvent OnRLSDChange;
    TNotifyEvent OnRxFlag;
    TComErrorEvent OnError;
    TNotifyEvent OnRx80Full;

protected:
    // Closes the port on destruction; a failure to close is swallowed. Under
    // smNone the event thread calls the virtual notifications, so a class
    // that overrides them calls this first thing in its own destructor: the
    // thread must end before the object starts coming apart.
    void CloseWhileDestroying() noexcept;

    // Notifications, in the order the driver calls them for one event set.
    virtual void DoAfterClose();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoBeforeOpen();
    virtual void DoRxChar(int Count);
    virtual void DoTxEmpty();
    virtual void DoBreak();
    virtual void DoRing();
    virtual void DoRxFlag();
    virtual void DoCTSChange(bool OnOff);
    virtual void DoDSRChange(bool OnOff);
    virtual void DoError(TComErrors Errors);
    virtual void DoRLSDChange(bool OnOff);
    virtual void DoRx80Full();

    // Applying the groups to an open device.
    virtual void ApplyDCB();
    virtual void ApplyTimeouts();
    virtual void ApplyBuffer();

    // Handles one event set of the event thread in the fixed order: evError,
    // evRxChar, evTxEmpty, evBreak, evRing, evCTS, evDSR, evRxFlag, evRLSD,
    // evRx80Full.
    void DispatchEvents(TComEvents events);

private:
    friend class TComParity;
    friend class TComFlowControl;
    friend class TComTimeouts;
    friend class TComBuffer;
    friend class TComThread;

    bool CanApply() const;
    void ApplyLineStateIfOpen();
    void ApplyTimeoutsIfOpen();
    void ApplyBufferIfOpen();
    void SetupPort();
    std::int32_t Rx80Mark() const;
    void StartThread();
    // Events less those of line errors, breaks and modem lines whose handler
    // is empty at the opening.
    TComEvents WatchedEvents() const;
    void StopThread();
    void NotifyModemLines();
    void NotifyLinesOff();
    template <typename T> void ChangeLineSetting(T& member, T value);
    // Hands each event of a set over on its own, without waiting (smWindowSync).
    void QueueEvents(TComSync& sync, TComEvents events);
    void DispatchOne(TComEvent event);
    TComLineSettings LineSettings() const;

    std::unique_ptr<TComDevice> device_;
    std::unique_ptr<TComThread> thread_;
    std::shared_ptr<TComSync> sync_;
    std::uint64_t opening_ = 0; // counts openings; a queued event of an earlier one is dropped
    int updateCount_ = 0;
    bool loading_ = false;
    bool connectedWhenLoaded_ = false;
    bool closing_ = false; // a close waits for the event thread's end

    bool connected_ = false;
    TBaudRate baudRate_ = br9600;
    std::int32_t customBaudRate_ = DefaultCustomBaudRate;
    std::string port_ = "COM1";
    TComParity parity_{*this};
    TStopBits stopBits_ = sbOneStopBit;
    TDataBits dataBits_ = dbEight;
    bool discardNull_ = false;
    std::uint8_t eventChar_ = 0;
    TComEvents events_ = TComEvents::All();
    TComBuffer buffer_{*this};
    TComFlowControl flowControl_{*this};
    TComTimeouts timeouts_{*this};
    TSyncMethod syncMethod_ = smThreadSync;
};

// The port component with its settings published; ComPort1 is one of these.
class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
    // Closes the port before anything of the object is gone (see
    // CloseWhileDestroying).
    ~TComPort() override;
};
