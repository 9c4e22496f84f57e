// The main window: menu, mode selection, status panels, gauge, watchdog, and
// the entry points of the request encoder, the transmitter and the transfers.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/UpdateState.h"
#include "transfer/BoardLock.h"
#include "transfer/Outcome.h"
#include "transfer/Progress.h"
#include "transfer/Session.h"

class QAction;
class QLabel;
class QMenu;
class QTimer;
class TGauge;
class TIdUDPClient;
class TOpenDialog;

inline constexpr int WatchdogIntervalMs = DefaultWatchdogMs;

// The main window drives one session with the board it is linked to; it
// reports the session's events in its panels, gauge and boxes.
class TForm1 : public QMainWindow, private TSessionEvents {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    void FormCreate();

    // Menu handlers.
    void Exit1Click();
    void RS2321Click();
    void USB1Click();
    void Network2Click();
    void RS2322Click();
    void Network1Click();
    void Timer1Timer();
    void FormKeyDown(int Key);

    // The session with the board, linked as CommMode and the settings
    // windows say, with Timer1's interval as its watchdog.
    TSession& Session();

    // The request encoder's entry points.
    void Execute_Command(const std::string& callText);
    void Trans(const std::string& fieldList);

    // The transmitter: sends TxFrame over the link of CommMode and waits for answers.
    void Send_PVR(const std::string& label);
    void FSend(Byte value);
    void WaitAck(const std::string& label);
    void Net_Read_Neg();
    void Translation();

    // The image transfer.
    void OpenFirmware1Click();
    void OpenImage1Click();
    void Contin();
    void Update1Click();
    void CopyBootFile(const std::string& path);

    // The flash-file and data-file transfers.
    void OpenOSDFiles1Click();
    void SendDataFile1Click();
    void CopyFlashFile();
    void CopyDataFile();

    // True while a transfer runs; the commands that would start another one,
    // or change its selection, mode or link, are disabled meanwhile.
    bool TransferRunning() const { return transferRunning_; }

    // Components.
    TGauge* Gauge1 = nullptr;
    QLabel* Panel1 = nullptr;
    QLabel* Panel2 = nullptr;
    QTimer* Timer1 = nullptr;
    TOpenDialog* OpenDialog1 = nullptr;
    TIdUDPClient* IdUDPClient1 = nullptr;

    QMenu* File1 = nullptr;
    QAction* OpenFirmware1 = nullptr;
    QAction* OpenImage1 = nullptr;
    QAction* OpenOSDFiles1 = nullptr;
    QAction* SendDataFile1 = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* Select1 = nullptr;
    QAction* RS2321 = nullptr;
    QAction* USB1 = nullptr;
    QAction* Network2 = nullptr;
    QMenu* ConfigureCommunication1 = nullptr;
    QAction* RS2322 = nullptr;
    QAction* USB2 = nullptr;
    QAction* Network1 = nullptr;
    QAction* Update1 = nullptr;

protected:
    // Takes Escape from whatever holds the keyboard inside this window, its
    // menu bar included (which keeps the keyboard after a menu command chosen
    // from it); a popup menu is a window of its own and keeps Escape to close.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateComponents();
    void CreateMenu();
    void ConnectHandlers();
    void SetMode(Byte mode, const char* caption);
    void SetTransferRunning(bool running);
    void RunTransfer(void (TForm1::*transfer)());
    // What the transfer about to run writes, as the history records it.
    HistoryKind TransferKind(void (TForm1::*transfer)()) const;
    std::vector<std::string> TransferFiles(HistoryKind kind) const;
    TUpdateSummary SummaryOf(HistoryKind kind) const;
    void FinishTransfer(HistoryKind kind, HistoryOutcome outcome, double seconds,
                        const std::vector<std::string>& files);
    // The lock of the board the transfer goes to; none for USB.
    std::optional<TBoardLock> LockBoard();
    void RunSelectedTransfer();
    void ShowStatus(const QString& text);

    // The session's events.
    void Status(const std::string& text) override;
    void FileStarted(const std::string& path, std::int64_t size) override;
    void BlockSent(std::int64_t gaugePosition, std::int64_t bytesDone, std::int64_t total) override;
    void Answer(const DecodeOutcome& outcome) override;
    void MissingAnswer(const std::string& label) override;
    void ShortWrite() override;
    void FileNotWritten(const std::string& path, const std::string& reason) override;
    bool StopAfterSilence(int missingInARow) override;
    void AwaitEvents(const QDeadlineTimer& deadline) override;
    void Service() override;

    TSession session_;
    bool transferRunning_ = false;
    std::optional<TransferProgress> progress_;  // the running file's, for the gauge's text
    QElapsedTimer gaugeTextShown_;
};

extern TForm1* Form1;
