// The main window: menu, mode selection, status panels, gauge, watchdog, and
// the entry points of the request encoder, the transmitter and the transfers.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "app/UpdateState.h"

class QAction;
class QLabel;
class QMenu;
class QTimer;
class TGauge;
class TFileOfBytes;
class TIdUDPClient;
class TOpenDialog;

inline constexpr int DataBlockSize = 5000;
inline constexpr int WatchdogIntervalMs = 10000;
inline constexpr std::int32_t BoardRequestPort = 3333;

// The network link's frame buffer: a frame is copied here before it is sent,
// and an answer datagram of at most NetAnswerSize bytes lands in it.
inline constexpr int NetBufferSize = 30000;
inline constexpr std::int32_t NetAnswerSize = 100;
extern std::array<Byte, NetBufferSize> NetBuffer;

class TForm1 : public QMainWindow {
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

    // The data block appended by the DB parameter type; nothing fills it.
    std::int32_t DataBlockLength = 0;
    std::array<Byte, DataBlockSize> DataBlock{};

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateComponents();
    void CreateMenu();
    void ConnectHandlers();
    void SetMode(Byte mode, const char* caption);
    void SetTransferRunning(bool running);
    void RunTransfer(void (TForm1::*transfer)());
    void RunSelectedTransfer();
    void ShowStatus(const char* text);
    void SendDatagram(std::span<const Byte> frame);
    std::int32_t ReceiveAnswerDatagram();
    void RequestAndWait(const std::string& callText, const std::string& label);
    // One block stream: the file in blocks, each block write followed by a
    // pacing query. `handle` is read afresh for every block (the answer
    // decoding keeps it); none for the image stream, whose frames carry none.
    struct BlockStream {
        int blockSize;
        Byte group;
        Byte operation;
        const std::int32_t* handle;
        const char* query;
        const char* label;
    };
    void StreamBlocks(TFileOfBytes& file, const BlockStream& stream);

    bool transferRunning_ = false;
    QElapsedTimer lastService_;  // when the network wait last serviced the window
};

extern TForm1* Form1;
