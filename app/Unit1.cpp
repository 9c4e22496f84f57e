#include "app/Unit1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include "app/Application.h"
#include "protocol/Encoder.h"
#include "app/Feedback.h"
#include "app/Gauge.h"
#include "app/OpenDialog.h"
#include "app/Unit20.h"
#include "network/IdUDPClient.h"
#include "app/Unit5.h"
#include "app/Unit2.h"

TForm1* Form1 = nullptr;

namespace {

constexpr int KeyEscape = 27;
constexpr double MillisecondsPerSecond = 1000.0;
constexpr int StripHeight = 36;

QLabel* CreateStatusPanel(QWidget* parent)
{
    auto* panel = new QLabel(parent);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setAlignment(Qt::AlignCenter);
    panel->setAutoFillBackground(true);
    panel->setStyleSheet(QStringLiteral("QLabel { background-color: aqua; }"));
    panel->setFixedHeight(StripHeight);
    return panel;
}

// Places the window, frame included, in the middle of the free area of its
// screen. The platform window is made here so that the frame's margins are
// known where the platform can tell them before the window is first shown.
void CentreOnDesktop(QWidget& window)
{
    window.winId();
    const QMargins frame = window.windowHandle()->frameMargins();
    const QRect desktop = window.screen()->availableGeometry();
    const QRect placed = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window.size().grownBy(frame), desktop);
    window.move(placed.topLeft());
}

bool IsEscape(const QEvent& event)
{
    const QEvent::Type type = event.type();
    return (type == QEvent::KeyPress || type == QEvent::ShortcutOverride) &&
           static_cast<const QKeyEvent&>(event).key() == Qt::Key_Escape;
}

} // namespace

TForm1::TForm1(QWidget* parent) : QMainWindow(parent), session_(*this)
{
    setWindowTitle(QStringLiteral("Orvenda Firmware  Updater"));
    CreateComponents();
    CreateMenu();
    ConnectHandlers();
    CentreOnDesktop(*this);
    // Escape must reach the window whichever of its widgets has the keyboard.
    QApplication::instance()->installEventFilter(this);
}

TForm1::~TForm1()
{
    QApplication::instance()->removeEventFilter(this);
    delete OpenDialog1;
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::CreateComponents()
{
    auto* central = new QWidget(this);
    auto* strips = new QVBoxLayout(central);
    strips->setContentsMargins(0, 0, 0, 0);
    strips->setSpacing(0);
    strips->addStretch();

    Gauge1 = new TGauge(central);
    Gauge1->setFixedHeight(StripHeight);
    // The label is white over the blue bar and black over the cream, whatever
    // the desktop's colours.
    Gauge1->setStyleSheet(QStringLiteral("QProgressBar { background-color: #FFFBF0; color: black; "
                                         "selection-color: white; } "
                                         "QProgressBar::chunk { background-color: blue; }"));
    Panel1 = CreateStatusPanel(central);
    Panel2 = CreateStatusPanel(central);
    strips->addWidget(Gauge1);
    strips->addWidget(Panel1);
    strips->addWidget(Panel2);
    setCentralWidget(central);

    Timer1 = new QTimer(this);
    Timer1->setInterval(WatchdogIntervalMs);
    OpenDialog1 = new TOpenDialog(this);
    OpenDialog1->FileName = QStringLiteral("qlnapp.hex");
    OpenDialog1->Filter = QStringLiteral("Hex File|*.Hex");
    IdUDPClient1 = new TIdUDPClient(this);
    IdUDPClient1->Port = BoardRequestPort;

    setFocusPolicy(Qt::StrongFocus);
}

void TForm1::CreateMenu()
{
    File1 = menuBar()->addMenu(QStringLiteral("&File"));
    OpenFirmware1 = File1->addAction(QStringLiteral("Open &Firmware"));
    OpenImage1 = File1->addAction(QStringLiteral("Open &BIOS (Require Password)"));
    // The transfers into the board's file store.
    OpenOSDFiles1 = File1->addAction(QStringLiteral("Open F&lash Files"));
    SendDataFile1 = File1->addAction(QStringLiteral("Send &Data File"));
    Exit1 = File1->addAction(QStringLiteral("&Exit"));

    Select1 = menuBar()->addMenu(QStringLiteral("Select Communication Mode"));
    RS2321 = Select1->addAction(QStringLiteral("RS232"));
    USB1 = Select1->addAction(QStringLiteral("USB"));
    Network2 = Select1->addAction(QStringLiteral("Network"));

    ConfigureCommunication1 = menuBar()->addMenu(QStringLiteral("Configuration "));
    RS2322 = ConfigureCommunication1->addAction(QStringLiteral("RS232"));
    USB2 = ConfigureCommunication1->addAction(QStringLiteral("USB"));
    Network1 = ConfigureCommunication1->addAction(QStringLiteral("Network"));

    // A top-level item that acts on click.
    Update1 = menuBar()->addAction(QStringLiteral("Update"));

    // The whole menu bar on one line, with room for the status texts.
    resize(std::max(menuBar()->sizeHint().width() + 24, 343), 110 + menuBar()->sizeHint().height());
}

void TForm1::ConnectHandlers()
{
    ConnectReported(OpenFirmware1, &QAction::triggered, this, &TForm1::OpenFirmware1Click);
    ConnectReported(OpenImage1, &QAction::triggered, this, &TForm1::OpenImage1Click);
    ConnectReported(OpenOSDFiles1, &QAction::triggered, this, &TForm1::OpenOSDFiles1Click);
    ConnectReported(SendDataFile1, &QAction::triggered, this, &TForm1::SendDataFile1Click);
    ConnectReported(Exit1, &QAction::triggered, this, &TForm1::Exit1Click);
    ConnectReported(RS2321, &QAction::triggered, this, &TForm1::RS2321Click);
    ConnectReported(USB1, &QAction::triggered, this, &TForm1::USB1Click);
    ConnectReported(Network2, &QAction::triggered, this, &TForm1::Network2Click);
    ConnectReported(RS2322, &QAction::triggered, this, &TForm1::RS2322Click);
    ConnectReported(Network1, &QAction::triggered, this, &TForm1::Network1Click);
    ConnectReported(Update1, &QAction::triggered, this, &TForm1::Update1Click);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
}

void TForm1::FormCreate()
{
    session_.LinkReady = 1;
    SetMode(ModeRS232, "Orvenda Updater RS232 Mode");
    BiosUnlocked = 0;
}

void TForm1::SetMode(Byte mode, const char* caption)
{
    setWindowTitle(QString::fromLatin1(caption));
    CommMode = mode;
}

void TForm1::RS2321Click()
{
    SetMode(ModeRS232, "Dorvik Firmware Update RS232 Mode");
}

void TForm1::USB1Click()
{
    SetMode(ModeUSB, "Dorvik Firmware Update USB Mode");
}

void TForm1::Network2Click()
{
    SetMode(ModeNetwork, "Dorvik Firmware Update NetWork Mode");
}

void TForm1::RS2322Click()
{
    Form2->show();
}

void TForm1::Network1Click()
{
    Form5->show();
}

void TForm1::Exit1Click()
{
    close();
}

void TForm1::FormKeyDown(int Key)
{
    if (Key == KeyEscape)
        TerminateProgram();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    // The receiver is looked at before the event: events that other threads
    // post pass through here too, and are theirs until their receiver takes
    // them.
    const bool inThisWindow = watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == this;
    if (!inThisWindow || !IsEscape(*event))
        return QMainWindow::eventFilter(watched, event);
    if (event->type() == QEvent::ShortcutOverride) {
        // Accepted, so that Escape arrives as a key press, never as a shortcut.
        event->accept();
    } else {
        FormKeyDown(KeyEscape);
    }
    return true;
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // Closing the main window ends the program, also in the middle of a transfer.
    TerminateProgram();
    event->accept();
}

void TForm1::Timer1Timer()
{
    session_.TimedOut = 1;
    Timer1->stop();
    const QString label = QString::fromLatin1(session_.WaitLabel.c_str());
    Panel1->setText(QStringLiteral("Error in : ") + label);
    ShowMessage(label, QStringLiteral("RS232 Error"), false);
    Beep();
}

std::optional<TBoardLock> TForm1::LockBoard()
{
    if (CommMode == ModeRS232 && Form2 != nullptr) {
        const std::string& port = Form2->ComPort1->Port();
        return std::optional<TBoardLock>(std::in_place, SerialBoardKey(port), port);
    }
    if (CommMode == ModeNetwork) {
        const std::string& address = IdUDPClient1->HostAddress();
        return std::optional<TBoardLock>(std::in_place, NetworkBoardKey(address), address);
    }
    return std::nullopt;
}

void TForm1::RunTransfer(void (TForm1::*transfer)())
{
    const HistoryKind kind = TransferKind(transfer);
    const std::vector<std::string> files = TransferFiles(kind);
    QElapsedTimer clock;
    clock.start();
    const auto seconds = [&clock] { return static_cast<double>(clock.elapsed()) / MillisecondsPerSecond; };
    SetTransferRunning(true);
    session_.StartTally();
    try {
        // Held until the transfer ends: a second updater on this board is
        // refused meanwhile.
        const std::optional<TBoardLock> lock = LockBoard();
        (this->*transfer)();
    } catch (const ETransferStopped&) {
        ShowStatus(QStringLiteral("Update Stopped"));
        FinishTransfer(kind, HistoryOutcome::Stopped, seconds(), files);
        return;
    } catch (const EAbort&) {
        // Escape, or the window closed: the operator stopped it.
        FinishTransfer(kind, HistoryOutcome::Stopped, seconds(), files);
        throw;
    } catch (...) {
        FinishTransfer(kind, HistoryOutcome::Failed, seconds(), files);
        throw;
    }
    FinishTransfer(kind, OutcomeOf(session_.Tally()), seconds(), files);
    // A board-reported failure, or a board that sent what nobody asked for,
    // is never shown as success.
    for (const std::string& warning : {DescribeBoardErrors(session_.Tally()), DescribeStrays(session_.Tally())})
        if (!warning.empty())
            ShowWarning(QString::fromStdString(warning), QStringLiteral("Update Warning"));
}

HistoryKind TForm1::TransferKind(void (TForm1::*transfer)()) const
{
    if (transfer == &TForm1::CopyDataFile)
        return HistoryKind::Data;
    if (UpdateKind == KindFlashFiles)
        return HistoryKind::Flash;
    return UpdateKind == KindBios ? HistoryKind::Bios : HistoryKind::Firmware;
}

std::vector<std::string> TForm1::TransferFiles(HistoryKind kind) const
{
    switch (kind) {
    case HistoryKind::Data:
        return {DataFileName};
    case HistoryKind::Flash:
        return {FlashFileNames.begin(), FlashFileNames.begin() + FlashFileCount};
    case HistoryKind::Bios:
        return {BiosFileName};
    case HistoryKind::Firmware:
        break;
    }
    return {FirmwareFileName};
}

TUpdateSummary TForm1::SummaryOf(HistoryKind kind) const
{
    TUpdateSummary summary;
    summary.kind = kind;
    if (CommMode == ModeRS232) {
        summary.board = Form2 != nullptr ? QString::fromStdString(Form2->ComPort1->Port()) : QString();
    } else if (CommMode == ModeNetwork) {
        summary.link = HistoryLink::Udp;
        summary.board = QString::fromStdString(IdUDPClient1->Host);
    } else {
        summary.link = HistoryLink::Usb;
    }
    return summary;
}

void TForm1::FinishTransfer(HistoryKind kind, HistoryOutcome outcome, double seconds,
                            const std::vector<std::string>& files)
{
    SetTransferRunning(false);
    progress_.reset();
    Gauge1->HideLabel();
    TUpdateSummary summary = SummaryOf(kind);
    summary.outcome = outcome;
    summary.missingAnswers = session_.Tally().missingAnswers;
    summary.boardErrors = session_.Tally().boardErrorCount;
    summary.seconds = seconds;
    const QString historyError = RecordInHistory(summary, files, session_.Tally().sentFiles);
    if (!historyError.isEmpty())
        ShowWarning(historyError, QStringLiteral("Update History"));
}

void TForm1::SetTransferRunning(bool running)
{
    transferRunning_ = running;
    for (QAction* command : {OpenFirmware1, OpenImage1, OpenOSDFiles1, SendDataFile1, RS2321, USB1, Network2, RS2322, Network1,
                              Update1})
        command->setEnabled(!running);
    // The secondary windows change the link or the selection: closed to the
    // operator while the stream runs.
    for (QWidget* window : {static_cast<QWidget*>(Form2), static_cast<QWidget*>(Form5), static_cast<QWidget*>(Form20)})
        if (window != nullptr)
            window->setEnabled(!running);
}
