// The main window: menu, mode selection, status panels, gauge, watchdog,
// and the Update that runs a board's try (TryBoard) over the link of the
// mode; the session's events are shown here.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/Feedback.h"
#include "app/UpdateState.h"
#include "transfer/report/Progress.h"
#include "transfer/engine/LinkSettings.h"
#include "transfer/board/BoardTry.h"
#include "transfer/engine/Session.h"

class QAction;
class QLabel;
class QMenu;
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
    // Connects the secondary windows, once they exist, to this one: what they
    // choose and report arrives here through their signals.
    void ConnectWindows();

    // Menu handlers.
    void Exit1Click();
    void RS2321Click();
    void USB1Click();
    void Network2Click();
    void RS2322Click();
    void Network1Click();
    // The watchdog's report of the wait labelled `waitLabel`.
    void Timer1Timer(const std::string& waitLabel);
    void FormKeyDown(int Key);

    // The session with the board, linked as CommMode and the settings
    // windows say, with WatchdogMs as its watchdog's interval.
    TSession& Session();

    // Ends the program: the event loop ends, and a running transfer stops at
    // its next wait (its link is cancelled).
    void TerminateProgram();
    bool Terminating() const { return terminating_; }

    // The operator's selection (the update state).
    Byte CommMode = ModeRS232;
    Byte UpdateKind = KindFirmware;
    std::string FirmwareFileName;
    std::string BiosFileName;
    std::string DataFileName;
    std::array<std::string, MaxFlashFiles> FlashFileNames;
    std::int32_t FlashFileCount = 0;
    Byte BiosUnlocked = 0;

    // How long the session awaits each answer.
    int WatchdogMs = WatchdogIntervalMs;

    // The beeps and boxes of this window and its secondary windows.
    TFeedback Feedback;

    // The image transfer.
    void OpenFirmware1Click();
    void OpenImage1Click();
    void Contin();
    void Update1Click();

    // The flash-file and data-file transfers.
    void OpenOSDFiles1Click();
    void SendDataFile1Click();

    // True while a transfer runs; the commands that would start another one,
    // or change its selection, mode or link, are disabled meanwhile.
    bool TransferRunning() const { return transferRunning_; }

    // Components.
    TGauge* Gauge1 = nullptr;
    QLabel* Panel1 = nullptr;
    QLabel* Panel2 = nullptr;
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

signals:
    // The status panel shows a new text: "Finish Update" marks the end of the
    // stream, before the board's settle ends the update.
    void StatusShown(const QString& text);

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
    // Runs the request as a board's try over the link of CommMode (locked,
    // run, its account closed, recorded) and tells the operator what it came to.
    void RunTransfer(const TUpdateRequest& request);
    // The board the link of CommMode reaches, as its port or socket has it.
    TBoardIdentity IdentityOfMode();
    TBoardUpdate BoardOfMode(const TUpdateRequest& request);
    // What Update sends: the image or the flash files chosen.
    TUpdateRequest SelectedRequest() const;
    // The board the transfer goes to, as the settings windows chose it.
    TLinkSettings LinkSettings() const;
    TBoardLink& LinkOfMode();
    void ReportResult(const TBoardResult& result);
    void OnBiosPassword(bool right);
    void ShowStatus(const QString& text);

    // The session's events.
    void Status(const std::string& text) override;
    void FileStarted(const std::string& path, std::int64_t size) override;
    void BlockSent(std::int64_t gaugePosition, std::int64_t bytesDone, std::int64_t total) override;
    void Answer(const DecodeOutcome& outcome) override;
    void MissingAnswer(const TMissingAnswer& missing) override;
    void ShortWrite() override;
    void FileNotWritten(const std::string& path, const std::string& reason) override;
    bool StopAfterSilence(int missingInARow) override;

    TSession session_;
    // The links of the network and USB modes; the serial mode's is the serial
    // window's.
    std::unique_ptr<TOpenLink> udpLink_;
    std::unique_ptr<TOpenLink> noLink_;
    THistoryWriter history_;
    bool terminating_ = false;
    bool transferRunning_ = false;
    std::optional<TransferProgress> progress_;  // the running file's, for the gauge's text
    QElapsedTimer gaugeTextShown_;
};

extern TForm1* Form1;
