#include "app/Unit5.h"

#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <optional>

#include "app/Application.h"
#include "protocol/Encoder.h"
#include "network/IdStack.h"
#include "network/IdUDPClient.h"
#include "network/LocalNetwork.h"

TForm5* Form5 = nullptr;

namespace {

constexpr int WindowWidth = 388;
constexpr int WindowHeight = 265;
constexpr int ListWidth = 209;
constexpr int ListHeight = 201;

const QString BoardEntryPrefix = QStringLiteral("Kolm Board at : ");

QLabel* CreatePanel(QWidget* parent)
{
    auto* panel = new QLabel(parent);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setStyleSheet(QStringLiteral("QLabel { background-color: aqua; }"));
    return panel;
}

} // namespace

TForm5::TForm5(QWidget* parent) : QWidget(parent)
{
    BoardAddresses.reserve(MaxBoards);
    CreateControls();
    ConnectHandlers();
}

void TForm5::CreateControls()
{
    setWindowTitle(QStringLiteral("Network Configuration "));
    resize(WindowWidth, WindowHeight);

    Button1 = new QPushButton(QStringLiteral("Search Network"), this);
    BitBtn1 = new QPushButton(QStringLiteral("Save Configuration"), this);
    Button2 = new QPushButton(QStringLiteral("Close"), this);
    ListBox1 = new QListWidget(this);
    ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListBox1->setMinimumSize(ListWidth, ListHeight);
    Panel1 = CreatePanel(this);
    Panel2 = CreatePanel(this);

    // Buttons down the left, the list on the right, the two panels below.
    auto* grid = new QGridLayout(this);
    grid->addWidget(Button1, 0, 0, Qt::AlignTop);
    grid->addWidget(BitBtn1, 1, 0);
    grid->addWidget(Button2, 2, 0, Qt::AlignBottom);
    grid->addWidget(ListBox1, 0, 1, 3, 1);
    grid->addWidget(Panel1, 3, 0);
    grid->addWidget(Panel2, 3, 1);
    grid->setColumnStretch(1, 1);
}

void TForm5::ConnectHandlers()
{
    ConnectReported(Button1, &QPushButton::clicked, this, &TForm5::Button1Click);
    ConnectReported(BitBtn1, &QPushButton::clicked, this, &TForm5::BitBtn1Click);
    ConnectReported(Button2, &QPushButton::clicked, this, &TForm5::Button2Click);
    // A selection made with the mouse or the keyboard picks the board.
    ConnectReported(ListBox1, &QListWidget::itemSelectionChanged, this, &TForm5::ListBox1Click);
}

void TForm5::FormCreate()
{
    const std::optional<TSettingsRecord> record = ReadSettingsFile();
    if (!record || !record->IsNetwork())
        return;
    // Every field is read before anything changes, so a short record leaves
    // the host and the mode alone.
    TIdIPv4Address address{};
    for (std::size_t k = 0; k < address.size(); ++k)
        address[k] = record->Field(k);
    emit BoardChosen(QString::fromStdString(TIdStack::AddressToText(address)));
    emit SavedBoardRestored();
}

void TForm5::Button1Click()
{
    const TSearchFound found = SearchBoards(*client_, PlanEveryNetwork(ReadLocalNetwork()));
    // The list changes only once the search has ended well, so a search that
    // fails leaves the earlier list, and the choice it offers, as they were.
    ClearBoards();
    for (const std::string& board : found.boards)
        AddBoard(board);
    // The list holds MaxBoards: the operator learns that others answered.
    if (found.answered > found.boards.size())
        Panel1->setText(QStringLiteral("%1 answered, %2 listed").arg(found.answered).arg(found.boards.size()));
    Panel2->setText(QStringLiteral("Finished Searching"));
}

void TForm5::ClearBoards()
{
    ListBox1->clear();
    BoardAddresses.clear();
}

// Entries are appended together with their addresses, so entry k always
// stands for the board it shows.
void TForm5::AddBoard(const std::string& address)
{
    BoardAddresses.push_back(address);
    ListBox1->addItem(BoardEntryPrefix + QString::fromStdString(address));
    Panel1->setText(QStringLiteral("Found Host Kolm Board"));
}

const std::string* TForm5::SelectedAddress() const
{
    const QList<QListWidgetItem*> selected = ListBox1->selectedItems();
    if (selected.isEmpty())
        return nullptr;
    const int entry = ListBox1->row(selected.front());
    if (entry < 0 || static_cast<std::size_t>(entry) >= BoardAddresses.size())
        return nullptr;
    return &BoardAddresses[static_cast<std::size_t>(entry)];
}

void TForm5::ListBox1Click()
{
    if (const std::string* address = SelectedAddress())
        emit BoardChosen(QString::fromStdString(*address));
}

void TForm5::BitBtn1Click()
{
    if (const std::string* address = SelectedAddress())
        WriteNetworkRecord(AddressRecordBytes(*address));
}

void TForm5::Button2Click()
{
    hide();
}
