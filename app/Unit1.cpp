#include "app/Unit1.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>
#include <QWindow>

#include "app/Application.h"
#include "protocol/Encoder.h"
#include "app/Gauge.h"
#include "app/OpenDialog.h"
#include "app/Unit20.h"
#include "network/IdStack.h"
#include "network/IdUDPClient.h"
#include "app/Unit2.h"
#include "app/Unit5.h"
#include "transfer/board/BoardTry.h"
#include "transfer/report/EndingTexts.h"

TForm1* Form1 = nullptr;

namespace {

constexpr int KeyEscape = 27;
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

    OpenDialog1 = new TOpenDialog(this);
    OpenDialog1->FileName = QStringLiteral("qlnapp.hex");
    OpenDialog1->Filter = QStringLiteral("Hex File|*.Hex");
    IdUDPClient1 = new TIdUDPClient(this);
    IdUDPClient1->Port = BoardRequestPort;
    TLinkSettings network;
    network.kind = LinkKind::Network;
    udpLink_ = OpenLink(network, {}, {nullptr, IdUDPClient1});
    noLink_ = OpenLink(TLinkSettings{});
    // The network wait, and a transfer without transport, keep the window
    // alive: its events run at every pulse (Escape among them).
    for (TOpenLink* open : {udpLink_.get(), noLink_.get()})
        open->Link().SetPulse([] { QCoreApplication::processEvents(); });

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
}

void TForm1::FormCreate()
{
    SetMode(ModeRS232, "Orvenda Updater RS232 Mode");
    BiosUnlocked = 0;
}

void TForm1::ConnectWindows()
{
    session_.HearFrom(Form2->SerialLink());
    connect(Form2, &TForm2::LineTrouble, this, [this](int beeps) { Feedback.BeepTimes(beeps); });
    connect(Form2, &TForm2::ConnectionShown, Panel2, &QLabel::setText);
    Form5->UseClient(*IdUDPClient1);
    connect(Form5, &TForm5::BoardChosen, this,
            [this](const QString& address) { IdUDPClient1->Host = address.toStdString(); });
    ConnectReported(Form5, &TForm5::SavedBoardRestored, this, &TForm1::Network2Click);
    connect(Form20, &TForm20::PasswordAccepted, this,
            [this](bool right) { RunReported([&] { OnBiosPassword(right); }); });
    connect(Form20, &TForm20::PasswordClosed, this, [this] { BiosUnlocked = 0; });
}

void TForm1::TerminateProgram()
{
    terminating_ = true;
    Session().Link().Cancel();
    QCoreApplication::quit();
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

void TForm1::Timer1Timer(const std::string& waitLabel)
{
    const QString label = QString::fromLatin1(waitLabel.c_str());
    Panel1->setText(QStringLiteral("Error in : ") + label);
    ShowMessage(label, QStringLiteral("RS232 Error"), false);
    Feedback.Beep();
}

TLinkSettings TForm1::LinkSettings() const
{
    TLinkSettings settings;
    if (CommMode == ModeRS232 && Form2 != nullptr) {
        settings.kind = LinkKind::Serial;
        settings.serial.port = Form2->ComPort1->Port();
    } else if (CommMode == ModeNetwork) {
        settings.kind = LinkKind::Network;
        settings.host = IdUDPClient1->Host;
    }
    return settings;
}

TBoardIdentity TForm1::IdentityOfMode()
{
    if (CommMode == ModeRS232 && Form2 != nullptr) {
        // The device the port opened at Connect: its name may lead elsewhere by now.
        const std::string opened = Form2->ComPort1->OpenedDevice();
        TBoardIdentity identity = SerialBoardIdentity(opened.empty() ? Form2->ComPort1->Port() : opened);
        identity.spelling = Form2->ComPort1->Port();
        return identity;
    }
    if (CommMode == ModeNetwork) {
        // The address the socket sends to, resolved once for its host name.
        const TIdIPv4Address address = TIdStack::ParseDotted(IdUDPClient1->HostAddress()).value();
        return NetworkBoardIdentity(IdUDPClient1->Host, address, MachineNetworks());
    }
    return UsbBoardIdentity();
}

TBoardUpdate TForm1::BoardOfMode(const TUpdateRequest& request)
{
    TBoardUpdate board;
    board.name = Session().Link().BoardName();
    board.settings = LinkSettings();
    board.request = request;
    board.watchdogMs = WatchdogMs;
    board.history = &history_;
    try {
        board.identity = IdentityOfMode();
        board.name = board.identity.name;
    } catch (const std::exception& error) {
        board.notHad = error.what();
    }
    return board;
}

void TForm1::RunTransfer(const TUpdateRequest& request)
{
    TSession& session = Session();
    // A link cancelled by an earlier stop serves again; once the program is
    // ending (Escape while the update was being confirmed), it stays cancelled.
    if (!terminating_)
        session.Link().Rearm();
    SetTransferRunning(true);
    TBoardUpdate board = BoardOfMode(request);
    const TBoardResult result = TryBoard(board, session);
    SetTransferRunning(false);
    progress_.reset();
    Gauge1->HideLabel();
    if (!board.historyWarning.isEmpty())
        ShowWarning(board.historyWarning, QStringLiteral("Update History"));
    ReportResult(result);
}

void TForm1::ReportResult(const TBoardResult& result)
{
    if (result.failure)
        std::rethrow_exception(result.failure);
    // The board could not be had (another updater holds it, its address is
    // no board's): the error report tells why.
    if (result.outcome == Ending::LinkFailed)
        throw std::runtime_error(result.message);
    // Stopped by the operator, the program is ending: nothing more to show.
    if (result.outcome == Ending::Stopped && !terminating_)
        ShowStatus(QStringLiteral("Update Stopped"));
    if (result.outcome != Ending::Unconfirmed && result.outcome != Ending::Failed)
        return;
    // A transfer that sent nothing, a board-reported failure, or a board that
    // sent what nobody asked for, is never shown as success.
    if (result.nothingSent) {
        QString text = QString::fromStdString(result.message);
        text[0] = text[0].toUpper();
        ShowWarning(text + QLatin1Char('.'), QStringLiteral("Update Warning"));
        return;
    }
    for (const std::string& warning : {DescribeBoardErrors(session_.Tally()), DescribeStrays(session_.Tally())})
        if (!warning.empty())
            ShowWarning(QString::fromStdString(warning), QStringLiteral("Update Warning"));
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
