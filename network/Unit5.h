// The network configuration window. It finds boards on the local network by a
// broadcast search, lets the operator pick one as the host of the main
// window's UDP client (Form1->IdUDPClient1), and keeps that choice as the
// network record of ZEVEVI.CFG. At start-up it restores a saved record: the
// host is set and the main window switches to Network mode.
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

#include "serial/SettingsFile.h"

class QLabel;
class QListWidget;
class QPushButton;

// The search message, and each board's reply: these four bytes, nothing more.
inline const std::string BoardSearchMessage = "DRVK";
// Boards hear the search, and reply, on this port.
inline constexpr std::int32_t BoardSearchPort = 3334;
// The search ends when this long passes without any datagram.
inline constexpr std::int32_t BoardSearchWaitMs = 1000;
// The board list keeps at most this many entries; later replies are ignored.
inline constexpr std::size_t MaxBoards = 101;

// The bytes of the network record for a dotted address: the text is cut at
// its first three dots, each part is read as a decimal integer and cut to its
// low byte ("10.0.0.7" gives 0A 00 00 07). Raises EConvertError for a part
// that is not a decimal integer.
std::array<Byte, NetworkFieldCount> AddressRecordBytes(const std::string& address);

class TForm5 : public QWidget {
    Q_OBJECT
public:
    explicit TForm5(QWidget* parent = nullptr);

    // Restores a network record of ZEVEVI.CFG: sets the UDP client's host and
    // selects Network mode in the main window. Without a file, or with another
    // record, nothing changes; a record that ends early raises the read error
    // and changes nothing either.
    void FormCreate();

    // Search Network: broadcasts the search message and lists every board
    // that echoes it from the search port, in the order the replies arrive,
    // until a wait of BoardSearchWaitMs passes without a datagram. Anything
    // else received is ignored but starts a new wait. Each search starts
    // from an empty list once the broadcast has gone out (a broadcast that
    // fails leaves the earlier list) and keeps at most MaxBoards entries.
    // Socket errors end the search and are raised. The host stays as it is.
    void Button1Click();
    // Makes the selected entry's board the UDP client's host; without a
    // selected entry nothing changes. The mode stays as it is.
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

private:
    void CreateControls();
    void ConnectHandlers();
    void ClearBoards();
    void AddBoard(const std::string& address);
    const std::string* SelectedAddress() const;

    // The boards found, in list order: entry k of ListBox1 stands for
    // BoardAddresses[k]. Never more than MaxBoards, those of the last search.
    std::vector<std::string> BoardAddresses;
};

extern TForm5* Form5;
