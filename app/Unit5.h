// The network configuration window. It finds boards on the local networks by
// the board search (BoardSearch.h) from the main window's UDP client, lets the
// operator pick one (BoardChosen: the main window makes it its client's host),
// and keeps that choice as the network record of ZEVEVI.CFG. At start-up it
// restores a saved record: the board is chosen and SavedBoardRestored tells
// the main window to switch to Network mode.
//
// Every handler runs on the GUI thread; the search blocks it until the boards
// have stopped answering.
#pragma once

#include <QWidget>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "network/BoardSearch.h"
#include "transfer/record/SettingsFile.h"

class QLabel;
class QListWidget;
class QPushButton;
class TIdUDPClient;

class TForm5 : public QWidget {
    Q_OBJECT
public:
    explicit TForm5(QWidget* parent = nullptr);

    // The socket the search sends from and hears on.
    void UseClient(TIdUDPClient& client) { client_ = &client; }

    // Restores a network record of ZEVEVI.CFG: chooses its board and asks for
    // Network mode. Without a file, or with another
    // record, nothing changes; a record that ends early raises the read error
    // and changes nothing either.
    void FormCreate();

    // Search Network: searches every network this machine is on
    // (PlanEveryNetwork) from the UDP client's socket and lists every board
    // that echoes the search from the search port, in the order the replies
    // arrived, each once, at most MaxBoards, until a wait of
    // BoardSearchWaitMs passes without a datagram. Anything else received,
    // from anyone, is ignored but starts a new wait. The list shows the
    // boards of this search only. A failure of the socket (nothing could be
    // sent, or a receive failed) is raised and leaves the earlier list. The
    // host stays as it is.
    void Button1Click();
    // Chooses the selected entry's board; without a selected entry nothing
    // changes. The mode stays as it is.
    void ListBox1Click();
    // Save Configuration: writes the network record of the selected entry's
    // board. Without a selected entry ZEVEVI.CFG is left untouched.
    void BitBtn1Click();
    // Close: hides the window; the list and the host stay.
    void Button2Click();

    QPushButton* Button1 = nullptr;  // Search Network
    QPushButton* BitBtn1 = nullptr;  // Save Configuration
    QPushButton* Button2 = nullptr;  // Close
    QListWidget* ListBox1 = nullptr;
    QLabel* Panel1 = nullptr;
    QLabel* Panel2 = nullptr;

signals:
    void BoardChosen(const QString& address);
    void SavedBoardRestored();

private:
    void CreateControls();
    void ConnectHandlers();
    void ClearBoards();
    void AddBoard(const std::string& address);
    const std::string* SelectedAddress() const;

    // The boards found, in list order: entry k of ListBox1 stands for
    // BoardAddresses[k]. Never more than MaxBoards, those of the last search.
    std::vector<std::string> BoardAddresses;
    TIdUDPClient* client_ = nullptr;
};

extern TForm5* Form5;
