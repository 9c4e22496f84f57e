#include "app/Unit2.h"

#include <QAbstractEventDispatcher>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <algorithm>
#include <span>

#include "app/Feedback.h"
#include "protocol/AnswerDecoding.h"
#include "serial/SerialChoices.h"

TForm2* Form2 = nullptr;

namespace {

constexpr int WindowWidth = 593;
constexpr int WindowHeight = 225;
constexpr int LabelFontPixels = 16;
constexpr int Panel1Width = 185;
constexpr int Panel2Width = 399;
constexpr int PanelHeight = 30;

constexpr int LineErrorBeeps = 2;
constexpr int Rx80FullBeeps = 3;

// The status panels' short names of the port's settings, by enumeration order.
const std::array<QString, br256000 + 1> BaudNames = {
    "Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400",
    "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
const std::array<QString, dbEight + 1> DataBitsNames = {"5", "6", "7", "8"};
const std::array<QString, prSpace + 1> ParityNames = {"N", "O", "E", "M", "S"};
const std::array<QString, sbTwoStopBits + 1> StopBitsNames = {"1", "1.5", "2"};

const QString ConnectedPrefix = QStringLiteral("Connected to \\\\");
const QString NotConnected = QStringLiteral("Not connected");

QLabel* CreateCaption(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPixelSize(LabelFontPixels);
    label->setFont(font);
    label->setStyleSheet(QStringLiteral("QLabel { color: red; }"));
    return label;
}

// A typed text selects the item it matches exactly, or none; the text stays.
void SelectTypedText(QComboBox& combo, const QString& typed)
{
    const int index = combo.findText(typed);
    if (index == combo.currentIndex())
        return;
    const int cursor = combo.lineEdit()->cursorPosition();
    combo.setCurrentIndex(index);
    if (index < 0) {
        combo.lineEdit()->setText(typed);
        combo.lineEdit()->setCursorPosition(cursor);
    }
}

QComboBox* CreateCombo(const QString& text, const QStringList& items, QWidget* parent)
{
    auto* combo = new QComboBox(parent);
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setCompleter(nullptr);  // a completion would show an item while none is selected
    combo->addItems(items);
    combo->setCurrentIndex(-1);
    combo->setEditText(text);
    QObject::connect(combo->lineEdit(), &QLineEdit::textEdited, combo,
                     [combo](const QString& typed) { SelectTypedText(*combo, typed); });
    return combo;
}

QLabel* CreatePanel(int width, QWidget* parent)
{
    auto* panel = new QLabel(parent);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setAutoFillBackground(true);
    panel->setStyleSheet(QStringLiteral("QLabel { background-color: aqua; }"));
    panel->setMinimumSize(width, PanelHeight);
    return panel;
}

// A stored position beyond a box's items (255 among them) selects none.
void SelectPosition(QComboBox& combo, Byte position)
{
    combo.setCurrentIndex(position < combo.count() ? position : -1);
}

// The item selected in a box, when one is, picks the value at its position.
template <typename Value, std::size_t Count>
const Value* Selected(const QComboBox& combo, const std::array<Value, Count>& choices)
{
    const int index = combo.currentIndex();
    return index >= 0 && static_cast<std::size_t>(index) < Count ? &choices[static_cast<std::size_t>(index)] : nullptr;
}

} // namespace

TForm2::TForm2(QWidget* parent) : QWidget(parent)
{
    CreateControls();
    CreatePort();
}

TForm2::~TForm2()
{
    QObject::disconnect(idleConnection_);
    link_.reset();
    delete ComPort1;
    ComPort1 = nullptr;
    if (Form2 == this)
        Form2 = nullptr;
}

void TForm2::CreateControls()
{
    setWindowTitle(QString());
    resize(WindowWidth, WindowHeight);

    auto* grid = new QGridLayout(this);
    const QStringList captions = {"Port Name", "Baud Rate", "Data Bits", "Parity", "Stop Bits"};
    Label5 = CreateCaption(captions[0], this);
    Label6 = CreateCaption(captions[1], this);
    Label7 = CreateCaption(captions[2], this);
    Label8 = CreateCaption(captions[3], this);
    Label9 = CreateCaption(captions[4], this);
    Combo1 = CreateCombo(captions[0], {"COM1 :", "COM2 :", "COM3 :", "COM4 :"}, this);
    Combo2 = CreateCombo(captions[1], {"2400", "4800", "9600", "14400", "19200", "38400", "115200"}, this);
    Combo3 = CreateCombo(captions[2], {"5", "6", "7", "8"}, this);
    Combo4 = CreateCombo(captions[3], {"None", "Odd", "Even"}, this);
    Combo5 = CreateCombo(captions[4], {"1", "1.5", "2"}, this);
    const std::array<QLabel*, SerialFieldCount> labels = {Label5, Label6, Label7, Label8, Label9};
    const std::array<QComboBox*, SerialFieldCount> combos = Combos();
    for (int column = 0; column < static_cast<int>(SerialFieldCount); ++column) {
        grid->addWidget(labels[static_cast<std::size_t>(column)], 0, column);
        grid->addWidget(combos[static_cast<std::size_t>(column)], 1, column);
    }

    Button2 = new QPushButton(QStringLiteral("Connect"), this);
    Button1 = new QPushButton(QStringLiteral("Close"), this);
    Button3 = new QPushButton(QStringLiteral("Save Configuration"), this);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* button : {Button2, Button1, Button3})
        buttons->addWidget(button);
    buttons->addStretch();
    grid->addLayout(buttons, 2, 0, 1, static_cast<int>(SerialFieldCount));
    grid->setRowStretch(3, 1);

    Panel1 = CreatePanel(Panel1Width, this);
    Panel2 = CreatePanel(Panel2Width, this);
    auto* panels = new QHBoxLayout;
    panels->addWidget(Panel1);
    panels->addWidget(Panel2, 1);
    grid->addLayout(panels, 4, 0, 1, static_cast<int>(SerialFieldCount));

    QWidget* previous = Combo1;
    for (QWidget* next : std::initializer_list<QWidget*>{Combo2, Combo3, Combo4, Combo5, Button2, Button1, Button3}) {
        setTabOrder(previous, next);
        previous = next;
    }

    connect(Button2, &QPushButton::clicked, this, &TForm2::Button2Click);
    connect(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);
    connect(Button3, &QPushButton::clicked, this, &TForm2::Button3Click);
}

// The port's design-time settings: 115200 baud 8N1 on COM1, every event, no
// handshake of any kind, writes without a time limit. Not connected.
void TForm2::CreatePort()
{
    ComPort1 = new TComPort;
    ComPort1->SetPort(PortNames[0]);
    ComPort1->SetBaudRate(br115200);
    ComPort1->Parity().SetBits(prNone);
    ComPort1->SetStopBits(sbOneStopBit);
    ComPort1->SetDataBits(dbEight);
    ComPort1->SetEvents(TComEvents::All());
    TComFlowControl& flow = ComPort1->FlowControl();
    flow.SetOutCTSFlow(false);
    flow.SetOutDSRFlow(false);
    flow.SetControlDTR(dtrDisable);
    flow.SetControlRTS(rtsDisable);
    flow.SetXonXoffOut(false);
    flow.SetXonXoffIn(false);
    ComPort1->Timeouts().SetWriteTotalMultiplier(0);
    ComPort1->Timeouts().SetWriteTotalConstant(0);

    TLinkSettings serial;
    serial.kind = LinkKind::Serial;
    link_ = OpenLink(serial, {}, {ComPort1, nullptr});
    ComPort1->OnError = [this](QObject* sender, TComErrors errors) { ComPort1Error(sender, errors); };
    ComPort1->OnRx80Full = [this](QObject* sender) { ComPort1Rx80Full(sender); };
}

std::array<QComboBox*, SerialFieldCount> TForm2::Combos() const
{
    return {Combo1, Combo2, Combo3, Combo4, Combo5};
}

void TForm2::FormCreate()
{
    QObject::disconnect(idleConnection_);
    idleConnection_ = connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
                              &TForm2::IdleProc);
    SelectDefaults();
    {
        // The closed port is shown in the panels but not told: until a
        // Connect there is no connection to tell of, and the main window's
        // Panel2 stays empty.
        const QSignalBlocker untold(this);
        IdleProc();
    }
    RestoreSerialRecord();
}

void TForm2::SelectDefaults()
{
    const std::array<QComboBox*, SerialFieldCount> combos = Combos();
    for (std::size_t k = 0; k < SerialFieldCount; ++k)
        SelectPosition(*combos[k], DefaultPositions[k]);
}

// The fields are applied one by one, so that a short record keeps those read
// before its end; the port is connected only after a whole record.
void TForm2::RestoreSerialRecord()
{
    const std::optional<TSettingsRecord> record = ReadSettingsFile();
    if (!record || !record->IsSerial())
        return;
    const std::array<QComboBox*, SerialFieldCount> combos = Combos();
    for (std::size_t k = 0; k < SerialFieldCount; ++k)
        SelectPosition(*combos[k], record->Field(k));
    Button2Click();
}

// A box without a selected item leaves that setting of the port as it is.
void TForm2::ApplySelections()
{
    if (const std::string* port = Selected(*Combo1, PortNames))
        ComPort1->SetPort(*port);
    if (const TBaudRate* rate = Selected(*Combo2, BaudRates))
        ComPort1->SetBaudRate(*rate);
    if (const TDataBits* bits = Selected(*Combo3, DataBitsChoices))
        ComPort1->SetDataBits(*bits);
    if (const TParityBits* parity = Selected(*Combo4, ParityChoices))
        ComPort1->Parity().SetBits(*parity);
    if (const TStopBits* stopBits = Selected(*Combo5, StopBitsChoices))
        ComPort1->SetStopBits(*stopBits);
}

void TForm2::Button2Click()
{
    // What a Connect comes to is told, even a port that stays closed.
    shown_.reset();
    // A port whose event thread has ended (its device hung up, or a handler
    // failed) stays open on a dead line: close it, so that Connect opens the
    // device afresh, e.g. a board or adapter that has come back.
    if (ComPort1->ThreadCreated() && !ComPort1->ThreadRunning())
        ComPort1->SetConnected(false);
    ApplySelections();
    ComPort1->SetConnected(true);
    if (!ComPort1->Connected())
        ShowMessage(QStringLiteral("Could not connect to serial port.\r\nPlease, check settings and try again."),
                    QStringLiteral("Error"), true);
}

void TForm2::Button1Click()
{
    hide();
}

void TForm2::Button3Click()
{
    std::array<Byte, SerialFieldCount> positions{};
    const std::array<QComboBox*, SerialFieldCount> combos = Combos();
    // No selection (-1) is stored as 255.
    std::transform(combos.begin(), combos.end(), positions.begin(),
                   [](const QComboBox* combo) { return static_cast<Byte>(combo->currentIndex()); });
    WriteSerialRecord(positions);
}

void TForm2::IdleProc()
{
    // Runs whenever the event loop is about to block: the texts are built
    // only when what they show has changed.
    TPanelState state;
    // A port whose event thread has ended (the line hung up, or a handler
    // failed) is still open but no longer hears the board.
    state.linkUp = ComPort1->Connected() && (!ComPort1->ThreadCreated() || ComPort1->ThreadRunning());
    if (state.linkUp)
        state.settings = {ComPort1->BaudRate(), ComPort1->DataBits(), ComPort1->Parity().Bits(), ComPort1->StopBits()};
    if (shown_ && *shown_ == state && ComPort1->Port() == shownPort_)
        return;
    shown_ = state;
    shownPort_ = ComPort1->Port();
    if (!state.linkUp) {
        Panel1->setText(NotConnected);
        Panel2->setText(QString());
        emit ConnectionShown(NotConnected);
        return;
    }
    const QString port = ConnectedPrefix + QString::fromStdString(ComPort1->Port());
    const QString settings = BaudNames[ComPort1->BaudRate()] + ',' + DataBitsNames[ComPort1->DataBits()] + ',' +
                             ParityNames[ComPort1->Parity().Bits()] + ',' + StopBitsNames[ComPort1->StopBits()];
    Panel1->setText(port);
    Panel2->setText(settings);
    emit ConnectionShown(port + QStringLiteral("  ") + settings);
}

void TForm2::ComPort1Error(QObject* /*Sender*/, TComErrors /*Errors*/)
{
    emit LineTrouble(LineErrorBeeps);
}

void TForm2::ComPort1Rx80Full(QObject* /*Sender*/)
{
    emit LineTrouble(Rx80FullBeeps);
}
